"""The drawing: byte-identical from a stored trace, well-formed, readable for long runs,
never empty."""
import os
import unittest
import xml.etree.ElementTree as ET

from support import DOCS, fixture

import timeline_figures
from tourlib.timeline import draw, model, run, trace
from tourlib.timeline.model import Mark, Span, Timeline, pairs

SVG = "{http://www.w3.org/2000/svg}"


class FromStoredTraces(unittest.TestCase):
    def test_command_picture(self):
        tl = trace.loads(fixture("fill_pairs_tagged_3.trace.json"))
        self.assertEqual(run.picture(tl, "fill_pairs_tagged_3.trace.json"),
                         fixture("fill_pairs_tagged_3.svg"))

    def test_guide_figures(self):
        for name, text in timeline_figures.drawn(timeline_figures.stored()).items():
            with self.subTest(name), open(os.path.join(DOCS, name), encoding="utf-8") as f:
                self.assertEqual(text, f.read())

    def test_blocks_labelled_with_their_iterations(self):
        root = ET.fromstring(fixture("fill_pairs_tagged_3.svg"))
        titles = [t.text for t in root.iter(SVG + "title")]
        for block in ("i 0..33: 34 iterations", "i 34..66: 33 iterations",
                      "i 67..99: 33 iterations"):
            self.assertEqual(sum(t.startswith(block) for t in titles), 1, block)


class Drawing(unittest.TestCase):
    def test_cluster_counts_never_run_into_each_other(self):
        rows = [  # tick columns with their counts, the labels written
            ({100: 7, 106: 18}, ["×25"]),  # 6 px apart: ×7 would touch ×18
            ({100: 7, 140: 18}, ["×7", "×18"]),
            ({100: 1, 103: 1, 200: 1}, ["×2"]),  # a lone update needs no count
        ]
        for columns, labels in rows:
            with self.subTest(columns=columns):
                texts = [ET.fromstring(e).text for e in draw.cluster_counts(columns, 0, "red")]
                self.assertEqual(texts, labels)

    def test_the_command_picture_starts_when_the_team_formed(self):
        tl = trace.loads(fixture("fill_pairs_tagged_3.trace.json"))
        first = draw.from_team(tl)[0]
        self.assertGreater(first, 0)
        root = ET.fromstring(run.picture(tl, "x.trace.json"))
        tasks = [float(r.get("x")) for r in root.iter(SVG + "rect")
                 if "implicit task" in (r.findtext(SVG + "title") or "")]
        self.assertEqual(min(tasks), draw.LEFT)
        self.assertIn(f"the team formed {draw.time_text(first)} into the run",
                      "".join(root.itertext()))


    def test_long_runs_aggregate(self):
        # 10000 writes on each of 8 threads: one tick path per thread, at most a tick per
        # pixel column, and a picture of a few tens of kilobytes.
        lanes = list(range(8))
        tl = Timeline("long", lanes, [Span(n, 0, 10_000_000, model.LOOP, f"i {n}",
                                           pairs(ranges=((n, n),), iterations=1))
                                      for n in lanes],
                      [Mark(n, t * 1000, model.WRITE, "write") for n in lanes
                       for t in range(10000)])
        picture = draw.svg([("long", tl)], "long")
        paths = [p for p in ET.fromstring(picture).iter(SVG + "path")
                 if p.get("stroke") == "#222"]
        self.assertEqual(len(paths), 8)
        self.assertTrue(all(p.get("d").count("M") <= draw.PLOT + 1 for p in paths))
        self.assertLess(len(picture), 100_000)

    def test_nothing_to_draw(self):
        with self.assertRaises(draw.DrawError):
            draw.svg([("empty", Timeline("empty", [0]))], "empty")
        with self.assertRaises(draw.DrawError):
            draw.svg([], "none")

    def test_time_labels(self):
        table = [((0, 1), "0"), ((1_820_000, 20_000), "1.82 ms"), ((340_000, 20_000), "340 µs"),
                 ((2500, 500), "2.5 µs"), ((25, 5), "25 ns"), ((5_000_000, 1_000_000), "5 ms")]
        for (ns, step), text in table:
            with self.subTest(ns=ns, step=step):
                self.assertEqual(draw.time_text(ns, step), text)

    def test_axis_steps(self):
        for span, step in [(9, 1), (11, 2), (35, 5), (100, 10), (488_725, 50_000)]:
            with self.subTest(span):
                self.assertEqual(draw.nice_step(span), step)


if __name__ == "__main__":
    unittest.main()
