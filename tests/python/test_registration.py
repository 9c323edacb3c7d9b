"""The tests a tree registers, as CTest lists them: every Python test module is there,
and no test reaches into another preset's tree, so that each preset's workflow passes
alone, on a fresh clone, in any order."""
import glob
import json
import os
import re
import subprocess
import unittest

from support import ROOT

TREE = os.environ.get("SUITE_MANIFEST_DIR", os.path.join(ROOT, "build", "default"))


def registered():
    done = subprocess.run(["ctest", "--show-only=json-v1", "--test-dir", TREE],
                          capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise unittest.SkipTest(f"ctest cannot list {TREE}: {done.stderr.strip()[:200]}")
    return json.loads(done.stdout)["tests"]


class Registration(unittest.TestCase):
    def test_every_python_module_is_run(self):
        tests = registered()
        run = {word for t in tests for word in t["command"] if word.startswith("test_")}
        modules = {os.path.basename(p)[:-3]
                   for p in glob.glob(os.path.join(ROOT, "tests", "python", "test_*.py"))}
        self.assertEqual({m for m in modules if not any(w.split(".")[0] == m for w in run)},
                         set())

    def test_no_test_reads_another_tree(self):
        build = os.path.join(os.path.realpath(ROOT), "build")
        tree = os.path.realpath(TREE)
        for t in registered():
            properties = {p["name"]: p["value"] for p in t.get("properties", [])}
            words = t["command"] + properties.get("ENVIRONMENT", []) + [
                properties.get("WORKING_DIRECTORY", "")]
            with self.subTest(test=t["name"]):
                for word in words:
                    for path in re.findall(re.escape(build) + r"/[^/:;=\s]+", word):
                        self.assertEqual(os.path.realpath(path), tree, word)
                if t["command"][1:3] == ["-m", "unittest"]:
                    self.assertIn(f"SUITE_MANIFEST_DIR={TREE}", properties.get("ENVIRONMENT", []))


if __name__ == "__main__":
    unittest.main()
