"""The recorder's output read into spans and marks: real recordings of known shape, and
the rules that turn raw events into intervals."""
import unittest

from support import recorded

from tourlib.timeline import model, record, summary

HEAD = record.HEADER + "\n"


def raw(*rows):
    """A recording from (ns, serial, kind, a, b, c[, text]) rows."""
    return HEAD + "".join("\t".join(str(v) for v in (row + ("",))[:7]) + "\n" for row in rows)


class KnownRuns(unittest.TestCase):
    # stored recording -> per-thread iteration ranges, atomic updates, report lines
    TABLE = {
        "fill_pairs_tagged_3": ([[(0, 33)], [(34, 66)], [(67, 99)]], [0, 0, 0], [34, 33, 33]),
        "no_for_3": ([[], [], []], [0, 0, 0], [100, 100, 100]),
        "shared_accumulator": ([[], [], [], []], [25, 25, 25, 25], [2, 1, 1, 1]),
    }

    def test_threads(self):
        for stem, (ranges, atomics, writes) in self.TABLE.items():
            with self.subTest(stem):
                threads = summary.threads(recorded(stem))
                self.assertEqual([t.ranges for t in threads], ranges)
                self.assertEqual([t.atomics for t in threads], atomics)
                self.assertEqual([t.writes for t in threads], writes)

    def test_static_blocks_cover_the_loop_once(self):
        threads = summary.threads(recorded("fill_pairs_tagged_3"))
        covered = sorted(i for t in threads for lo, hi in t.ranges for i in range(lo, hi + 1))
        self.assertEqual(covered, list(range(100)))

    def test_without_for_every_thread_runs_every_iteration(self):
        tl = recorded("no_for_3")
        for lane in tl.lanes:
            printed = sorted(int(m.arg("text").split("=")[1].split()[0])
                             for m in tl.lane_marks(lane, model.WRITE))
            self.assertEqual(printed, list(range(1, 101)), f"hilo {lane}")
            self.assertIn(f"(hilo: {lane})", tl.lane_marks(lane, model.WRITE)[0].arg("text"))
        self.assertEqual(summary.shape(tl)["schedule"], "none")

    def test_dynamic_chunks_each_iteration_once(self):
        shape = summary.shape(recorded("handed_out_3"))
        self.assertEqual((shape["schedule"], shape["each iteration once"]), ("dynamic", True))

    def test_spans_nest_in_their_thread_task(self):
        for stem in self.TABLE:
            tl = recorded(stem)
            for s in tl.spans:
                if s.cat in (model.LOOP, model.WAIT):
                    tasks = tl.lane_spans(s.lane, model.TASK)
                    self.assertTrue(any(t.start <= s.start and s.end <= t.end for t in tasks),
                                    f"{stem}: {s} outside its task")


