"""Stored real reports of the race detector and the memory checkers, each with what its
parser must make of it: the tool, the headline, and the lines of the checked file."""
import glob
import json
import os
import unittest

from support import FIXTURES
from tourlib.check import reports


class StoredReports(unittest.TestCase):
    def test_each_gives_its_stored_reading(self):
        stored = sorted(glob.glob(os.path.join(FIXTURES, "reports", "*.txt")))
        self.assertGreaterEqual(len(stored), 6)
        for path in stored:
            with self.subTest(report=os.path.basename(path)):
                with open(path) as f:
                    text = f.read()
                with open(path[:-4] + ".json") as f:
                    expected = json.load(f)
                self.assertEqual(reports.report(text, expected["source"]), expected["report"])

    def test_lines_of_other_files_are_not_the_students(self):
        # The same report read for a file it does not name points at no line of it.
        with open(os.path.join(FIXTURES, "reports", "tsan_lost_adds.txt")) as f:
            found = reports.report(f.read(), "shared_accumulator.cpp")
        self.assertEqual(found["where"], [])
        self.assertTrue(found["excerpt"])


if __name__ == "__main__":
    unittest.main()
