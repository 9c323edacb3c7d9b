#!/usr/bin/env python3
"""Sets our overhead benchmark beside the field's yardstick, EPCC's OpenMP
micro-benchmark suite (syncbench), on the same machine in one go.

    python3 bench/yardstick.py                        # writes bench/results/yardstick.md
    python3 bench/yardstick.py --out /tmp/y.md --runtimes libgomp
    python3 bench/yardstick.py --anchors DIR          # EPCC's sources elsewhere

Builds syncbench from EPCC's sources (by default ../shared/anchors/epcc-openmpbench-c-v40
beside the clone; a clear error when they are not there: CI does not need them) with
the compiler of each runtime and -O3, as our Release build, into a temporary folder.
Then, for teams of 1 and 2 threads bound to the cores as bench/run.py binds them, runs
each pair of constructs that measure the same thing, ours and EPCC's, in turn, each in
--processes separate processes (ours first, then EPCC's first, and so on), with EPCC's
settings for both (20 repetitions of about 1000 µs, a delay of about 0.1 µs), and writes
the table of each side's middle mean (the mean of its processes less the fastest and the
slowest fifth), ours / EPCC's, with the middle half of each side's processes.
One process says little: the same construct, measured by the same program, moves by up
to a factor of two from one process to the next at one and two threads, for both. A
pair agrees when the ratio of the middle means is within AGREE of 1. Figures measured while
the machine was busy are marked BUSY by bench/run.py's rule.
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

import programs
import run
from figures import BOUND, BUSY_LOAD, BUSY_SHARE, RUNTIMES, TRIM, interval, middle_mean, trust
from machine import Watch
from programs import Failure
from tourlib.catalogue import clean_environment

ANCHOR = "epcc-openmpbench-c-v40"
# (ours, EPCC's): constructs that measure the same thing.
PAIRS = [("parallel", "PARALLEL"), ("for", "FOR"), ("barrier", "BARRIER"),
         ("atomic_double", "ATOMIC"), ("reduction_clause", "REDUCTION")]
TEAMS = (1, 2)
REPS, TARGET_US, DELAY_US = 20, 1000, 0.1  # EPCC's defaults
AGREE = 0.25
PROCESSES = 15
C_COMPILER = {"libgomp": "gcc", "libomp": "clang"}


def fail(message):
    sys.exit(f"yardstick.py: {message}")


def anchors(given):
    """EPCC's source folder: --anchors, else ../shared/anchors/ beside the clone (or beside
    the folder of worktrees it sits in)."""
    if given:
        candidates = [given]
    else:
        candidates = [os.path.join(programs.ROOT, *[".."] * up, "shared", "anchors", ANCHOR)
                      for up in (1, 2)]
    for folder in candidates:
        if os.path.isfile(os.path.join(folder, "syncbench.c")):
            return os.path.abspath(folder)
    fail(f"EPCC's OpenMP micro-benchmarks are not at {' or '.join(map(os.path.abspath, candidates))}"
         " (syncbench.c): there is no yardstick to compare with; name their folder with --anchors")


def build_syncbench(source, runtime, folder):
    """syncbench built with the runtime's C compiler, -O3 -fopenmp; EPCC's shim for
    omp_init_lock_with_hint is linked in when it is there."""
    compiler = C_COMPILER[runtime]
    if not shutil.which(compiler):
        fail(f"{compiler} is not installed: cannot build EPCC's syncbench for {runtime}")
    out = os.path.join(folder, f"syncbench-{runtime}")
    units = [os.path.join(source, f) for f in ("syncbench.c", "common.c", "hintshim.c")
             if os.path.exists(os.path.join(source, f))]
    step = [compiler, "-O3", "-fopenmp", "-o", out] + units + ["-lm"]
    done = subprocess.run(step, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr[-2000:])
        fail(f"'{' '.join(step)}' failed (its last lines are above)")
    return out


def epcc_overhead(program, name, team):
    """EPCC's overhead of one construct, in µs, with its half interval."""
    env = clean_environment({**BOUND, "OMP_NUM_THREADS": str(team)})
    done = subprocess.run([program, "--measureonly", name, "--outer-repetitions", str(REPS),
                           "--test-time", str(TARGET_US), "--delay-time", str(DELAY_US)],
                          env=env, capture_output=True, text=True)
    match = re.search(rf"^{name} overhead\s*=\s*(\S+) microseconds \+/- (\S+)", done.stdout, re.M)
    if done.returncode != 0 or not match:
        fail(f"syncbench --measureonly {name} with {team} threads printed no overhead "
             f"(status {done.returncode})")
    return float(match.group(1)), float(match.group(2))


def our_overhead(scratch, runtime, construct, team):
    args = ["--threads", str(team), "--reps", str(REPS), "--target-us", str(TARGET_US),
            "--delay-us", str(DELAY_US), construct]
    found = [item for item in programs.overhead_lines(
        scratch, [programs.binary(runtime, "overhead")] + args, clean_environment(BOUND))
        if item[0] != "#"]
    overhead, low, high = interval(*found[0][3:])
    return overhead, (high - low) / 2


def ratio_cell(ours, theirs):
    """ours / EPCC's, and whether it is within AGREE of 1."""
    if theirs <= 0:
        return None, "–"
    ratio = ours / theirs
    return ratio, f"{ratio:.2f}" + ("" if abs(ratio - 1) <= AGREE else " ✗")


def spread(values):
    """(middle mean, first quartile, third quartile) of one side's processes."""
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return middle_mean(values), q1, q3


