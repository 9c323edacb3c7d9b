"""Student versions of the lessons, each with one mistake, and the verdict a real check of
each gave (stored beside it): the diagnosis must name the mistake and its line; a version
that is correct but slow is accepted with a note on its line."""
import json
import os
import unittest

from support import FIXTURES, ROOT, catalogue, manifest
from tourlib.check import diagnose, slow

STUDENTS = os.path.join(FIXTURES, "students")

# (file, the lesson it is judged as, what the diagnosis must say, its line)
MISTAKES = [
    ("no_parallel", "greet_ids", "no parallel region", None),
    ("misspelt_pragma", "greet_ids", "an unknown directive: #pragma opm parallel", 9),
    ("no_omp_word", "greet_ids", "an unknown directive: #pragma parallel", 9),
    ("missing_for", "fill_pairs", "the loop is not divided among the team", 9),
    ("nested_parallel_for", "fill_pairs", "a parallel region inside another", 11),
    ("request_inside", "ranked_sum", "the team size is asked for inside the region", 14),
    ("fixed_team", "greet_half_procs", "a fixed team size of 2", 10),
    ("shared_counter", "ranked_sum", "the loop variable i is shared", 22),
    ("plain_read", "shared_accumulator", "a plain read of suma while other threads update it", 24),
    ("reduction_instead", "shared_accumulator", "reduction where the lesson shows the shared sum", 13),
    ("firstprivate_result", "subtotal_atomic", "a result left in firstprivate copies", 12),
    ("lock_not_initialised", "subtotal_atomic", "a lock used without omp_init_lock", 24),
    ("previous_element", "fill_then_square", "an iteration reads the previous one's result", 14),
    ("forgotten_private", "greet_ids", "tid is shared, but each thread needs its own", 12),
    ("stream_greeting", "greet_ids", "a line built from several stream writes", 13),
]

# (file, lesson, what the note must say, its line)
SLOW = [
    ("slow_critical_update", "subtotal_atomic", "around one update", 23),
    ("slow_loop_in_critical", "subtotal_atomic", "a whole loop inside a critical section", 18),
    ("slow_critical_per_term", "shared_accumulator", "entered for every term", 20),
    ("slow_barrier", "ranked_sum", "a barrier the lesson does without", 26),
    ("slow_flush", "subtotal_atomic", "a flush the lesson does without", 25),
    ("slow_lock", "subtotal_atomic", "a lock around an update", 25),
    ("slow_print_in_critical", "subtotal_atomic", "a print inside a critical section", 21),
    ("slow_ordered", "fill_pairs_tagged", "ordered the lesson does without", 11),
]


def lesson_text(lesson):
    source = next(p["source"] for p in manifest() if p["name"] == lesson)
    with open(os.path.join(ROOT, source)) as f:
        return f.read()


def stored(name, lesson):
    """A student's file, the verdict its check gave, and the lesson's text."""
    with open(os.path.join(STUDENTS, name + ".cpp")) as f:
        student = f.read()
    with open(os.path.join(STUDENTS, name + ".verdict.json")) as f:
        return json.load(f), student, lesson_text(lesson)


class Diagnoses(unittest.TestCase):
    def test_each_mistake_is_named_at_its_line(self):
        for name, lesson, mistake, line in MISTAKES:
            with self.subTest(student=name):
                doc, student, lesson_text = stored(name, lesson)
                self.assertEqual(doc["status"], "fail", "the check accepted it")
                found = diagnose.diagnose(doc, student, lesson_text, doc["warnings"])
                self.assertIn((mistake, line), [(d["mistake"], d["line"]) for d in found], found)
                for d in found:
                    self.assertTrue(d["why"] and d["fix"], d)

    def test_each_exercise_is_diagnosed_at_its_catalogue_line(self):
        # The catalogue names the line that holds each exercise's mistake; the diagnosis,
        # made from the verdict a real check gave, must point there.
        for e in catalogue.exercises():
            with self.subTest(exercise=e["name"]):
                with open(os.path.join(STUDENTS, "exercise_" + e["name"] + ".verdict.json")) as f:
                    doc = json.load(f)
                with open(e["path"]) as f:
                    student = f.read()
                found = diagnose.diagnose(doc, student, lesson_text(e["becomes"]),
                                          doc["warnings"])
                self.assertIn(e["line"], [d["line"] for d in found], found)

    def test_correct_but_slow_is_accepted_with_a_note(self):
        for name, lesson, what, line in SLOW:
            with self.subTest(student=name):
                doc, student, lesson_text = stored(name, lesson)
                self.assertEqual(doc["status"], "pass", "a slow version was rejected")
                found = slow.notes(student, lesson_text, {})
                self.assertIn(line, [n["line"] for n in found if what in n["what"]], found)

    def test_a_sound_lesson_gets_no_note(self):
        for lesson in ("shared_accumulator", "subtotal_atomic", "ranked_sum", "fill_then_square"):
            with self.subTest(lesson=lesson):
                text = lesson_text(lesson)
                self.assertEqual(slow.notes(text, text, {}), [])


if __name__ == "__main__":
    unittest.main()
