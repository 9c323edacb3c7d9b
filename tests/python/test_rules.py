"""The diagnosis rules against evidence made by hand: each row is a small file in a
shape students write (tests/fixtures/shapes/), the lesson it is judged as, what the race
and memory reports and the compiler said of it, and the exact diagnoses it must get.
The file is read by clang, as a check reads it; the reports are the rows' own, so each
row shows one rule's predicate meeting a shape, false diagnoses included."""
import os
import shutil
import unittest

from support import FIXTURES, ROOT, manifest
from tourlib.check import diagnose, model

SHAPES = os.path.join(FIXTURES, "shapes")


def race(*sides):
    """A race report's sides: (access, atomic, line)."""
    return {"name": "races", "status": "fail", "cases": [{
        "status": "fail", "report": "race",
        "lines": [{"access": a, "atomic": atomic, "previous": k > 0, "line": line}
                  for k, (a, atomic, line) in enumerate(sides)]}]}


def memory(report, *lines):
    return {"name": "memory", "status": "fail", "cases": [{
        "status": "fail", "report": report, "lines": [{"line": n} for n in lines]}]}


BEHAVIOUR = {"name": "behaviour", "status": "fail", "cases": []}

# (file, lesson, the families that failed, the compiler's warnings, the diagnoses' ids)
ROWS = [
    # An update of one element or through a pointer is a lost update, not a read of
    # another iteration's result.
    ("hist", "fill_pairs", [race(("write", False, 8), ("write", False, 8))], [],
     ["unprotected_update"]),
    ("ptr", "shared_accumulator", [race(("write", False, 4), ("read", False, 4))], [],
     ["unprotected_update", "for_instead_of_blocks"]),
    # The end of a for (no nowait) and a barrier before a thread-0 print are waits:
    # no result written too soon (the for is a mistake against this lesson's blocks).
    ("single", "shared_accumulator", [BEHAVIOUR], [], ["for_instead_of_blocks"]),
    ("tid0", "shared_accumulator", [BEHAVIOUR], [], ["report_format"]),
    # The copy the report's line uses, not the first one named.
    ("priv", "private_accumulator", [memory("uninitialised", 9)], [],
     ["uninitialised_copy"]),
    # A counter stored again after the region brings nothing out of it.
    ("privi", "fill_pairs", [BEHAVIOUR], [], []),
    # A line written whole under a critical section cannot be split.
    ("crit", "greet_ids", [BEHAVIOUR], [], []),
    # Set through its address; the warning names another variable.
    ("cin", "shared_accumulator", [BEHAVIOUR],
     ["cin.cpp:11:29: warning: 'extra' is used uninitialized [-Wuninitialized]"], []),
    # Initialised in a helper, through a pointer.
    ("lock", "subtotal_atomic", [BEHAVIOUR], [], []),
    # Counters that the divided loops make each thread's own (collapse, simd).
    ("collapse", "fill_pairs", [race(("write", False, 7)), BEHAVIOUR], [], []),
    # A local of a region in a method; a threadprivate global.
    ("meth", "greet_ids", [race(("write", False, 9), ("write", False, 21))], [], []),
    # lastprivate beside firstprivate brings the last value out.
    ("lastp", "fill_pairs", [BEHAVIOUR], [], []),
]


@unittest.skipIf(shutil.which("clang++") is None, "needs clang++ (apt-get install clang)")
class Rules(unittest.TestCase):
    def test_each_shape_gets_exactly_its_diagnoses(self):
        pch = model.precompiled(os.path.join(ROOT, "build", "check", "model"))
        lessons = {}
        for name, lesson, families, warnings, ids in ROWS:
            with self.subTest(shape=name):
                student = model.Model(model.parse(os.path.join(SHAPES, name + ".cpp"), pch))
                if lesson not in lessons:
                    source = next(p["source"] for p in manifest() if p["name"] == lesson)
                    lessons[lesson] = model.Model(model.parse(os.path.join(ROOT, source), pch))
                doc = {"status": "fail", "families": families}
                found = diagnose.diagnose(doc, student, lessons[lesson], warnings)
                self.assertEqual([d["id"] for d in found], ids, found)


if __name__ == "__main__":
    unittest.main()
