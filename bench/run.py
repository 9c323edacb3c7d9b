#!/usr/bin/env python3
"""Measures what the OpenMP constructs cost, on GCC's runtime and on LLVM's, against the
hardware's floor, and how long each program takes.

    python3 bench/run.py                       # build if needed, measure, write bench/results/
    python3 bench/run.py --quick --out /tmp/r  # a short run, written elsewhere
    python3 bench/run.py --threads 1,2         # only these team sizes
    python3 bench/run.py --runtimes libgomp    # only GCC's runtime

Overhead of a construct = the construct with a fixed delay inside, minus its reference
(run by one thread), per execution; the interval is that overhead +- 1.96 x (sd of the
test + sd of the reference) over the timed repetitions. Teams no larger than the
processors run with their threads bound to the cores (OMP_PROC_BIND=close,
OMP_PLACES=cores), each figure measured by PROCESSES separate processes, each for a
PROCESSES-th of the time, in rounds over all the constructs: the figure is their middle
mean (less the lowest and the highest fifth), its interval runs from the lowest to the
highest of them. Larger teams are oversubscribed and marked so. A figure is marked
busy (untrustworthy) when other processes took more than BUSY_SHARE of the processors
while it was measured, or when just before it more than BUSY_LOAD threads of other
processes per processor were waiting to run. The floor is one cache line's round trip between two cores (bench/round_trip).

Writes into the output folder: overhead.csv (runtime,construct,threads,overhead_us,
low_us,high_us,round_trips,others_share,trusted,oversubscribed), overhead.md (the same
as tables), overhead.svg (its plot), waiting.csv and waiting.md (the parallel region
under each wait policy, on an idle machine and on one whose processors other processes
keep busy; constructs parallel_POLICY_MACHINE, GCC's runtime), processes.md
(whole-program times) and machine.txt (where and when it was measured). Every file is
written whole at the end: an interrupted run leaves the folder as it was (or absent, if
the run created it).
"""
import argparse
from contextlib import nullcontext
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

from programs import (BUILD, HERE, Interrupted, Scratch, binary, build,  # noqa: E402
                      constructs, interrupt, overhead_lines, progress, runtime_text, write_all)
from tourlib.catalogue import clean_environment, read_manifest  # noqa: E402
from tourlib.term import Failure  # noqa: E402
from figures import (BOUND, BUSY_LOAD, BUSY_SHARE, PROCESSES, RUNTIMES, Z,  # noqa: E402
                     combined, interval, others_share, runnable_others, team_groups,
                     with_round_trips, with_trust)
from report import (overhead_csv, overhead_table, plot, waiting_rows,  # noqa: E402
                    waiting_table)
from machine import (Watch, machine, own_seconds, process_seconds,  # noqa: E402
                     processor_seconds)

RESULTS = os.path.join(HERE, "results")
TEAMS = (1, 2, 4, 8, 16, 64, 256)
# (repetitions, microseconds per repetition of a test, runs of each whole program)
FULL = (20, 10000, 21)
QUICK = (8, 1000, 5)


def fail(message):
    sys.exit(f"run.py: {message}")


def team_list(text):
    try:
        teams = [int(t) for t in text.split(",")]
    except ValueError:
        teams = []
    if not teams or any(t < 1 or t > 4096 for t in teams) or len(set(teams)) != len(teams):
        raise argparse.ArgumentTypeError(
            f"takes distinct team sizes from 1 to 4096 separated by commas, not '{text}'")
    return sorted(teams)


def runtime_list(text):
    runtimes = text.split(",")
    if not runtimes or any(r not in RUNTIMES for r in runtimes) or len(set(runtimes)) != len(runtimes):
        raise argparse.ArgumentTypeError(
            f"takes distinct runtimes among {', '.join(RUNTIMES)} separated by commas, not '{text}'")
    return [r for r in RUNTIMES if r in runtimes]


