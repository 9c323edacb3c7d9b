"""The recorder against runs whose shape is known: each program built with the recorder
(clang, LLVM's runtime) in build/timeline, run, and its recording read back."""
import dataclasses
import os
import unittest

from support import FIXTURES, TIMELINES

from tourlib import catalogue, sandbox
from tourlib.timeline import model, run, summary

LACKING = run.missing()


@unittest.skipIf(LACKING, f"not checked here: {LACKING}")
class KnownShapes(unittest.TestCase):
    # (program, file built as it, team) -> per-thread ranges, atomic updates, report lines,
    # and the (line, threads) of each variable several threads stored to plainly
    TABLE = [
        (("fill_pairs_tagged", None, 3), [[(0, 33)], [(34, 66)], [(67, 99)]], [0] * 3,
         [34, 33, 33], []),
        (("fill_pairs_tagged", os.path.join(TIMELINES, "no_for.cxx"), 3), [[], [], []],
         [0] * 3, [100] * 3, []),
        (("shared_accumulator", None, None), [[]] * 4, [25] * 4, [2, 1, 1, 1], []),
        (("subtotal_atomic", None, None), [[]] * 4, [1] * 4, [2, 1, 1, 1], []),
        (("fill_pairs_tagged", None, 1), [[(0, 99)]], [0], [100], []),
        # The exercises' unprotected updates: plain stores of one variable by the team.
        (("lost_adds", None, None), [[]] * 4, [0] * 4, [2, 1, 1, 1], [(22, 4)]),
        (("unguarded_merge", None, None), [[]] * 4, [0] * 4, [2, 1, 1, 1], [(25, 4)]),
    ]

    def test_recordings(self):
        for (name, file, team), ranges, atomics, writes, shared in self.TABLE:
            with self.subTest(name=name, file=file and os.path.basename(file), team=team):
                tl, output = run.recording(name, file, team)
                threads = summary.threads(tl)
                self.assertEqual([t.ranges for t in threads], ranges)
                self.assertEqual([t.atomics for t in threads], atomics)
                self.assertEqual([t.writes for t in threads], writes)
                self.assertEqual([(v.get("line"), v["threads"]) for v in tl.shared], shared)
                for variable in tl.shared:
                    self.assertIn(f"line {variable['line']} ({variable['text']}): ",
                                  summary.text(tl))
                # Every line the program printed was recorded, by the thread it names.
                texts = "".join(m.arg("text") for m in tl.marks if m.cat == model.WRITE)
                self.assertEqual(sorted(texts.splitlines()), sorted(output.splitlines()))

    def test_critical_sections_are_locks_taken(self):
        tl, _ = run.recording("shared_accumulator", os.path.join(TIMELINES, "critical.cxx"))
        held = [[s for s in tl.lane_spans(lane, model.LOCKED) if s.name == "critical"]
                for lane in tl.lanes]
        self.assertEqual([len(h) for h in held], [25] * 4)
        # One thread at a time: no two critical sections overlap.
        spans = sorted((s.start, s.end) for h in held for s in h)
        self.assertTrue(all(a[1] <= b[0] for a, b in zip(spans, spans[1:])))
        self.assertEqual([t.atomics for t in summary.threads(tl)], [0] * 4)
        # Stores under a lock are protected: no shared plain store is said.
        self.assertEqual(tl.shared, [])

    def test_dynamic_chunks_each_iteration_once(self):
        tl, _ = run.recording("handed_out", None, 3)
        shape = summary.shape(tl)
        self.assertEqual((shape["schedule"], shape["each iteration once"]), ("dynamic", True))

    def test_the_join_orders_the_regions(self):
        tl, _ = run.recording("fill_then_square", None, 2)
        first, second = summary.regions(tl)
        tasks = [s for s in tl.spans if s.cat == model.TASK and s.arg("region") == 1]
        self.assertEqual(len(tasks), 2)
        self.assertTrue(all(t.end <= first.end <= second.start for t in tasks))
        self.assertEqual([t.iterations for t in summary.threads(tl)], [5000, 5000])

    def test_output_written_another_way_is_said(self):
        tl, output = run.recording("greet_ids", os.path.join(FIXTURES, "students",
                                                             "stream_greeting.cpp"), 2)
        self.assertEqual(tl.meta.get("unrecorded"), len(output))  # all of it by std::cout
        self.assertIn("came another way than printf or puts (std::cout", summary.text(tl))

    def test_a_recording_not_written_whole_is_not_left(self):
        ok, why = sandbox.available()
        if not ok:
            self.skipTest(why)
        run.recording("fill_then_square", None, 2)  # the program, built with the recorder
        binary = catalogue.read_manifest(run.tree())[0]["path"]
        # A disk of 64 KiB: the recording of 10000 lines (half a megabyte) does not fit.
        full = dataclasses.replace(sandbox.RUN, tmp=64 << 10)
        # (The tree is bound where it is, which may be under /tmp: only the recording's
        # names are looked for.)
        done = sandbox.run(["sh", "-c", f"{binary} >/dev/null; ls -d /tmp/recording* 2>/dev/null"],
                           read_only=[run.tree()], limits=full, timeout=60,
                           env={"SUITE_TIMELINE_OUT": "/tmp/recording", "OMP_NUM_THREADS": "2"})
        self.assertIn(b"timeline recorder: cannot write /tmp/recording", done.stderr)
        self.assertEqual(done.stdout, b"", "a recording, or half of one, was left")

    def test_a_file_that_cannot_be_built_draws_nothing(self):
        with self.assertRaisesRegex(run.TimelineError, "cannot be built|failed"):
            run.recording("fill_pairs_tagged", os.path.join(TIMELINES, "no_for_3.recording"))


if __name__ == "__main__":
    unittest.main()
