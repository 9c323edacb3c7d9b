"""Per-thread figures, the text the command prints, the shape a check compares, and the
command's refusal to draw without LLVM's runtime."""
import argparse
import os
import tempfile
import unittest
from unittest import mock

from support import fixture, manifest, recorded

from tourlib.timeline import run, summary, trace


class Figures(unittest.TestCase):
    def test_merged(self):
        table = [([], 0), ([(0, 10)], 10), ([(0, 10), (5, 15)], 15), ([(0, 5), (10, 12)], 7),
                 ([(10, 12), (0, 20)], 20)]
        for intervals, total in table:
            with self.subTest(intervals):
                self.assertEqual(summary.merged(intervals), total)

    def test_working_and_waiting_fit_in_the_task(self):
        for stem in ("fill_pairs_tagged_3", "no_for_3", "shared_accumulator", "handed_out_3"):
            tl = recorded(stem)
            for t in summary.threads(tl):
                task = summary.merged([(s.start, s.end) for s in tl.lane_spans(t.lane, "task")])
                self.assertLessEqual(t.working + t.waiting, task, f"{stem} hilo {t.lane}")
                self.assertGreater(t.waiting, 0, f"{stem} hilo {t.lane}")

    def test_text(self):
        text = summary.text(recorded("fill_pairs_tagged_3"))
        for line in ("hilo 0: 34 iterations (i 0..33)", "hilo 2: 33 iterations (i 67..99)"):
            self.assertIn(line, text)
        self.assertIn("no work-shared loop", summary.text(recorded("no_for_3")))
        self.assertIn("25 atomic updates", summary.text(recorded("shared_accumulator")))


class Shape(unittest.TestCase):
    def test_two_runs_of_one_program_match(self):
        stored = trace.loads(fixture("fill_pairs_tagged_3.trace.json"))
        with open(os.path.join(run.ROOT, "docs", "timelines", "fill_pairs_tagged.trace.json"),
                  encoding="utf-8") as f:
            other = trace.loads(f.read())
        self.assertEqual(summary.shape(stored), summary.shape(other))

    def test_other_programs_differ(self):
        base = summary.shape(recorded("fill_pairs_tagged_3"))
        for stem, key in (("no_for_3", "schedule"), ("handed_out_3", "schedule"),
                          ("shared_accumulator", "threads")):
            with self.subTest(stem):
                self.assertNotEqual(summary.shape(recorded(stem))[key], base[key])


class WithoutLLVM(unittest.TestCase):
    def test_says_which_packages_and_draws_nothing(self):
        with tempfile.TemporaryDirectory() as out, \
                mock.patch("shutil.which", return_value=None), \
                mock.patch("builtins.print") as said:
            status = run.timeline("fill_pairs_tagged", None, 3, out)
            self.assertEqual(os.listdir(out), [])
        self.assertEqual(status, 1)
        lines = [call.args[0] for call in said.call_args_list]
        self.assertTrue(lines[-1].startswith("timeline: "), lines)
        self.assertIn("install clang libomp-dev", lines[-1])

    def test_unknown_program(self):
        with self.assertRaisesRegex(run.TimelineError, "no program called"):
            run.resolve("no_such_lesson", None, manifest())

    def test_exercise_built_as_its_lesson(self):
        program, source = run.resolve("handed_out", None, manifest())
        self.assertEqual((program, os.path.basename(source)), ("fill_pairs_tagged", "handed_out.cpp"))


if __name__ == "__main__":
    unittest.main()


class CommandLine(unittest.TestCase):
    def test_team_sizes(self):
        from tourlib.timeline.__main__ import positive
        for text, value in (("1", 1), ("8", 8), ("64", 64)):
            self.assertEqual(positive(text), value)
        for text in ("0", "65", "-3", "three", ""):
            with self.subTest(text), self.assertRaises(argparse.ArgumentTypeError):
                positive(text)
