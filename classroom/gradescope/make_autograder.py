#!/usr/bin/env python3
"""The zip a teacher uploads as a Gradescope programming assignment's autograder:
setup.sh and run_autograder at its top, the lesson to judge and the full score, and this
clone's files (those git tracks, as they are now) under openmp-lessons/.

    classroom/gradescope/make_autograder.py LESSON [--scale N] [--out FILE.zip]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CLONE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, CLONE)
from tourlib.files import umask  # noqa: E402

# The folders of the lessons: a lesson is NAME.cpp in one of them.
LESSONS = ("greetings", "environment", "worksharing", "partial_sums", "two_phase", "serial")


def add(archive, path, name):
    """`path` stored as `name` with its mode (Gradescope runs the scripts as they are)."""
    info = zipfile.ZipInfo.from_file(path, name)
    info.compress_type = zipfile.ZIP_DEFLATED
    with open(path, "rb") as f:
        archive.writestr(info, f.read())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lesson", help="the program a submission must be (see ./tour --list)")
    parser.add_argument("--scale", default="100", help="the score of a correct file (100)")
    parser.add_argument("--out", default="autograder.zip", help="the zip to write")
    args = parser.parse_args()
    lessons = sorted(os.path.splitext(n)[0] for folder in LESSONS
                     for n in os.listdir(os.path.join(CLONE, folder)) if n.endswith(".cpp"))
    if args.lesson not in lessons:
        sys.exit(f"make_autograder: no lesson '{args.lesson}'; valid names: {' '.join(lessons)}")
    try:
        if float(args.scale) <= 0:
            raise ValueError
    except ValueError:
        sys.exit(f"make_autograder: --scale takes a number above 0, not '{args.scale}'")
    tracked = subprocess.run(["git", "-C", CLONE, "ls-files", "-z"], capture_output=True,
                             check=True).stdout.decode().split("\0")
    folder = os.path.dirname(os.path.abspath(args.out))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".autograder.", suffix=".zip")
    os.close(fd)
    try:
        with zipfile.ZipFile(temporary, "w") as archive:
            for script in ("setup.sh", "run_autograder"):
                add(archive, os.path.join(HERE, script), script)
            for name, text in (("lesson", args.lesson), ("scale", args.scale)):
                info = zipfile.ZipInfo(name)
                info.external_attr = 0o644 << 16
                archive.writestr(info, text + "\n")
            for name in filter(None, tracked):
                path = os.path.join(CLONE, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    add(archive, path, "openmp-lessons/" + name)
        os.chmod(temporary, 0o666 & ~umask())
        os.replace(temporary, args.out)
    except BaseException:
        os.unlink(temporary)
        raise
    print(f"{args.out}: upload it as the assignment's autograder (Ubuntu 24.04 base image)")


if __name__ == "__main__":
    main()
