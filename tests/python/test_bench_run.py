"""The pure parts of bench/: statistics, the trust rule, the floor's round trips, the
CSV's columns, the manifest and the environment, the comparison's reading of runs."""
import csv
import io
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import compare  # noqa: E402
import figures  # noqa: E402
import report  # noqa: E402
import yardstick  # noqa: E402


def row(construct="parallel", threads=2, overhead=1.0, low=0.5, high=1.5, runtime="libgomp",
        share=0.0, trusted=True, oversubscribed=False, load=0.0):
    return {"runtime": runtime, "construct": construct, "threads": threads,
            "overhead_us": overhead, "low_us": low, "high_us": high, "others_share": share,
            "load": load, "trusted": trusted, "oversubscribed": oversubscribed}


class Statistics(unittest.TestCase):
    def test_interval(self):
        # (test mean, test sd, reference mean, reference sd) -> (overhead, low, high)
        cases = [((1.0, 0.0, 0.25, 0.0), (0.75, 0.75, 0.75)),
                 ((1.0, 0.1, 0.5, 0.1), (0.5, 0.5 - 0.392, 0.5 + 0.392)),
                 ((0.5, 0.2, 0.5, 0.3), (0.0, -0.98, 0.98)),
                 ((0.1, 0.0, 0.3, 0.05), (-0.2, -0.298, -0.102))]
        for given, want in cases:
            with self.subTest(given=given):
                for got, expected in zip(figures.interval(*given), want):
                    self.assertAlmostEqual(got, expected)

    def test_combined_processes(self):
        # (overhead, low, high) of each process -> one figure: the middle mean, lowest to
        # highest; a hiccup at either end does not move it
        cases = [([(0.5, 0.4, 0.6)], (0.5, 0.4, 0.6)),
                 ([(0.2, 0.1, 0.3), (0.9, 0.8, 1.0), (0.3, 0.2, 0.4)], (0.4667, 0.2, 0.9)),
                 ([(0.02, -0.1, 0.1), (0.01, 0.0, 0.02)], (0.015, 0.01, 0.02)),
                 ([(-0.1, -0.2, 0.0), (0.4, 0.3, 0.5), (0.5, 0.4, 0.6), (0.6, 0.5, 0.7),
                   (9.0, 8.0, 10.0)], (0.5, -0.1, 9.0))]
        for given, want in cases:
            with self.subTest(given=given):
                for got, expected in zip(figures.combined(given), want):
                    self.assertAlmostEqual(got, expected, places=4)

    def test_yardstick_spread(self):
        # one side's processes -> (middle mean, first quartile, third quartile); two groups
        # of processes weigh in by their sizes, where a median would take one of them
        cases = [([1.0, 2.0, 3.0, 4.0, 50.0], (3.0, 2.0, 4.0)),
                 ([0.5, 0.1, 0.3, 9.0], (2.475, 0.25, 2.625)),
                 ([2.0, 2.0, 2.0, 2.0], (2.0, 2.0, 2.0)),
                 ([0.0, 1.0, 1.0, 1.0, 1.0, 2.0, 2.0, 2.0, 2.0, 9.0], (1.5, 1.0, 2.0))]
        for values, want in cases:
            with self.subTest(values=values):
                for got, expected in zip(yardstick.spread(values), want):
                    self.assertAlmostEqual(got, expected)

    def test_yardstick_takes_turns(self):
        # each side measured `times` times, and each goes first every other time
        calls = []
        got = yardstick.in_turn(lambda: calls.append("ours") or len(calls),
                                lambda: calls.append("EPCC") or len(calls), 3)
        self.assertEqual(calls, ["ours", "EPCC", "EPCC", "ours", "ours", "EPCC"])
        self.assertEqual(got, ([1, 4, 5], [2, 3, 6]))

    def test_shown_and_busy_cell(self):
        # (overhead, low, high, unit, trusted) -> table cell
        cases = [(0.857, 0.805, 0.909, 1.0, True, "0.857 (0.805 to 0.909)"),
                 (0.1, -0.2, 0.4, 1.0, True, "n.s. (-0.2 to 0.4)"),
                 (0.052, 0.046, 0.0586, 1000.0, True, "52 (46 to 58.6)"),
                 (8031, 7917, 8145, 1.0, False, "**BUSY** 8031 (7917 to 8145)"),
                 (0.0, -1.0, 1.0, 1.0, False, "**BUSY** n.s. (-1 to 1)")]
        for overhead, low, high, unit, trusted, want in cases:
            with self.subTest(want=want):
                r = row(overhead=overhead, low=low, high=high, trusted=trusted)
                self.assertEqual(figures.cell(r, unit), want)


class TrustRule(unittest.TestCase):
    def test_others_share(self):
        # (machine busy s, own s, elapsed s, processors) -> share others took
        cases = [(2.0, 2.0, 1.0, 2, 0.0),
                 (1.5, 0.5, 1.0, 2, 0.5),
                 (0.5, 1.0, 1.0, 2, 0.0),    # own time counted past the busy ticks: none
                 (9.0, 0.0, 1.0, 2, 1.0),    # never more than all of them
                 (1.0, 0.0, 0.0, 2, 0.0)]    # nothing measured
        for busy, own, elapsed, cpus, want in cases:
            with self.subTest(busy=busy, own=own, elapsed=elapsed):
                self.assertAlmostEqual(figures.others_share(busy, own, elapsed, cpus), want)

    def test_trust(self):
        # (others' share, others' runnable threads, processors) -> trusted, words in the reason
        cases = [(0.0, 0.3, 2, True, []),
                 (figures.BUSY_SHARE, figures.BUSY_LOAD * 2, 2, True, []),
                 (figures.BUSY_SHARE + 0.01, 0.0, 2, False, ["11%"]),
                 (0.0, figures.BUSY_LOAD * 2 + 0.01, 2, False, ["1.01 other threads"]),
                 (0.0, 1.5, 4, True, []),
                 (0.68, 69.96, 2, False, ["68%", "69.96"])]
        for share, load, cpus, trusted, words in cases:
            with self.subTest(share=share, load=load, cpus=cpus):
                got, reason = figures.trust(share, load, cpus)
                self.assertEqual(got, trusted)
                for word in words:
                    self.assertIn(word, reason)
                self.assertEqual(reason == "", trusted)


