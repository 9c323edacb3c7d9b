"""The student's progress ledger: what a verdict adds to it, whose entry a check is, what
survives a damaged ledger, and the exercise to try next."""
import hashlib
import os
import tempfile
import unittest
from unittest import mock

from support import ROOT, catalogue
from tourlib import build, hints, progress
from tourlib.term import Failure
from tourlib.check import verdict


def doc(statuses, diagnoses=()):
    families = [verdict.family_doc(name, status, f"{name} said so")
                for name, status in statuses.items()]
    out = verdict.document("ranked_sum", "mine.cpp", families, 1.0)
    out["diagnoses"] = list(diagnoses)
    return out


EVERY = ("behaviour", "races", "memory")
MISTAKE = {"mistake": "unprotected update of suma", "line": 22, "why": "", "fix": ""}


class Ledger(unittest.TestCase):
    def test_what_a_verdict_adds(self):
        for statuses, diagnoses, expected in [
                (dict.fromkeys(EVERY, "pass"), (), ("accepted", "")),
                # Accepted by some families only is no acceptance; not judged says nothing.
                ({"behaviour": "pass"}, (), None),
                (dict(dict.fromkeys(EVERY, "pass"), memory="error"), (), None),
                # A rejection keeps the first mistake and its line, else the family's word.
                (dict(dict.fromkeys(EVERY, "pass"), races="fail"), [MISTAKE, dict(MISTAKE, line=0)],
                 ("rejected", "unprotected update of suma (line 22)")),
                ({"races": "fail"}, [dict(MISTAKE, line=0)],
                 ("rejected", "unprotected update of suma")),
                ({"behaviour": "pass", "memory": "fail"}, (),
                 ("rejected", "memory: memory said so"))]:
            with self.subTest(statuses=statuses, diagnoses=diagnoses):
                entry = progress.entry_of(doc(statuses, diagnoses), "mine.cpp", now=0)
                self.assertEqual(entry and (entry["status"], entry["diagnosis"]), expected)

    def test_whose_entry_a_check_is(self):
        exercise = catalogue.exercises()[0]
        lesson = exercise["becomes"]
        mine = os.path.join(tempfile.gettempdir(), "mine.cpp")
        for typed, source, expected in [(exercise["name"], mine, exercise["name"]),
                                        (lesson, exercise["path"], exercise["name"]),
                                        (lesson, mine, lesson)]:
            with self.subTest(typed=typed, source=source):
                self.assertEqual(progress.key_of(typed, lesson, source), expected)

    def test_kept_read_back_and_next(self):
        first, second = catalogue.exercises()[:2]
        with tempfile.TemporaryDirectory() as folder, mock.patch.dict(
                os.environ, {"SUITE_PROGRESS_FILE": os.path.join(folder, "progress.json")}):
            self.assertEqual(progress.next_exercise(progress.read()), first)
            accepted = doc(dict.fromkeys(EVERY, "pass"))
            rejected = doc({"races": "fail"}, [MISTAKE])
            progress.record(first["name"], rejected, "a.cpp")
            self.assertEqual(progress.next_exercise(progress.read()), first)
            progress.record(first["name"], accepted, "a.cpp")
            progress.record(second["name"], rejected, "b.cpp")
            entries = progress.read()
            self.assertEqual({k: v["status"] for k, v in entries.items()},
                             {first["name"]: "accepted", second["name"]: "rejected"})
            self.assertEqual(progress.next_exercise(entries), second)
            self.assertEqual(sorted(os.listdir(folder)), ["progress.json", "progress.json.lock"])
            # Every exercise accepted: nothing next.
            self.assertIsNone(progress.next_exercise(
                {e["name"]: {"status": "accepted"} for e in catalogue.exercises()}))
            # A damaged ledger, or one of another version, starts again; a malformed
            # entry is dropped.
            good = '"y": {"status": "accepted", "when": "w", "file": "f", "diagnosis": ""}'
            for text, kept in [("{", []), ('{"version": 99, "entries": {}}', []), ("[]", []),
                               ('{"version": 1, "entries": {"x": {"status": "hacked"}, '
                                + good + '}}', ["y"]),
                               ('{"version": 1, "entries": {"x": {"status": "accepted"}, '
                                + good + '}}', ["y"]),
                               ('{"version": 1, "entries": {"x": {"status": "rejected", '
                                '"when": ["w"], "file": "f", "diagnosis": {}}}}', []),
                               ('{"version": 1, "entries": {' + good + "}}" + " " * (1 << 20),
                                [])]:
                with open(os.environ["SUITE_PROGRESS_FILE"], "w") as f:
                    f.write(text)
                self.assertEqual(list(progress.read()), kept, text[:80])
            # No regular file in its place: nothing read, and nothing waited for.
            os.remove(os.environ["SUITE_PROGRESS_FILE"])
            os.mkfifo(os.environ["SUITE_PROGRESS_FILE"])
            self.assertEqual(progress.read(), {})



class Hints(unittest.TestCase):
    """A hint follows the student's last check of the very file asked about."""

    def test_the_ladder_each_check_leaves(self):
        e = next(x for x in catalogue.exercises() if x["name"] == "lost_adds")
        diagnosed = dict(MISTAKE, id="unprotected_update", why="two adds meet",
                         fix="make it atomic")
        changed = "// put right, or tried\n"
        for name, check, edit, said in [
                ("no check yet: the exercise's own", None, "", e["hints"][:2]),
                ("rejected, with a diagnosis: its steps", doc({"races": "fail"}, [diagnosed]),
                 "", ["unprotected update of suma (line 22)", "why: two adds meet"]),
                ("a check of other content: the exercise's own",
                 doc({"races": "fail"}, [diagnosed]), changed, e["hints"][:2]),
                ("accepted: none", doc(dict.fromkeys(EVERY, "pass")), "", ["no hint needed"])]:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder, mock.patch.dict(
                    os.environ, {"SUITE_PROGRESS_FILE": os.path.join(folder, "p.json")}), \
                    mock.patch.object(build, "BUILD", folder):
                mine = os.path.join(folder, "mine.cpp")
                with open(e["path"], "rb") as f:
                    content = f.read()
                with open(mine, "wb") as f:
                    f.write(content)
                if check:
                    check["digest"] = hashlib.sha256(content).hexdigest()
                    progress.record("lost_adds", check, mine)
                with open(mine, "ab") as f:
                    f.write(edit.encode())
                told = []
                with mock.patch.object(hints, "say", told.append):
                    hints.hint("lost_adds", mine)
                    hints.hint("lost_adds", mine)  # the next step
                for words in said:
                    self.assertTrue(any(words in line for line in told), (words, told))

    def test_the_lesson_itself_has_no_hints(self):
        with self.assertRaises(Failure):
            hints.hint("shared_accumulator", os.path.join(ROOT, "partial_sums",
                                                         "shared_accumulator.cpp"))

if __name__ == "__main__":
    unittest.main()
