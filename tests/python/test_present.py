"""Shortening a long output: each thread's run of lines keeps its first lines and its last,
and says how many it hides; what is not a run is kept or cut by position."""
import unittest

from support import catalogue  # noqa: F401  (puts the clone on the import path)
from tourlib.present import shorten


def fill(first, last, tag=None):
    return [f"P[i] = {i} \t s[i] = {i}" + (f" (hilo: {tag})" if tag is not None else "")
            for i in range(first, last + 1)]


class Shorten(unittest.TestCase):
    def test_table(self):
        two_threads = [line for pair in zip(fill(1, 50, 0), fill(51, 100, 1)) for line in pair]
        table = [
            # (lines, what must be shown, what must not, lines shown)
            (fill(1, 40), fill(1, 40), [], 40),
            (fill(1, 100), fill(1, 2) + ["P[i] = 100 \t s[i] = 100",
                                         "   ... 97 lines not shown: this run goes on from 3 to 99 ..."],
             ["P[i] = 50 \t s[i] = 50"], 4),
            (two_threads, ["P[i] = 1 \t s[i] = 1 (hilo: 0)", "P[i] = 50 \t s[i] = 50 (hilo: 0)",
                           "P[i] = 51 \t s[i] = 51 (hilo: 1)", "P[i] = 100 \t s[i] = 100 (hilo: 1)"],
             ["P[i] = 25 \t s[i] = 25 (hilo: 0)"], 8),
            # A closing line after the runs stays, and so does a line without numbers.
            (fill(1, 60) + ["", "Q[tid]= 2"], ["", "Q[tid]= 2"], [], 6),
            # No runs at all: the first 15 lines and the last 5.
            ([f"x {i * 7 % 50}" for i in range(50)], ["x 0", "x 21"],
             ["x 40"], 21),
        ]
        for lines, shown, hidden, count in table:
            with self.subTest(first=lines[0], n=len(lines)):
                out = shorten(lines)
                for line in shown:
                    self.assertIn(line, out)
                for line in hidden:
                    self.assertNotIn(line, out)
                self.assertEqual(len(out), count, out)


if __name__ == "__main__":
    unittest.main()