def table(results, runtimes, processes):
    """results: {(runtime, construct, team): ([ours], [EPCC's], others' share, load)}, one
    overhead per process."""
    cpus = os.cpu_count() or 1
    head = " | ".join(f"{t} thr.: ours, EPCC (µs) | ours / EPCC" for t in TEAMS)
    lines = [f"| Runtime | Ours / EPCC's | {head} |", "|---|---|" + "---:|---:|" * len(TEAMS)]
    agree = total = 0
    for runtime in runtimes:
        for construct, name in PAIRS:
            cells = []
            for team in TEAMS:
                ours, theirs, share, load = results[(runtime, construct, team)]
                (a, a1, a3), (b, b1, b3) = spread(ours), spread(theirs)
                trusted, _ = trust(share, load, cpus)
                ratio, text = ratio_cell(a, b)
                total += 1
                agree += ratio is not None and abs(ratio - 1) <= AGREE
                busy = "" if trusted else " **BUSY**"
                cells.append(f"{a:.3g} ({a1:.3g}–{a3:.3g}), {b:.3g} ({b1:.3g}–{b3:.3g}){busy} "
                             f"| {text}")
            lines.append(f"| {runtime} | `{construct}` / {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + (
        f"\n\n{agree} of {total} pairs within {AGREE:.0%} (✗: outside). Each figure is the mean of "
        f"{processes} processes less the fastest and the slowest {TRIM:.0%}, with the middle half "
        f"of them in brackets; ours and EPCC's took turns. Teams bound to the cores "
        f"({' '.join(f'{k}={v}' for k, v in BOUND.items())}); both with {REPS} "
        f"repetitions of about {TARGET_US} µs and a delay of about {DELAY_US} µs.\n"), agree, total


def in_turn(ours, theirs, times):
    """Each side's figures, `times` of each, the two measured in turn and each first every
    other time, so that both see the same machine."""
    found = ([], [])
    for k in range(times):
        for side in ((0, ours), (1, theirs))[::1 if k % 2 == 0 else -1]:
            found[side[0]].append(side[1]())
    return found


def processes(text):
    if not text.isdigit() or not 4 <= int(text) <= 1000:
        raise argparse.ArgumentTypeError(f"takes a whole number from 4 to 1000, not '{text}'")
    return int(text)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--anchors", metavar="DIR", help="folder with EPCC's syncbench.c")
    parser.add_argument("--out", metavar="FILE",
                        default=os.path.join(run.RESULTS, "yardstick.md"),
                        help="the table, written whole (default bench/results/yardstick.md)")
    parser.add_argument("--runtimes", metavar="LIST", type=run.runtime_list,
                        default=list(RUNTIMES), help="default libgomp,libomp")
    parser.add_argument("--processes", metavar="N", type=processes, default=PROCESSES,
                        help=f"processes of each side per figure (default {PROCESSES})")
    parser.error = lambda message: fail(f"{message} (see python3 bench/yardstick.py --help)")
    args = parser.parse_args()
    source = anchors(args.anchors)
    out_dir = os.path.dirname(os.path.abspath(args.out))
    if not os.path.isdir(out_dir) or not os.access(out_dir, os.W_OK):
        fail(f"cannot write into {out_dir}")
    if (os.cpu_count() or 1) < max(TEAMS):
        fail(f"needs {max(TEAMS)} processors, this machine has {os.cpu_count()}")

    scratch = programs.Scratch()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, programs.interrupt)
    try:
        programs.build(scratch, args.runtimes)
        syncbench = {rt: build_syncbench(source, rt, scratch.dir) for rt in args.runtimes}
        results = {}
        for runtime in args.runtimes:
            for team in TEAMS:
                programs.progress(f"[{runtime}, {team} thr.]")
                for construct, name in PAIRS:
                    with Watch() as watch:
                        ours, theirs = in_turn(
                            lambda: our_overhead(scratch, runtime, construct, team)[0],
                            lambda: epcc_overhead(syncbench[runtime], name, team)[0],
                            args.processes)
                    results[(runtime, construct, team)] = (ours, theirs, watch.share, watch.load)
                    a, b = middle_mean(ours), middle_mean(theirs)
                    programs.progress(f" {construct} {a / b:.2f}" if b > 0 else f" {construct} –")
                programs.progress("", end="\n")
        text, agree, total = table(results, args.runtimes, args.processes)
        text = (f"Measured {time.strftime('%Y-%m-%d %H:%M %Z')}; EPCC's syncbench v4.0 from "
                f"{os.path.basename(source)}, built with -O3 -fopenmp.\n\n" + text
                + "\n**BUSY**: measured while the machine was busy, by bench/run.py's rule (other "
                f"processes took more than {BUSY_SHARE:.0%} of the processors during the pair, "
                f"or more than {BUSY_LOAD:g} of their threads per processor waited to run just "
                "before it).\n")
        programs.write_all(scratch, out_dir, {os.path.basename(args.out): text})
    except programs.Interrupted as stop:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        scratch.close()
        print(f"\nyardstick.py: stopped by {signal.Signals(stop.args[0]).name}; {args.out} is as "
              "it was", file=sys.stderr)
        sys.exit(128 + stop.args[0])
    finally:
        scratch.close()
    sys.stdout.write(text)
    print(f"wrote {args.out}: {agree} of {total} pairs within {AGREE:.0%}")


if __name__ == "__main__":
    try:
        main()
    except Failure as e:
        fail(e.message)
