#!/usr/bin/env python3
"""Draws the guide's timeline figures from the traces stored in docs/timelines/, and
records those traces from real runs under the suite's timeline recorder.

    python3 docs/timeline_figures.py            # record the runs, store the traces, draw
    python3 docs/timeline_figures.py --draw     # redraw the figures from the stored traces
    python3 docs/timeline_figures.py --check    # fail if a figure differs from its stored
                                                # trace's drawing, or a stored trace no
                                                # longer has the shape of a run today
    python3 docs/timeline_figures.py --overhead # time runs with and without recording

Recording and checking need clang and LLVM's OpenMP runtime (clang libomp-dev)."""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from tourlib import catalogue  # noqa: E402
from tourlib.timeline import draw, run, summary, trace  # noqa: E402

TRACES = os.path.join(HERE, "timelines")
# The recorded runs: trace name -> (program, source or None, threads, marks kept per lane
# and kind before runs of them are grouped, which keeps a 10000-line run's trace small).
RUNS = {
    "fill_pairs_tagged": ("fill_pairs_tagged", None, 3, None),
    "shared_accumulator": ("shared_accumulator", None, None, None),
    "subtotal_atomic": ("subtotal_atomic", None, None, None),
    "fill_then_square": ("fill_then_square", None, 2, 40),
    "handed_out": ("fill_pairs_tagged", "exercises/handed_out.cpp", 3, None),
}


def same_length(*tls):
    """Team windows of equal length, so that the panels share one time scale."""
    windows = [draw.from_team(tl) for tl in tls]
    length = max(b - a for a, b in windows)
    return [(a, a + length) for a, _ in windows]


def around_join(tl):
    """The first region's join and what follows it, with as much time before."""
    regions = summary.regions(tl)
    join = regions[0].end
    after = max(tl.end - join, 20_000)
    return join - after, join + after


def figures(tls):
    """{file name: (heading, panels)} for the guide, drawn from the stored traces."""
    fpt, sa, st = tls["fill_pairs_tagged"], tls["shared_accumulator"], tls["subtotal_atomic"]
    fts, ho = tls["fill_then_square"], tls["handed_out"]
    w_sa, w_st = same_length(sa, st)
    return {
        "timeline_static_blocks.svg": (
            "fill_pairs_tagged with 3 threads: one block of the loop per thread",
            [("the whole run: the team forms, each thread runs its block, the join",
              fpt), ("from the moment the team formed", fpt, draw.from_team(fpt))]),
        "timeline_contention.svg": (
            "an atomic add per term against one merge per thread (4 threads, one time scale)",
            [("shared_accumulator: 100 atomic updates of one shared suma", sa, w_sa),
             ("subtotal_atomic: private subtotals, one atomic update per thread", st, w_st)]),
        "timeline_join.svg": (
            "fill_then_square with 2 threads: the join between the two regions",
            [("the whole run: the 10000-iteration fill, then one product per thread", fts),
             ("around the first join: the second region forks only after every thread "
              "finished the first", fts, around_join(fts))]),
        "timeline_exercise.svg": (
            "exercise handed_out beside its fix, fill_pairs_tagged (3 threads each)",
            [("handed_out: schedule(dynamic): each iteration goes to whichever thread asks",
              ho, draw.from_team(ho)),
             ("fill_pairs_tagged: schedule(static): one block per thread, fixed in advance",
              fpt, draw.from_team(fpt))]),
    }


def fail(message):
    sys.exit(f"timeline_figures: {message}")


def write_whole(path, text):
    try:
        run.write_whole(path, text)
    except run.TimelineError as e:
        fail(str(e))


def stored():
    tls = {}
    for name in RUNS:
        path = os.path.join(TRACES, name + ".trace.json")
        try:
            with open(path, encoding="utf-8") as f:
                tls[name] = trace.loads(f.read())
        except OSError as e:
            fail(f"cannot read {os.path.relpath(path, ROOT)}: {e.strerror}")
        except trace.TraceError as e:
            fail(f"{os.path.relpath(path, ROOT)}: {e}")
    return tls


