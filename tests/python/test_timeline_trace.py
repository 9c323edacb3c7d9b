"""Trace-event JSON: what the viewers need from it, and a stored trace read back and
written again byte for byte."""
import json
import unittest

from support import every_trace, recorded

from tourlib.timeline import model, trace
from tourlib.timeline.model import Mark


class Format(unittest.TestCase):
    def test_viewers_can_open_every_stored_trace(self):
        # The trace-event format: a traceEvents list; complete events with numeric ts and
        # dur, instants with a scope; one named track (tid) per thread, and nothing else.
        for path, text in every_trace():
            with self.subTest(path):
                document = json.loads(text)
                events = document["traceEvents"]
                named = {e["tid"] for e in events if e.get("name") == "thread_name"}
                used = set()
                for e in events:
                    self.assertIn(e["ph"], ("M", "X", "i"))
                    self.assertEqual(e["pid"], 1)
                    if e["ph"] != "M":
                        used.add(e["tid"])
                        self.assertIsInstance(e["ts"], (int, float))
                        self.assertGreaterEqual(e["ts"], 0)
                    if e["ph"] == "X":
                        self.assertGreaterEqual(e["dur"], 0)
                    if e["ph"] == "i":
                        self.assertEqual(e["s"], "t")
                self.assertEqual(used, named)
                self.assertEqual(sorted(named), document["otherData"]["lanes"])

    def test_stored_traces_round_trip_byte_for_byte(self):
        for path, text in every_trace():
            with self.subTest(path):
                self.assertEqual(trace.dumps(trace.to_trace(trace.loads(text))), text)

    def test_a_recording_survives_the_trace(self):
        tl = recorded("shared_accumulator")
        back = trace.loads(trace.dumps(trace.to_trace(tl)))
        self.assertEqual((back.spans, back.marks, back.lanes), (tl.spans, tl.marks, tl.lanes))

    def test_unreadable(self):
        table = {"not JSON": "{", "a list": "[]", "no otherData": '{"traceEvents": []}',
                 "no thread": '{"otherData": {"program": "p", "lanes": []}, "traceEvents": []}',
                 "unknown event": '{"otherData": {"program": "p", "lanes": [0]}, "traceEvents":'
                                  ' [{"ph": "B", "tid": 0, "ts": 1, "cat": "x", "name": "y"}]}'}
        for why, text in table.items():
            with self.subTest(why), self.assertRaises(trace.TraceError):
                trace.loads(text)


class Grouping(unittest.TestCase):
    def marks(self, times):
        return [Mark(0, t, model.WRITE, "write") for t in times]

    def test_counts_kept_and_bursts_apart(self):
        # 200 writes 10 ns apart, a pause, one more: grouped into at most about 10 runs,
        # the lone write after the pause in none of them.
        marks = self.marks(list(range(0, 2000, 10)) + [100000])
        runs = trace.grouped(marks, 10)
        self.assertEqual(sum(m.count for m in runs), 201)
        self.assertLessEqual(len(runs), 12)
        self.assertEqual((runs[-1].ts, runs[-1].count), (100000, 1))
        self.assertTrue(all(m.until < 100000 for m in runs[:-1]))

    def test_few_marks_stay_as_they_are(self):
        marks = self.marks([1, 2, 3])
        self.assertEqual(trace.grouped(marks, 10), marks)
        self.assertEqual(trace.grouped(marks, None), marks)


if __name__ == "__main__":
    unittest.main()
