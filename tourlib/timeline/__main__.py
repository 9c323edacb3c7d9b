"""python3 -m tourlib.timeline NAME [FILE] [--threads N] [--out DIR]"""
import argparse
import os
import signal
import sys

from .run import timeline


def positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= 64:
        raise argparse.ArgumentTypeError("a team of 1 to 64 threads")
    return value


def main(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m tourlib.timeline",
        description="Run a lesson (or FILE built as it) under the suite's timeline recorder "
                    "and write its picture (SVG), trace (trace-event JSON) and summary.")
    parser.add_argument("name", metavar="NAME", help="the lesson, or an exercise")
    parser.add_argument("file", metavar="FILE", nargs="?", help="your version of NAME")
    parser.add_argument("--threads", type=positive, metavar="N", help="OMP_NUM_THREADS")
    parser.add_argument("--out", metavar="DIR", help="where to write (build/timeline/out)")
    args = parser.parse_args(argv)
    return timeline(args.name, args.file, args.threads, args.out)


def stopped(*_):
    raise SystemExit(130)


def output_lost():
    """Standard output could not be written (a closed pipe, a full disk): one line on
    standard error and a failure status, never a success that showed nothing."""
    try:
        sys.stdout = open(os.devnull, "w")  # nothing more is written to the broken one
    except OSError:
        pass
    print("timeline: standard output could not be written", file=sys.stderr)
    return 1


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, stopped)
    try:
        status = main(sys.argv[1:])
        sys.stdout.flush()
    except KeyboardInterrupt:
        status = 130
    except BrokenPipeError:
        status = output_lost()
    sys.exit(status)