class Rules(unittest.TestCase):
    def test_ranges_of(self):
        table = [((0, 33, 100, 100), [(0, 33)]),                # one block per thread
                 ((0, 9, 30, 100), [(0, 9), (30, 39), (60, 69), (90, 99)]),  # chunked
                 ((0, 9, 30, 95), [(0, 9), (30, 39), (60, 69), (90, 94)]),   # last cut short
                 ((5, 4, 100, 100), [])]                         # no iteration for this one
        for args, expected in table:
            with self.subTest(args):
                self.assertEqual(record.ranges_of(*args), expected)

    def test_a_worker_ends_at_the_join(self):
        # The worker's wait and task end come after the join (reported when it is woken
        # again): they are drawn up to the join, no further.
        tl = record.read(raw((100, 0, "fork", 1, 2, 0), (110, 0, "task_begin", 1, 0, 2),
                             (120, 1, "task_begin", 1, 1, 2), (130, 1, "wait_begin", 2, 0, 0),
                             (150, 0, "task_end", 1, 0, 0), (160, 0, "join", 1, 0, 0),
                             (900, 1, "wait_end", 2, 0, 0), (901, 1, "task_end", 1, 1, 0)), "t")
        ends = {(s.lane, s.cat): s.end for s in tl.spans}
        self.assertEqual(ends[(1, model.WAIT)], 60)
        self.assertEqual(ends[(1, model.TASK)], 60)
        self.assertEqual(ends[(0, model.REGION)], 60)

    def test_a_task_left_open_ends_at_its_join(self):
        # No task_end for region 1 before the thread's task in region 2 begins.
        tl = record.read(raw((0, 0, "fork", 1, 2, 0), (5, 1, "task_begin", 1, 1, 2),
                             (6, 1, "wait_begin", 2, 0, 0), (10, 0, "join", 1, 0, 0),
                             (20, 0, "fork", 2, 2, 0), (25, 1, "task_begin", 2, 1, 2),
                             (30, 0, "join", 2, 0, 0)), "t")
        tasks = [(s.start, s.end, s.arg("region")) for s in tl.lane_spans(1, model.TASK)]
        self.assertEqual(tasks, [(5, 10, 1), (25, 30, 2)])
        self.assertEqual([(s.start, s.end) for s in tl.lane_spans(1, model.WAIT)], [(6, 10)])

    def test_one_lock_held_by_one_thread_at_a_time(self):
        # Thread 0's release of lock 7 is stamped after thread 1 took it: thread 0's span
        # ends where thread 1's begins. Lock 8 is another lock: its span may overlap.
        tl = record.read(raw((10, 0, "mutex_acquired", 5, 7, 0),
                             (20, 1, "mutex_acquired", 5, 7, 0),
                             (25, 0, "mutex_released", 5, 7, 0),
                             (30, 1, "mutex_released", 5, 7, 0),
                             (12, 2, "mutex_acquired", 5, 8, 0),
                             (28, 2, "mutex_released", 5, 8, 0)), "t")
        held = sorted((s.lane, s.start, s.end) for s in tl.spans if s.cat == model.LOCKED)
        self.assertEqual(held, [(0, 0, 10), (1, 10, 20), (2, 2, 18)])

    def test_contiguous_dynamic_chunks_merge(self):
        tl = record.read(raw((0, 0, "task_begin", 1, 0, 1), (1, 0, "work_begin", 1, 1, 4),
                             (2, 0, "chunk", 0, 0, 0), (3, 0, "chunk", 1, 1, 0),
                             (4, 0, "chunk", 3, 3, 0), (5, 0, "work_end", 1, 1, 0)), "t")
        loops = tl.lane_spans(0, model.LOOP)
        self.assertEqual([(s.name, s.arg("chunks")) for s in loops], [("i 0..1", 2), ("i 3", 1)])

    def test_lanes_follow_team_numbers(self):
        events = record.parse(raw((5, 0, "write", 0, 0, 0, "x"), (6, 1, "task_begin", 1, 2, 3),
                                  (7, 2, "task_begin", 1, 1, 3)))
        self.assertEqual(record.lanes_of(events), {0: 0, 1: 2, 2: 1})
        clash = record.parse(raw((6, 1, "task_begin", 1, 1, 2), (7, 2, "task_begin", 2, 1, 2)))
        self.assertEqual(record.lanes_of(clash), {1: 0, 2: 1})

    def test_write_text_unescaped(self):
        tl = record.read(raw((1, 0, "write", 0, 0, 0, r"a\tb\\n\n")), "t")
        self.assertEqual(tl.marks[0].arg("text"), "a\tb\\n\n")

    def test_unreadable(self):
        table = {"no header": "1\t0\tfork\t1\t2\t0\t\n",
                 "short line": HEAD + "1\t0\tfork\n",
                 "not a number": HEAD + "x\t0\tfork\t1\t2\t0\t\n",
                 "no event": HEAD}
        for why, text in table.items():
            with self.subTest(why), self.assertRaises(record.RecordError):
                record.read(text, "t")


if __name__ == "__main__":
    unittest.main()