class FloorAndTeams(unittest.TestCase):
    def test_round_trips(self):
        floor = row("round_trip", 2, overhead=0.2, low=0.19, high=0.21, runtime="hardware")
        # (threads, overhead, low, high, floor) -> round trips
        cases = [(2, 0.5, 0.4, 0.6, floor, 2.5),
                 (2, 0.02, 0.01, 0.03, floor, 0.1),
                 (1, 0.5, 0.4, 0.6, floor, None),      # only 2-thread teams
                 (4, 50.0, 40.0, 60.0, floor, None),
                 (2, 0.1, -0.1, 0.3, floor, None),     # not significant: no multiple
                 (2, 0.5, 0.4, 0.6, None, None)]       # no floor measured
        for threads, overhead, low, high, fl, want in cases:
            with self.subTest(threads=threads, overhead=overhead, floor=fl is not None):
                got = figures.with_round_trips([row(threads=threads, overhead=overhead, low=low,
                                                high=high)], fl)[0]["round_trips"]
                if want is None:
                    self.assertIsNone(got)
                else:
                    self.assertAlmostEqual(got, want)

    def test_runnable_others(self):
        # (fourth field of /proc/loadavg, our own runnable processes) -> others waiting
        cases = [("1/300", 0, 0.0), ("4/300", 0, 3.0), ("4/300", 2, 1.0), ("1/300", 2, 0.0)]
        for field, ours, want in cases:
            with self.subTest(field=field, ours=ours), mock.patch(
                    "builtins.open", mock.mock_open(read_data=f"0.10 0.20 0.30 {field} 999\n")):
                self.assertEqual(figures.runnable_others(ours, samples=3, gap=0), want)

    def test_team_groups(self):
        # (teams, processors) -> [(group, bound?)]
        cases = [([1, 2, 4, 256], 2, [([1, 2], True), ([4, 256], False)]),
                 ([1, 2], 2, [([1, 2], True)]),
                 ([4, 8], 2, [([4, 8], False)]),
                 ([1, 2, 4], 4, [([1, 2, 4], True)])]
        for teams, cpus, want in cases:
            with self.subTest(teams=teams, cpus=cpus):
                got = [(group, env == figures.BOUND) for group, env in figures.team_groups(teams, cpus)]
                self.assertEqual(got, want)
                self.assertTrue(all(env in (figures.BOUND, {}) for _, env in figures.team_groups(teams, cpus)))


class Files(unittest.TestCase):
    def test_csv_columns(self):
        rows = figures.with_trust(figures.with_round_trips(
            [row(threads=1, overhead=0.4, low=0.3, high=0.5),
             row(threads=2, runtime="libomp", share=0.5),
             row(threads=2, construct="for", load=1.5),
             row(threads=4, overhead=60, low=50, high=70, oversubscribed=True)],
            row("round_trip", 2, overhead=0.25, low=0.2, high=0.3, runtime="hardware")), 2)
        got = list(csv.DictReader(io.StringIO(report.overhead_csv(rows))))
        self.assertEqual(list(got[0]), report.CSV_FIELDS)
        want = [("libgomp", "1", "", "yes", "no"), ("libomp", "2", "4.00", "no", "no"),
                ("libgomp", "2", "4.00", "no", "no"), ("libgomp", "4", "", "yes", "yes")]
        self.assertEqual([(r["runtime"], r["threads"], r["round_trips"], r["trusted"],
                           r["oversubscribed"]) for r in got], want)

    def test_compare_reads_both_forms(self):
        old = "construct,threads,overhead_us,low_us,high_us\nparallel,2,0.8,0.7,0.9\n"
        new = ("runtime,construct,threads,overhead_us,low_us,high_us,trusted\n"
               "libomp,parallel,2,0.6,0.5,0.7,no\n")
        for text, key, trusted in ((old, ("libgomp", "parallel", 2), True),
                                   (new, ("libomp", "parallel", 2), False)):
            with self.subTest(key=key), tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "overhead.csv"), "w") as f:
                    f.write(text)
                self.assertEqual(compare.load(folder)[key][3], trusted)

    def test_ratio(self):
        # (ours, EPCC's) -> ratio, marked outside the agreement
        cases = [(1.0, 1.0, 1.0, False), (1.25, 1.0, 1.25, False), (1.3, 1.0, 1.3, True),
                 (0.74, 1.0, 0.74, True), (0.5, 0.0, None, False)]
        for ours, theirs, want, outside in cases:
            with self.subTest(ours=ours, theirs=theirs):
                ratio, text = yardstick.ratio_cell(ours, theirs)
                if want is None:
                    self.assertIsNone(ratio)
                else:
                    self.assertAlmostEqual(ratio, want)
                self.assertEqual(text.endswith("✗"), outside)


if __name__ == "__main__":
    unittest.main()
