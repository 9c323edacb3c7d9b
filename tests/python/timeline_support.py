"""What the timeline tests share: the repository's root on the import path, and the
stored recordings and traces they read."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(ROOT, "tests", "fixtures", "timeline")
DOCS = os.path.join(ROOT, "docs")
sys.path.insert(0, ROOT)
sys.path.insert(0, DOCS)


def fixture(name):
    with open(os.path.join(FIXTURES, name), encoding="utf-8") as f:
        return f.read()


def recorded(stem):
    """The Timeline of a stored real recording."""
    from tourlib.timeline import record
    return record.read(fixture(stem + ".recording"), stem)


def every_trace():
    """(path, text) of every stored trace: the tests' and the guide's."""
    out = []
    for folder in (FIXTURES, os.path.join(DOCS, "timelines")):
        for name in sorted(os.listdir(folder)):
            if name.endswith(".trace.json"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    out.append((os.path.join(folder, name), f.read()))
    return out
