"""Student versions of the lessons, each with one mistake, and the verdict a real check of
each gave (stored beside it): the diagnosis must name the mistake and its line; a version
that is correct but slow is accepted with a note on its line."""
import concurrent.futures
import functools
import json
import os
import shutil
import unittest

from support import FIXTURES, ROOT, catalogue, manifest
from tourlib.check import command, diagnose, model, slow

STUDENTS = os.path.join(FIXTURES, "students")
with open(os.path.join(STUDENTS, "table.json")) as table:
    TABLE = json.load(table)
# (file, the lesson it is judged as, its diagnoses' ids, most telling first, the first's line)
MISTAKES = [tuple(row) for row in TABLE["mistakes"]]
# (file, lesson, what the note must say, its line)
SLOW = [tuple(row) for row in TABLE["slow"]]
# (file, lesson): correct, and no note
SOUND = [tuple(row) for row in TABLE["sound"]]


PCH = model.precompiled(os.path.join(ROOT, "build", "check", "model")) \
    if shutil.which("clang++") else None


@functools.lru_cache(maxsize=None)
def read(path):
    return model.Model(model.parse(path, PCH))


def read_all():
    """Every file the tables name, parsed side by side (each parse is a clang process)."""
    paths = [os.path.join(STUDENTS, row[0] + ".cpp") for row in MISTAKES + SLOW + SOUND]
    paths += [e["path"] for e in catalogue.exercises()]
    lessons = {row[1] for row in MISTAKES + SLOW + SOUND} | {
        e["becomes"] for e in catalogue.exercises()}
    paths += [os.path.join(ROOT, p["source"]) for p in manifest() if p["name"] in lessons]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(read, paths))


def lesson_model(lesson):
    source = next(p["source"] for p in manifest() if p["name"] == lesson)
    return read(os.path.join(ROOT, source))


def stored(name, lesson, verdict=None):
    """The verdict a real check of a student's file gave, the file's model and the
    lesson's."""
    with open(os.path.join(STUDENTS, (verdict or name) + ".verdict.json")) as f:
        return json.load(f), read(os.path.join(STUDENTS, name + ".cpp")), lesson_model(lesson)


@unittest.skipIf(PCH is None, "needs clang++ (apt-get install clang)")
class Diagnoses(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        read_all()

    def test_each_mistake_is_named_at_its_line_and_nothing_else(self):
        for name, lesson, ids, line in MISTAKES:
            with self.subTest(student=name):
                doc, student, lesson_facts = stored(name, lesson)
                self.assertEqual(doc["status"], "fail", "the check accepted it")
                found = diagnose.diagnose(doc, student, lesson_facts, doc["warnings"])
                self.assertEqual([d["id"] for d in found], ids, found)
                self.assertEqual(found[0]["line"], line, found)
                # The stored verdict was made by this very code: a stale one fails here
                # (tools/student_verdicts makes them again).
                self.assertEqual(doc["diagnoses"], found)

    def test_each_exercise_is_diagnosed_at_its_catalogue_line(self):
        # The catalogue names the line that holds each exercise's mistake; the diagnosis,
        # made from the verdict a real check gave, must point there.
        for e in catalogue.exercises():
            with self.subTest(exercise=e["name"]):
                with open(os.path.join(STUDENTS, "exercise_" + e["name"] + ".verdict.json")) as f:
                    doc = json.load(f)
                found = diagnose.diagnose(doc, read(e["path"]), lesson_model(e["becomes"]),
                                          doc["warnings"])
                self.assertEqual([d["id"] for d in found], TABLE["exercises"][e["name"]], found)
                self.assertEqual(found[0]["line"], e["line"], found)
                self.assertEqual(doc["diagnoses"], found)

    def test_correct_but_slow_is_accepted_with_a_note(self):
        for name, lesson, what, line in SLOW:
            with self.subTest(student=name):
                doc, student, lesson_facts = stored(name, lesson)
                self.assertEqual(doc["status"], "pass", "a slow version was rejected")
                found = slow.notes(student, lesson_facts, {})
                self.assertIn(line, [n["line"] for n in found if what in n["what"]], found)

    def test_a_sound_version_gets_no_note(self):
        # A note suggests only what keeps the program right: a barrier that orders a
        # read after the team's writes is no cost to cut.
        for lesson in ("shared_accumulator", "subtotal_atomic", "ranked_sum", "fill_then_square"):
            with self.subTest(lesson=lesson):
                facts = lesson_model(lesson)
                self.assertEqual(slow.notes(facts, facts, {}), [])
        for name, lesson in SOUND:
            with self.subTest(student=name):
                doc, student, lesson_facts = stored(name, lesson)
                self.assertEqual(doc["status"], "pass", "a sound version was rejected")
                self.assertEqual(slow.notes(student, lesson_facts, {}), [])
                self.assertEqual(doc["notes"], [])



class NotBuilt(unittest.TestCase):
    def test_a_file_that_is_not_built_gets_the_compiler_s_first_error_alone(self):
        error = "mine.cpp:7:3: error: 'suma' was not declared in this scope"
        for reason, details, expected in [
                ("compile", ["mine.cpp: In function 'int main()':", error, "mine.cpp:9:1: "
                             "error: expected '}'"], ("compile", 7, "'suma' was not declared")),
                ("compile", ["the compiler was stopped"], ("compile", None, "was stopped")),
                ("no_main", ["undefined reference to `main'"], ("no_main", None, "linker"))]:
            with self.subTest(reason=reason, details=details[0]):
                family = {"name": "behaviour", "status": "fail", "reason": reason,
                          "message": "mine.cpp does not compile", "details": details}
                doc = {"families": [family, {"name": "races", "status": "fail",
                                             "reason": reason, "message": "", "details": []}]}
                found = diagnose.diagnose(doc, None, None, [])
                self.assertEqual(len(found), 1, found)
                self.assertEqual((found[0]["id"], found[0]["line"]), expected[:2])
                self.assertIn(expected[2], found[0]["why"])

class WrongLesson(unittest.TestCase):
    def test_an_exercise_checked_as_another_lesson_is_told_which_it_becomes(self):
        lost = next(e for e in catalogue.exercises() if e["name"] == "lost_adds")
        with open(lost["path"], "rb") as f:
            exercise = f.read()
        with open(os.path.join(ROOT, "partial_sums", "ranked_sum.cpp"), "rb") as f:
            lesson = f.read()
        for content, checked_as, expected in [
                (exercise, "ranked_sum", "lost_adds"),
                (exercise.replace(b"suma += i;", b"\n#pragma omp atomic\n suma += i;"),
                 "ranked_sum", "lost_adds"),  # a copy being put right
                (exercise, "shared_accumulator", None),  # the lesson it becomes
                (lesson, "ranked_sum", None),
                (b"x" * 30000, "ranked_sum", None)]:
            with self.subTest(checked_as=checked_as, size=len(content)):
                found = command.exercise_of(content, checked_as)
                self.assertEqual(found and found["name"], expected)

if __name__ == "__main__":
    unittest.main()
