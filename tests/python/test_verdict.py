"""Stored real results of the test harness (gtest's JSON, with the properties the test
support records), each with the family verdict it must give; and the document and exit
status a set of family verdicts gives."""
import glob
import json
import os
import unittest

from support import FIXTURES, ROOT
from tourlib.check import checker as checker_module
from tourlib.check import harness, verdict, words
from tourlib.check.checker import Checker


def load(path):
    """A fixture, with its machine's clone written as @ROOT@ put back as this clone."""
    with open(path) as f:
        return json.loads(f.read().replace("@ROOT@", ROOT))


class StoredHarnessResults(unittest.TestCase):
    def test_each_gives_its_stored_verdict(self):
        stored = sorted(glob.glob(os.path.join(FIXTURES, "harness", "*.json")))
        self.assertGreaterEqual(len(stored), 3)
        here = os.getcwd()
        os.chdir(ROOT)  # paths in a verdict are told from where the student is
        try:
            for path in stored:
                with self.subTest(results=os.path.basename(path)):
                    fixture = load(path)
                    program = {"name": fixture["program"], "folder": fixture["folder"]}
                    with open(os.path.join(ROOT, fixture["source"]), "rb") as f:
                        checker = Checker(program, fixture["source"], f.read())
                    cases = harness.parse_results(fixture["results"],
                                                  {n: k for k, n in enumerate(fixture["order"])})
                    self.assertEqual(checker.judged(fixture["family"], cases), fixture["verdict"])
        finally:
            os.chdir(here)


class Words(unittest.TestCase):
    def test_framework_messages_in_the_students_words(self):
        # Real failure messages of the test suite, and what a student must read instead.
        table = [
            ("t.cpp:79\nExpected equality of these values:\n  suite::count_of(p, kTotal)\n"
             "    Which is: 2\n  1u\n    Which is: 1\ntotal lines\nGoogle Test trace:\n"
             "t.cpp:178: run 0", "total lines: the lesson gives 1, the program gave 2 (run 0)"),
            ("t.cpp:9\nExpected equality of these values:\n  p.records.back().ints[0]\n"
             "    Which is: 325\n  final_sum(team)\n    Which is: 1275\nthe final line's suma",
             "the final line's suma: the lesson gives 1275, the program gave 325"),
            ("t.cpp:1\nValue of: suite::ended_cleanly(r)\n  Actual: false (it ended with "
             "status 1, not 0)\nExpected: true", "it ended with status 1, not 0"),
            ("t.cpp:141\nValue of: like_a_valid_team\n  Actual: false\nExpected: true\n"
             "its output is what no valid team size gives",
             "its output is what no valid team size gives"),
            ("t.cpp:3\nExpected: (sub_at[r]) != ((18446744073709551615UL)), actual: "
             "18446744073709551615 vs 18446744073709551615\nthread 2 wrote no subtotal",
             "thread 2 wrote no subtotal"),
            ("t.cpp:5\nExpected: (rec.ints[0]) >= (block_sum(25, t)), actual: 300 vs 325\n"
             "thread 0", "thread 0: the program gave 300, the lesson gives at least 325"),
            ("t.cpp:7\nExpected equality of these values:\n  tags\n    Which is: 8-byte "
             "object <30-DE 3A-58>\n  expected\n    Which is: { 0, 1 }\none line per thread",
             "one line per thread"),
        ]
        for failure, said in table:
            with self.subTest(said=said):
                self.assertEqual(words.plain(failure), said)


class Reasons(unittest.TestCase):
    def test_a_missing_main_is_told_by_its_code(self):
        # The linkers' own words (GNU ld through g++, and through clang++), and others'.
        start = "/usr/bin/ld: /usr/lib/x86_64-linux-gnu/Scrt1.o: in function `_start':\n"
        table = [
            (start + "(.text+0x17): undefined reference to `main'\ncollect2: error: ld returned "
             "1 exit status", True),
            (start + "(.text+0x1b): undefined reference to 'main'\nclang: error: linker command "
             "failed with exit code 1 (use -v to see invocation)", True),
            ("/usr/bin/ld: program.o: in function `main':\nundefined reference to `omp_get_"
             "thread_num'", False),
            ("undefined reference to `mainly'", False),
            ("mine.cpp:3:1: error: expected ';' before '}' token", False),
        ]
        for messages, missing in table:
            with self.subTest(messages=messages[-40:]):
                self.assertEqual(checker_module.no_main(messages), missing)

    def test_a_reason_is_kept_only_when_there_is_one(self):
        plain = verdict.family_doc("behaviour", "fail", "2 of 12 cases failed")
        hung = verdict.family_doc("races", "fail", "the program did not end", reason="hang")
        self.assertNotIn("reason", plain)
        self.assertEqual(hung["reason"], "hang")
        doc = verdict.document("ranked_sum", "mine.cpp", [plain, hung], 1.0)
        self.assertEqual(json.loads(json.dumps(doc))["families"][1]["reason"], "hang")


class Document(unittest.TestCase):
    def test_status_and_exit(self):
        table = [
            (["pass", "pass", "pass"], "pass", 0),
            (["pass", "fail", "pass"], "fail", 1),
            (["error", "fail", "pass"], "fail", 1),
            (["pass", "error", "pass"], "error", 3),
        ]
        for statuses, status, code in table:
            with self.subTest(statuses=statuses):
                families = [verdict.family_doc(name, s, "") for name, s in
                            zip(("behaviour", "races", "memory"), statuses)]
                doc = verdict.document("greet_ids", "greetings/greet_ids.cpp", families, 1.0)
                self.assertEqual((doc["status"], verdict.EXIT[doc["status"]]), (status, code))
                json.loads(json.dumps(doc))

    def test_skip_reasons_are_told_whole_and_once(self):
        reason = "LLVM's OpenMP runtime 14 misparses an empty or negative OMP_NUM_THREADS " * 3
        families = [verdict.family_doc("races", "pass", "", skipped=[{"count": 2, "reason": reason}]),
                    verdict.family_doc("memory", "pass", "", skipped=[{"count": 1, "reason": reason}])]
        self.assertEqual(verdict.render_skips(families),
                         [f"3 cases skipped (races, memory): {reason}"])
        # Without --verbose, one line at most, and none when nothing was skipped.
        self.assertEqual(verdict.render_skips(families, verbose=False),
                         ["(3 cases not run on this machine; --verbose says why)"])
        self.assertEqual(verdict.render_skips(families[:0], verbose=False), [])


if __name__ == "__main__":
    unittest.main()
