"""What the course platforms and a teacher read of a verdict: GitHub's workflow commands,
GitLab's Code Quality report, Gradescope's results.json, the score, the feedback, the
JUnit times and Moodle's sheet, each checked against the fields its reader documents;
and the files written as a shared folder needs them."""
import csv
import io
import json
import os
import re
import tempfile
import unittest
import xml.etree.ElementTree

import support  # noqa: F401 - the clone on the import path
from tourlib import build, feedback, files, grade, junit
from tourlib.check import platforms
from tourlib.term import Failure


def family(name, status, seconds, lines=()):
    case = {"name": "c", "status": "fail" if status == "fail" else "pass",
            "lines": [{"file": "f", "line": n, "text": "", "label": ""} for n in lines]}
    return {"name": name, "status": status, "message": f"{name} {status}", "details": [],
            "seconds": seconds, "skipped": [], "cases": [case]}


ACCEPTED = {"status": "pass", "message": "accepted: every family passed", "file": "ranked_sum.cpp",
            "seconds": 7.4, "families": [family("behaviour", "pass", 2.0),
                                         family("races", "pass", 7.0),
                                         family("memory", "pass", 5.0)],
            "notes": [{"line": 12, "what": "a critical section, 3x slower",
                       "instead": "#pragma omp atomic"}]}
REJECTED = {"status": "fail", "message": "not accepted (races failed)",
            "file": "./src/a,b:c%d.cpp", "seconds": 6.0,
            "families": [family("behaviour", "pass", 1.5), family("races", "fail", 6.0, [22]),
                         family("memory", "pass", 4.0)],
            "diagnoses": [{"mistake": "unprotected update of suma", "line": 22,
                           "why": "two threads\nread it", "fix": "#pragma omp atomic"},
                          {"mistake": "no line for this one", "line": None, "why": "w",
                           "fix": "f"}]}
UNEXPLAINED = {"status": "fail", "message": "not accepted (behaviour failed)", "file": "x.cpp",
               "seconds": 3.0, "families": [family("behaviour", "fail", 3.0, [9]),
                                            family("races", "pass", 3.0),
                                            family("memory", "pass", 3.0)]}
UNCOMPILED = {"status": "error", "message": "cannot judge (behaviour not checked)",
              "file": "y.cpp", "seconds": 1.0,
              "families": [family("behaviour", "error", 1.0), family("races", "error", 1.0),
                           family("memory", "error", 1.0)]}
NOTHING = grade.cannot_judge("ranked_sum", None, "no C++ file in it or below it")

# GitHub's form: ::SEVERITY file=F,line=N,title=T::MESSAGE, with % CR LF escaped
# everywhere, and : and , too in the properties.
COMMAND = re.compile(r"^::(error|warning) file=([^,:]*),line=(\d+),title=([^,:]*)::([^\r\n]*)$")


def unescaped(text):
    return (text.replace("%0A", "\n").replace("%0D", "\r").replace("%3A", ":")
            .replace("%2C", ",").replace("%25", "%"))


class GitHub(unittest.TestCase):
    def test_each_finding_on_its_line(self):
        rows = [  # doc, (severity, line, title) of each command
            (ACCEPTED, [("warning", 12, "slower than it needs to be")]),
            (REJECTED, [("error", 22, "unprotected update of suma"),
                        ("error", 1, "no line for this one")]),
            (UNEXPLAINED, [("error", 9, "behaviour failed")]),
            (NOTHING, [("error", 1, "not judged")]),
        ]
        for doc, expected in rows:
            with self.subTest(doc=doc["message"]):
                parsed = [COMMAND.match(line) for line in platforms.github(doc)]
                self.assertTrue(all(parsed), platforms.github(doc))
                self.assertEqual([(m[1], int(m[3]), unescaped(m[4])) for m in parsed], expected)
                for m in parsed:
                    self.assertEqual(unescaped(m[2]), doc["file"])
                    self.assertNotIn("None", m[0])
        message = unescaped(COMMAND.match(platforms.github(REJECTED)[0])[5])
        self.assertEqual(message, "two threads\nread it. The way out: #pragma omp atomic")


class GitLab(unittest.TestCase):
    def test_code_quality_fields(self):
        for doc, count in ((ACCEPTED, 1), (REJECTED, 2), (UNEXPLAINED, 1), (NOTHING, 1)):
            with self.subTest(doc=doc["message"]):
                issues = json.loads(platforms.dumps(platforms.code_quality(doc)))
                self.assertEqual(len(issues), count)
                for issue in issues:
                    self.assertTrue(issue["description"] and issue["check_name"])
                    self.assertRegex(issue["fingerprint"], r"^[0-9a-f]{32}$")
                    self.assertIn(issue["severity"],
                                  ("info", "minor", "major", "critical", "blocker"))
                    self.assertEqual(issue["location"]["path"], doc["file"].removeprefix("./"))
                    self.assertIsInstance(issue["location"]["lines"]["begin"], int)
                    self.assertGreaterEqual(issue["location"]["lines"]["begin"], 1)
                self.assertEqual(len({i["fingerprint"] for i in issues}), count)
        self.assertEqual([i["severity"] for i in platforms.code_quality(ACCEPTED)], ["minor"])