def parse_args():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--out", metavar="DIR", default=RESULTS,
                        help="folder for the results (default bench/results/)")
    parser.add_argument("--threads", metavar="LIST", type=team_list, default=list(TEAMS),
                        help="team sizes, e.g. 1,2,4 (default " + ",".join(map(str, TEAMS)) + ")")
    parser.add_argument("--runtimes", metavar="LIST", type=runtime_list, default=list(RUNTIMES),
                        help="OpenMP runtimes, e.g. libgomp (default libgomp,libomp: GCC's "
                        "build in build/default and clang's in build/clang)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer and shorter repetitions: under a minute, for a smoke check")
    # One line for a wrong argument, as for every other error.
    parser.error = lambda message: fail(f"{message} (see python3 bench/run.py --help)")
    return parser.parse_args()


def measure_overheads(scratch, runtimes, names, teams, reps, target_us, record):
    """Every construct under every runtime for every team size. The teams that fit the
    processors are measured by PROCESSES processes each, in rounds over all the
    constructs: the host's state drifts over seconds, and a figure whose processes are
    spread over the whole run does not hang on one moment of it. Larger teams take one
    process each."""
    cpus = os.cpu_count() or 1
    found = {}  # (runtime, construct, team) -> [(overhead, low, high, share, load, seconds)]
    for group, extra in team_groups(teams, cpus):
        processes = PROCESSES if extra == BOUND else 1
        for round_ in range(processes):
            started = time.monotonic()
            progress(f"[threads {','.join(map(str, group))}"
                     + (f", round {round_ + 1} of {processes}]" if processes > 1 else "]"))
            measured = []  # (key, interval, the Watch that saw it)
            # A round of short processes is watched whole: the processor time others took
            # is counted in ticks, too coarse for a tenth of a second.
            with Watch() as round_watch:
                for k, construct in enumerate(names, 1):
                    for runtime in runtimes:
                        # The first run calibrates the delay; every later run gets the same
                        # length.
                        args = ["--threads", ",".join(map(str, group)), "--reps", str(reps),
                                "--target-us", f"{target_us / processes:g}", construct]
                        if "delay" in record:
                            args[:0] = ["--delay-length", record["delay"]]
                        with (Watch() if processes == 1 else nullcontext(round_watch)) as watch:
                            items = list(overhead_lines(scratch, [binary(runtime, "overhead")]
                                                        + args, clean_environment(extra)))
                        for item in items:
                            if item[0] == "#":
                                record.setdefault(item[1], item[2].split("\t")[0])
                                record.setdefault(item[1] + "_text", item[2].replace("\t", " "))
                                record.setdefault(f"{item[1]}_{runtime}", item[2].split("\t")[0])
                            else:
                                measured.append(((runtime, construct, item[1]),
                                                 interval(*item[3:]), watch))
                    progress(f" {k}" if k % 3 == 0 or k == len(names) else "")
            for key, figure, watch in measured:
                found.setdefault(key, []).append(figure + (watch.share, watch.load, watch.seconds))
            progress(f"  ({time.monotonic() - started:.1f} s)", end="\n")
    rows = []
    for construct in names:
        for runtime in runtimes:
            for team in teams:
                runs = found[(runtime, construct, team)]
                overhead, low, high = combined([r[:3] for r in runs])
                seconds = sum(r[5] for r in runs) or 1.0
                rows.append({"runtime": runtime, "construct": construct, "threads": team,
                             "overhead_us": overhead, "low_us": low, "high_us": high,
                             # others' share over the figure's processes, by their time
                             "others_share": sum(r[3] * r[5] for r in runs) / seconds,
                             "load": max(r[4] for r in runs),
                             "oversubscribed": team > cpus})
    return rows


def in_processes(scratch, command, env):
    """{team: (overhead, low, high)}: a program of bench/ run PROCESSES times (each for a
    PROCESSES-th of the time: `command` takes that target), its figures combined."""
    found = {}
    for _ in range(PROCESSES):
        for item in overhead_lines(scratch, command, env):
            if item[0] != "#":
                found.setdefault(item[1], []).append(interval(*item[3:]))
    return {team: combined(intervals) for team, intervals in found.items()}


