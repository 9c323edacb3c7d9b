"""Stored real results of the test harness (gtest's JSON, with the properties the test
support records), each with the family verdict it must give; and the document and exit
status a set of family verdicts gives."""
import glob
import json
import os
import unittest

from support import FIXTURES, ROOT
from tourlib.check import checker as checker_module
from tourlib.check import harness, verdict
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


class Hangs(unittest.TestCase):
    def test_a_hang_fails_its_family_told_in_the_harness_words(self):
        # Stored results of a program that never ends (behaviour), and of one whose thread
        # 1 never ends (races: a detector's family, which judges its reports otherwise).
        here = os.getcwd()
        os.chdir(ROOT)
        try:
            for name in ("behaviour_never_ends.json", "races_spins_on_thread_one.json"):
                with self.subTest(results=name):
                    fixture = load(os.path.join(FIXTURES, "harness", name))
                    program = {"name": fixture["program"], "folder": fixture["folder"]}
                    cases = harness.parse_results(fixture["results"],
                                                  {n: k for k, n in enumerate(fixture["order"])})
                    self.assertTrue(any(c.hung == "ran" for c in cases))
                    self.assertTrue(any(c.hung == "not started" for c in cases))
                    doc = Checker(program, fixture["source"], b"").judged(fixture["family"], cases)
                    self.assertEqual((doc["status"], doc.get("reason")), ("fail", "hang"))
                    self.assertRegex(doc["message"], r"did not end within \d+ s in \d+ of \d+ "
                                     r"cases, and \d+ more were not run after it")
                    failed = [c for c in doc["cases"] if c["status"] == "fail"]
                    self.assertEqual(failed[0]["message"], "it did not end in time and was killed")
                    self.assertEqual({c["message"] for c in failed[1:]} - {
                        "it did not end in time and was killed",
                        "not run: an earlier run of the program did not end in time"}, set())
                    for c in failed:
                        self.assertNotIn("not started", " ".join(c["stderr"]))
        finally:
            os.chdir(here)


class Said(unittest.TestCase):
    def test_a_failed_case_in_the_students_words(self):
        # A case's results as the harness records them, and what a student must read: the
        # check the test recorded, or the failure's first line, never the framework's
        # expressions, diffs or file names.
        def case(failure, **compared):
            test = {"name": "t", "failures": [{"failure": failure}]}
            test.update({"compared_" + k: v for k, v in compared.items()})
            return harness.Case(test, {})

        table = [
            (case("t.cpp:79\nExpected equality...", what="total lines", got="2", want="1",
                  when="run 0"), "total lines: the lesson gives 1, the program gave 2 (run 0)"),
            (case("", what="the final line's suma", got="325", want="1275"),
             "the final line's suma: the lesson gives 1275, the program gave 325"),
            (case("", what="the suma on thread 0's line", got="300", want="at least 325"),
             "the suma on thread 0's line: the lesson gives at least 325, the program gave 300"),
            (case("", what="it ended with status 1, not 0"), "it ended with status 1, not 0"),
            (case("", what="thread 2 wrote no subtotal"), "thread 2 wrote no subtotal"),
            # The stored verdict that leaked gtest's diff: the values, quoted, instead.
            (case("t.cpp:53\nExpected equality of these values:\n  r.out\n    Which is: \"\\n"
                  " Total: 1 \\n\"\nWith diff:\n@@ -1,2 +1,2 @@\n- Total: 1\n",
                  what="the output", got='"\\n Total: 1 \\n"',
                  want='"\\n Total: 50000005000000 \\n"'),
             'the output: the lesson gives "\\n Total: 50000005000000 \\n", the program gave '
             '"\\n Total: 1 \\n"'),
            # A value recorded with a byte that acts on a terminal is shown escaped.
            (case("", what="the output", got="\x1b[2J", want="x"),
             "the output: the lesson gives x, the program gave \\x1b[2J"),
            # No recorded check (the harness's own code failed): the failure's first line.
            (case("unknown file\nC++ exception with description \"no program called x\" "
                  "thrown in the test body.\n"),
             'it failed: C++ exception with description "no program called x" thrown in the '
             'test body.'),
            (case("/work/tests/a.cpp:5\nValue of: ok\x1b[2J\n  Actual: false\n"),
             "it failed: Value of: ok\\x1b[2J"),
            (case(""), "it failed"),
        ]
        for c, said in table:
            with self.subTest(said=said):
                self.assertEqual(verdict.said(c), said)


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