def drawn(tls):
    return {file: draw.svg(panels, heading, "drawn from docs/timelines/*.trace.json")
            for file, (heading, panels) in figures(tls).items()}


def recorded(name):
    program, source, threads, _ = RUNS[name]
    try:
        tl, _ = run.recording(program, source and os.path.join(ROOT, source), threads)
    except run.TimelineError as e:
        fail(f"{name}: {e}")
    tl.program = program if source is None else f"{os.path.basename(source)[:-4]} as {program}"
    return tl


def check():
    tls = stored()
    differ = []
    for file, text in drawn(tls).items():
        path = os.path.join(HERE, file)
        try:
            with open(path, encoding="utf-8") as f:
                if f.read() != text:
                    differ.append(file)
        except OSError:
            differ.append(file)
    if differ:
        fail(f"{', '.join(differ)} no longer drawn from the stored traces; "
             "run python3 docs/timeline_figures.py --draw")
    for name in RUNS:
        print(f"recording {name} to compare its shape", flush=True)
        then, now = summary.shape(tls[name]), summary.shape(recorded(name))
        if then != now:
            keys = [k for k in then if then[k] != now.get(k)]
            fail(f"docs/timelines/{name}.trace.json no longer has the shape of a run today "
                 f"({', '.join(keys)} differ); run python3 docs/timeline_figures.py")
    print("the timeline figures match their traces, and the traces the programs")


def overhead(repeats=40):
    """Wall time of each recorded program run with and without the recorder writing (one
    binary: without SUITE_TIMELINE_OUT the tool does not start), alternating: the fastest
    run of each (the least disturbed by anything else on the machine) and the median."""
    rows = []
    for name in ("fill_pairs_tagged", "shared_accumulator", "fill_then_square"):
        _, _, threads, _ = RUNS[name]
        recorded(name)  # builds it into the timeline tree
        binary = catalogue.read_manifest(run.tree())[0]["path"]
        env = catalogue.clean_environment({"OMP_NUM_THREADS": str(threads)} if threads else {})
        out = os.path.join(run.tree(), "overhead.recording")
        times = {"untraced": [], "traced": []}
        for _ in range(repeats):
            for mode in times:
                e = dict(env, SUITE_TIMELINE_OUT=out) if mode == "traced" else env
                start = time.perf_counter()
                subprocess.run([binary], env=e, stdout=subprocess.DEVNULL, check=True)
                times[mode].append(time.perf_counter() - start)
        os.remove(out)
        (a, am), (b, bm) = ((min(times[m]) * 1000, statistics.median(times[m]) * 1000)
                            for m in ("untraced", "traced"))
        rows.append((name, threads, a, b))
        print(f"{name:20} threads={threads or 'default':7} fastest: untraced {a:6.2f} ms, "
              f"traced {b:6.2f} ms (+{b - a:.2f} ms); median: {am:6.2f} ms, {bm:6.2f} ms",
              flush=True)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--draw", action="store_true", help="redraw from the stored traces")
    mode.add_argument("--check", action="store_true", help="compare figures and traces")
    mode.add_argument("--overhead", action="store_true", help="time traced against untraced")
    args = parser.parse_args()
    if args.check:
        return check()
    if args.overhead:
        return overhead()
    if not args.draw:
        os.makedirs(TRACES, exist_ok=True)
        for name, (_, _, _, group) in RUNS.items():
            print(f"recording {name}", flush=True)
            tl = recorded(name)
            write_whole(os.path.join(TRACES, name + ".trace.json"),
                        trace.dumps(trace.to_trace(tl, group)))
    for file, text in drawn(stored()).items():
        write_whole(os.path.join(HERE, file), text)
        print(f"wrote docs/{file}")


if __name__ == "__main__":
    main()
