"""What the Python tests share: the clone's root (and docs/, for its scripts) on the import
path, the manifest of the build the tests run in (SUITE_MANIFEST_DIR, set by CTest; else
build/default), and the stored timeline recordings and traces."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
sys.path.insert(0, ROOT)
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
TIMELINES = os.path.join(FIXTURES, "timeline")
DOCS = os.path.join(ROOT, "docs")
sys.path.insert(0, DOCS)

from tourlib import catalogue  # noqa: E402


def manifest():
    build = os.environ.get("SUITE_MANIFEST_DIR", os.path.join(ROOT, "build", "default"))
    return catalogue.read_manifest(build)


def lessons():
    return [p["name"] for p in manifest()]


def fixture(name):
    with open(os.path.join(TIMELINES, name), encoding="utf-8") as f:
        return f.read()


def recorded(stem):
    """The Timeline of a stored real recording."""
    from tourlib.timeline import record
    return record.read(fixture(stem + ".recording"), stem)


def every_trace():
    """(path, text) of every stored trace: the tests' and the guide's."""
    out = []
    for folder in (TIMELINES, os.path.join(DOCS, "timelines")):
        for name in sorted(os.listdir(folder)):
            if name.endswith(".trace.json"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    out.append((os.path.join(folder, name), f.read()))
    return out

