"""What the Python tests share: the clone's root on the import path, and the lessons of
the build the tests run in (SUITE_MANIFEST_DIR, set by CTest; else build/default)."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
sys.path.insert(0, ROOT)
FIXTURES = os.path.join(ROOT, "tests", "fixtures")

from tourlib import catalogue  # noqa: E402


def lessons():
    build = os.environ.get("SUITE_MANIFEST_DIR", os.path.join(ROOT, "build", "default"))
    return [p["name"] for p in catalogue.read_manifest(build)]