def measure_floor(scratch, reps, target_us):
    """The cache line's round trip between two processors, as a row of its own: like a
    figure of two threads, the middle mean of PROCESSES processes."""
    progress("[floor] a cache line's round trip between two processors:")
    with Watch() as watch:
        overhead, low, high = in_processes(
            scratch, [binary("libgomp", "round_trip"), "--reps", str(reps), "--target-us",
                      f"{target_us / PROCESSES:g}"], clean_environment())[2]
    progress(f" {overhead * 1000:.0f} ns", end="\n")
    return {"runtime": "hardware", "construct": "round_trip", "threads": 2,
            "overhead_us": overhead, "low_us": low, "high_us": high,
            "others_share": watch.share, "load": watch.load, "oversubscribed": False}


def busy_loops(scratch, count, seconds):
    """`count` processes that keep a processor busy; each ends by itself after `seconds`
    or as soon as this script is gone, even if it is killed before it can end them."""
    code = ("import os, time\n"
            f"parent, end = {os.getpid()}, time.monotonic() + {seconds}\n"
            "while os.getppid() == parent and time.monotonic() < end:\n"
            "    for _ in range(100000): pass\n")
    for _ in range(count):
        scratch.children.append(subprocess.Popen([sys.executable, "-c", code]))
    return scratch.children[-count:]


def measure_waiting(scratch, teams, reps, target_us, delay):
    """The parallel region under each wait policy, GCC's runtime, with the machine as it
    is and with every processor kept busy by another process of ours: what passive
    waiting costs depends on what else the machine is doing. Our busy processes do not
    count as others in the trust rule."""
    cpus = os.cpu_count() or 1
    teams = [t for t in teams if t <= cpus]
    results = {}
    if not teams:
        return teams, results
    started = time.monotonic()
    progress(f"[waiting] parallel, threads {','.join(map(str, teams))}:")
    for background in ("idle", "busy"):
        loops = busy_loops(scratch, cpus, 120) if background == "busy" else []
        for policy in ("default", "passive"):
            extra = {**BOUND, **({"OMP_WAIT_POLICY": policy} if policy == "passive" else {})}
            # Like every figure of a team that fits the processors: PROCESSES processes.
            args = ["--threads", ",".join(map(str, teams)), "--reps", str(reps),
                    "--target-us", f"{target_us / PROCESSES:g}", "--delay-length", delay,
                    "parallel"]
            before = sum(process_seconds(loop.pid) for loop in loops)
            with Watch(len(loops)) as watch:
                found = in_processes(scratch, [binary("libgomp", "overhead")] + args,
                                     clean_environment(extra))
                watch.extra_own = sum(process_seconds(loop.pid) for loop in loops) - before
            for team, figure in found.items():
                results[(background, policy, team)] = figure + (watch.share, watch.load)
            progress(f" {background}/{policy}")
        for loop in loops:
            loop.kill()
            loop.wait()
    progress(f"  ({time.monotonic() - started:.1f} s)", end="\n")
    return teams, results


def time_process(path, runs, **env):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([path], env=clean_environment(env), check=True, stdout=subprocess.DEVNULL)
        samples.append((time.perf_counter() - start) * 1000)
    return samples


def process_table(runs):
    """Every program timed over repeated runs, against an empty program that only loads
    the runtime; also with OMP_WAIT_POLICY=passive, where idle threads sleep at once
    instead of spinning first."""
    programs = [("(empty, runtime loaded)", "", binary("libgomp", "empty_openmp"))]
    programs += [(p["name"], p["folder"], p["path"]) for p in read_manifest(BUILD)]
    started = time.monotonic()
    progress(f"[programs] {len(programs)} programs, {runs} runs each, both wait policies:")
    lines = ["| Program | Folder | Median (ms) | Spread, min–max (ms) | Above the floor (ms) "
             "| Median, passive waiting (ms) |", "|---|---|---:|---:|---:|---:|"]
    floor = None
    for k, (name, folder, path) in enumerate(programs):
        samples = time_process(path, runs)
        passive = time_process(path, runs, OMP_WAIT_POLICY="passive")
        med = statistics.median(samples)
        floor = med if floor is None else floor
        lines.append(f"| `{name}` | {folder} | {med:.2f} | {min(samples):.2f}–{max(samples):.2f} | "
                     f"{med - floor:+.2f} | {statistics.median(passive):.2f} |")
        if k % 4 == 0:
            progress(f" {k + 1}")
    progress(f"  ({time.monotonic() - started:.1f} s)", end="\n")
    return "\n".join(lines) + "\n"