class Gradescope(unittest.TestCase):
    def test_results_score_and_diagnosis(self):
        rows = [(ACCEPTED, 10, 10), (REJECTED, 10, 6.67), (UNEXPLAINED, 10, 6.67),
                (UNCOMPILED, 10, 0), (NOTHING, 10, 0), (ACCEPTED, 3, 3)]
        for doc, scale, score in rows:
            with self.subTest(doc=doc["message"], scale=scale):
                results = json.loads(platforms.dumps(platforms.gradescope(doc, scale)))
                self.assertEqual(results["score"], score)
                self.assertEqual(sum(t["max_score"] for t in results["tests"]), scale)
                self.assertAlmostEqual(sum(t["score"] for t in results["tests"]), score, 1)
                self.assertEqual([t["name"] for t in results["tests"]],
                                 ["behaviour", "races", "memory"])
                for test in results["tests"]:
                    self.assertEqual(set(test), {"name", "score", "max_score", "status",
                                                 "output"})
                    self.assertIn(test["status"], ("passed", "failed"))
                    self.assertEqual(test["score"] == test["max_score"],
                                     test["status"] == "passed")
                self.assertNotIn("None", json.dumps(results))
        races = platforms.gradescope(REJECTED, 10)["tests"][1]
        self.assertIn("The mistake (line 22): unprotected update of suma", races["output"])


class Teacher(unittest.TestCase):
    def test_score_feedback_and_sheets(self):
        rows = [(ACCEPTED, 100, 100), (REJECTED, 100, 66.67), (UNCOMPILED, 100, 0),
                (REJECTED, 3, 2)]
        for doc, scale, score in rows:
            self.assertEqual(feedback.score(doc, scale), score)
        text = feedback.markdown("ranked_sum", "Ana Pérez", REJECTED, 10)
        self.assertIn("Score: 6.67 of 10", text)
        self.assertIn("## The mistake (line 22): unprotected update of suma", text)
        self.assertNotIn("None", text)
        self.assertIn("A note (line 12)", feedback.markdown("ranked_sum", "a", ACCEPTED, 10))
        results = [("Ana Pérez", "12345", REJECTED), ("=cmd", "", ACCEPTED)]
        sheet = list(csv.DictReader(io.StringIO(feedback.moodle_sheet(results, 10, grade.cell))))
        self.assertEqual([(r["Identifier"], r["Full name"], r["Grade"]) for r in sheet],
                         [("Participant 12345", "Ana Pérez", "6.67"), ("", "'=cmd", "10")])
        self.assertIn("unprotected update of suma (line 22)", sheet[0]["Feedback comments"])
        book = list(csv.DictReader(io.StringIO(grade.gradebook(
            [("Ana Pérez", REJECTED), ("b", ACCEPTED)], {"Ana Pérez": "12345"}, 10))))
        self.assertEqual([(r["id"], r["score"], r["first_note"]) for r in book],
                         [("12345", "6.67", ""), ("", "10", "a critical section, 3x slower")])

    def test_junit_times_each_family(self):
        report = xml.etree.ElementTree.fromstring(junit.junit("ranked_sum", [
            ("ana", ACCEPTED), ("ben", REJECTED)]))
        times = [(c.get("classname"), c.get("name"), float(c.get("time")))
                 for c in report.iter("testcase")]
        # The behaviour family alone first; the others from its end.
        self.assertEqual(times, [("ranked_sum.ana", "behaviour", 2.0),
                                 ("ranked_sum.ana", "races", 5.0),
                                 ("ranked_sum.ana", "memory", 3.0),
                                 ("ranked_sum.ben", "behaviour", 1.5),
                                 ("ranked_sum.ben", "races", 4.5),
                                 ("ranked_sum.ben", "memory", 2.5)])
        self.assertEqual(report.find("testsuite").get("time"), "13.4")
        self.assertNotIn("None", xml.etree.ElementTree.tostring(report, encoding="unicode"))


class Written(unittest.TestCase):
    def test_files_follow_the_umask(self):
        with tempfile.TemporaryDirectory() as folder:
            for mask, mode in ((0o022, 0o644), (0o002, 0o664), (0o077, 0o600)):
                saved = os.umask(mask)
                try:
                    path = os.path.join(folder, f"out{mask:o}")
                    files.write_whole(path, "x\n")
                finally:
                    os.umask(saved)
                self.assertEqual(os.stat(path).st_mode & 0o777, mode, oct(mask))

    def test_an_unwritable_build_folder_names_the_way_out(self):
        with tempfile.TemporaryDirectory() as folder:
            blocker = os.path.join(folder, "file")
            with open(blocker, "w"):
                pass
            saved = (build.BUILD, build.GIVEN)
            try:
                for given, told in ((False, True), (True, False)):
                    build.BUILD, build.GIVEN = os.path.join(blocker, "cache", "tree"), given
                    with self.assertRaises(Failure) as caught:
                        build.build_directory()
                    self.assertEqual("--build-dir" in caught.exception.message, told)
            finally:
                build.BUILD, build.GIVEN = saved


if __name__ == "__main__":
    unittest.main()