def main():
    args = parse_args()
    out_dir = os.path.abspath(args.out)
    reps, target_us, runs = QUICK if args.quick else FULL
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        fail(f"--out {args.out} is not a folder")
    created = not os.path.exists(out_dir)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as e:
        fail(f"cannot create {args.out}: {e.strerror}")
    if not os.access(out_dir, os.W_OK):
        fail(f"cannot write into {args.out}")

    scratch = Scratch()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupt)
    try:
        started = time.monotonic()
        load_before = os.getloadavg()
        busy_before, own_before = processor_seconds(), own_seconds()
        runnable = runnable_others()
        if runnable > BUSY_LOAD * (os.cpu_count() or 1):
            print(f"note: {runnable:.1f} threads of other processes are waiting to run: the "
                  "figures measured while the machine is this busy will be marked BUSY",
                  file=sys.stderr)
        cpus = os.cpu_count() or 1
        build(scratch, args.runtimes)
        described = constructs("libgomp")
        record = {}
        floor = measure_floor(scratch, reps, target_us) if cpus >= 2 else None
        rows = measure_overheads(scratch, args.runtimes, [name for name, _ in described],
                                 args.threads, reps, target_us, record)
        rows = with_trust(with_round_trips(rows, floor), cpus)
        wait_teams, waiting = measure_waiting(scratch, args.threads, reps, target_us,
                                              record["delay"])
        wait_rows = with_trust(waiting_rows(wait_teams, waiting), cpus)
        processes = process_table(runs)
        load_after = os.getloadavg()
        seconds = time.monotonic() - started
        # The load average lags by minutes; the processor time others took is exact.
        others = others_share(processor_seconds() - busy_before, own_seconds() - own_before,
                              seconds, cpus)
        if floor is not None:
            floor = with_trust([floor], cpus)[0]
        settings = (f"{reps} repetitions, each about {target_us} µs of the test and the same "
                    f"number of executions of the reference; delay "
                    f"{record.get('delay_text', '?').replace('us', 'µs')} when calibrated by "
                    f"GCC's build, the same length for both; teams of up to {cpus} threads bound "
                    f"to the cores ({' '.join(f'{k}={v}' for k, v in BOUND.items())}), each "
                    f"figure the mean of {PROCESSES} processes (each with a {PROCESSES}th of "
                    f"the time, in rounds) less the lowest and the highest, its interval the "
                    f"lowest to the highest of them; larger teams: "
                    f"interval = overhead ± {Z} × (sd test + sd reference)"
                    + (" (--quick)" if args.quick else ""))
        write_all(scratch, out_dir, {
            "overhead.csv": overhead_csv(rows + ([floor] if floor else [])),
            "overhead.md": overhead_table(rows, args.threads, described, floor),
            "overhead.svg": plot(rows, args.threads, floor),
            "waiting.csv": overhead_csv(wait_rows),
            "waiting.md": waiting_table(wait_teams, wait_rows),
            "processes.md": processes,
            "machine.txt": machine(record, args.runtimes,
                                   {rt: runtime_text(rt) for rt in args.runtimes},
                                   args.threads, settings, load_before,
                                   load_after, others, runnable, seconds, floor),
        })
    except Interrupted as stop:
        # Ctrl-C or a signal: no file was renamed, so the folder is as it was.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        scratch.close()
        if created:
            shutil.rmtree(out_dir, ignore_errors=True)
        print(f"\nrun.py: stopped by {signal.Signals(stop.args[0]).name}; {args.out} is as it was",
              file=sys.stderr)
        sys.exit(128 + stop.args[0])
    finally:
        scratch.close()
    print(f"wrote {args.out} in {seconds:.0f} s (load average {load_before[0]:.2f} before, "
          f"{load_after[0]:.2f} after; other processes took {others:.1%} of the processors)")
    busy = sum(not r["trusted"] for r in rows + wait_rows)
    if busy:
        print(f"note: {busy} figures are marked BUSY (others took more than {BUSY_SHARE:.0%} of "
              "the processors while they were measured, or the load was high): do not quote them",
              file=sys.stderr)


if __name__ == "__main__":
    try:
        main()
    except Failure as e:
        fail(e.message)
