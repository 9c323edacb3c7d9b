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
OMP_PLACES=cores); larger teams are oversubscribed and marked so. A figure is marked
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
import csv
import io
import math
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from tourlib.catalogue import clean_environment, read_manifest  # noqa: E402
from tourlib.term import Failure  # noqa: E402
BUILD = os.path.join(ROOT, "build", "default")
RESULTS = os.path.join(HERE, "results")
TEAMS = (1, 2, 4, 8, 16, 64, 256)
# runtime: (configure preset and build folder, compiler's name)
RUNTIMES = {"libgomp": ("default", "GCC"), "libomp": ("clang", "Clang")}
# Threads of teams that fit the processors stay on one core each: a figure then does not
# depend on where the scheduler happened to put them.
BOUND = {"OMP_PROC_BIND": "close", "OMP_PLACES": "cores"}
# The trust rule: a figure is busy (untrustworthy) when other processes took more than
# BUSY_SHARE of the processors while it was measured, or when the load just before it
# (other runnable threads, averaged over LOAD_SAMPLES looks) was above BUSY_LOAD per
# processor. The load average is no use here: it lags by minutes and counts the
# benchmark's own oversubscribed teams.
BUSY_SHARE = 0.10
BUSY_LOAD = 0.5
LOAD_SAMPLES = 20
# (repetitions, microseconds per repetition of a test, runs of each whole program)
FULL = (20, 10000, 21)
QUICK = (8, 1000, 5)
Z = 1.96


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


class Interrupted(Exception):
    """Ctrl-C, SIGTERM or SIGHUP: the run stops, through the clean-up."""


def interrupt(signum, _frame):
    raise Interrupted(signum)


class Scratch:
    """Temporary files and child processes, all removed or ended on exit and on signals."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="bench-run.")
        self.children = []
        self.files = []

    def close(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
                child.wait()
        for path in self.files:
            if os.path.exists(path):
                os.remove(path)
        shutil.rmtree(self.dir, ignore_errors=True)


def progress(text, end=""):
    print(text, end=end, flush=True)


def binary(runtime, name):
    return os.path.join(ROOT, "build", RUNTIMES[runtime][0], "bench", name)


def build(scratch, runtimes):
    """Configures each runtime's build folder if needed and builds the benchmark there,
    and the programs in build/default (not the tests, which the measurements do not need)."""
    log = os.path.join(scratch.dir, "build.log")
    started = time.monotonic()
    progress(f"building bench/ for {', '.join(runtimes)} and the programs ...")

    def run(step):
        with open(log, "w") as f:
            if subprocess.run(step, cwd=ROOT, stdout=f, stderr=subprocess.STDOUT).returncode != 0:
                with open(log) as g:
                    sys.stderr.write("\n" + "".join(g.readlines()[-15:]))
                fail(f"'{' '.join(step)}' failed (its last lines are above)")

    for runtime in ["libgomp"] + [r for r in runtimes if r != "libgomp"]:
        preset = RUNTIMES[runtime][0]
        folder = os.path.join(ROOT, "build", preset)
        if not os.path.exists(os.path.join(folder, "build.ninja")):
            run(["cmake", "--preset", preset])
        if not os.path.exists(os.path.join(folder, "bench")):
            fail(f"build/{preset} has no bench/: configure it with SUITE_BENCHMARKS=ON")
        targets = ["overhead"]
        if runtime == "libgomp":
            targets += ["round_trip", "empty_openmp"] + [p["name"] for p in read_manifest(BUILD)]
        run(["cmake", "--build", "--preset", preset, "--target"] + targets)
    progress(f" {time.monotonic() - started:.0f} s", end="\n")


def constructs(runtime):
    """[(name, what it measures)] from the benchmark itself, the one list of them."""
    out = subprocess.run([binary(runtime, "overhead"), "--describe"], capture_output=True,
                         text=True)
    if out.returncode != 0:
        fail(f"bench/overhead --describe failed: {out.stderr.strip()}")
    return [tuple(line.split("\t", 1)) for line in out.stdout.splitlines()]


def processor_seconds():
    """Processor seconds the whole machine has spent busy since boot (the hypervisor's
    steal included)."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:9]]  # user .. steal
    return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")  # less idle, iowait


def own_seconds():
    """Processor seconds this script and its finished children have used."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def others_share(busy, own, elapsed, cpus):
    """The share of the processors that other processes took: the machine's busy
    processor time less our own, over the processor time there was."""
    if elapsed <= 0 or cpus < 1:
        return 0.0
    return min(1.0, max(0.0, busy - own) / (elapsed * cpus))


def trust(share, load, cpus):
    """(trusted, reason): a figure is busy (untrustworthy) when others took more than
    BUSY_SHARE of the processors while it was measured, or when the load just before it
    (other runnable threads) was above BUSY_LOAD per processor."""
    reasons = []
    if share > BUSY_SHARE:
        reasons.append(f"other processes took {share:.0%} of the processors")
    if load > BUSY_LOAD * cpus:
        reasons.append(f"{load:.2f} other threads waiting to run just before")
    return not reasons, "; ".join(reasons)


def runnable_others(ours=0, samples=LOAD_SAMPLES, gap=0.005):
    """Threads of other processes ready to run, averaged over a few looks at
    /proc/loadavg (its fourth field counts the runnable ones, this script among them;
    `ours` more of them are our own)."""
    total = 0
    for k in range(samples):
        with open("/proc/loadavg") as f:
            total += max(0, int(f.read().split()[3].split("/")[0]) - 1 - ours)
        if k + 1 < samples:
            time.sleep(gap)
    return total / samples


class Watch:
    """Measures the load just before a block and the share of the processors other
    processes take while it runs; `ours` runnable processes of our own (the busy loops)
    do not count as load, and `extra_own` adds their processor seconds, which no wait
    inside the block collects."""

    def __init__(self, ours=0):
        self.ours = ours

    def __enter__(self):
        self.load = runnable_others(self.ours)
        self.start = (time.monotonic(), processor_seconds(), own_seconds())
        self.extra_own = 0.0
        return self

    def __exit__(self, *_):
        now = (time.monotonic(), processor_seconds(), own_seconds())
        self.share = others_share(now[1] - self.start[1],
                                  now[2] - self.start[2] + self.extra_own,
                                  now[0] - self.start[0], os.cpu_count() or 1)


def overhead_lines(scratch, command, env):
    """Runs a program of bench/; yields ('#', key, value) for its header lines and
    (construct, team, innerreps, test mean, test sd, reference mean, reference sd)."""
    child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    scratch.children.append(child)
    for line in child.stdout:
        fields = line.rstrip("\n").split("\t")
        if line.startswith("#"):
            yield ("#", fields[0][1:].strip(), "\t".join(fields[1:]))
        else:
            yield (fields[0], int(fields[1]), int(fields[2])) + tuple(float(v) for v in fields[3:7])
    error = child.stderr.read().strip()
    if child.wait() != 0:
        name = os.path.basename(command[0])
        fail(error.splitlines()[-1] if error else f"bench/{name} {' '.join(command[1:])} failed")


def interval(test_mean, test_sd, ref_mean, ref_sd):
    overhead = test_mean - ref_mean
    half = Z * (test_sd + ref_sd)
    return overhead, overhead - half, overhead + half


def team_groups(teams, cpus):
    """The teams split into those that fit the processors (run bound to the cores) and
    the oversubscribed ones (run unbound), each group only if it is not empty."""
    fit = [t for t in teams if t <= cpus]
    over = [t for t in teams if t > cpus]
    return [(group, env) for group, env in ((fit, BOUND), (over, {})) if group]


def measure_overheads(scratch, runtimes, names, teams, reps, target_us, record):
    rows = []
    cpus = os.cpu_count() or 1
    for k, construct in enumerate(names, 1):
        started = time.monotonic()
        progress(f"[{k:2}/{len(names)}] {construct:<19}")
        for runtime in runtimes:
            progress(f" {runtime}:")
            for group, extra in team_groups(teams, cpus):
                # The first run calibrates the delay; every later run gets the same length.
                args = ["--threads", ",".join(map(str, group)), "--reps", str(reps),
                        "--target-us", str(target_us), construct]
                if "delay" in record:
                    args[:0] = ["--delay-length", record["delay"]]
                with Watch() as watch:
                    found = []
                    for item in overhead_lines(scratch, [binary(runtime, "overhead")] + args,
                                               clean_environment(extra)):
                        if item[0] == "#":
                            record.setdefault(item[1], item[2].split("\t")[0])
                            record.setdefault(item[1] + "_text", item[2].replace("\t", " "))
                            record.setdefault(f"{item[1]}_{runtime}", item[2].split("\t")[0])
                            continue
                        found.append(item)
                        progress(f" {item[1]}")
                for _, team, _, *times in found:
                    overhead, low, high = interval(*times)
                    rows.append({"runtime": runtime, "construct": construct, "threads": team,
                                 "overhead_us": overhead, "low_us": low, "high_us": high,
                                 "others_share": watch.share, "load": watch.load,
                                 "oversubscribed": team > cpus})
        progress(f"  ({time.monotonic() - started:.1f} s)", end="\n")
    return rows


def measure_floor(scratch, reps, target_us):
    """The cache line's round trip between two processors, as a row of its own."""
    progress("[floor] a cache line's round trip between two processors:")
    with Watch() as watch:
        found = [item for item in overhead_lines(
            scratch, [binary("libgomp", "round_trip"), "--reps", str(reps), "--target-us",
                      str(int(target_us))], clean_environment()) if item[0] != "#"]
    _, team, _, *times = found[0]
    overhead, low, high = interval(*times)
    progress(f" {overhead * 1000:.0f} ns", end="\n")
    return {"runtime": "hardware", "construct": "round_trip", "threads": team,
            "overhead_us": overhead, "low_us": low, "high_us": high,
            "others_share": watch.share, "load": watch.load, "oversubscribed": False}


def with_round_trips(rows, floor):
    """Each 2-thread overhead also as a number of cache-line round trips (empty for the
    other teams, for figures not told from zero, and when there is no floor)."""
    for r in rows:
        r["round_trips"] = (r["overhead_us"] / floor["overhead_us"]
                            if floor and floor["overhead_us"] > 0 and r["threads"] == 2
                            and significant(r) else None)
    return rows


def with_trust(rows, cpus):
    for r in rows:
        r["trusted"], r["busy_reason"] = trust(r["others_share"], r["load"], cpus)
    return rows


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


def process_seconds(pid):
    """Processor seconds a running process of ours has used, from /proc (0 if it is gone)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


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
            args = ["--threads", ",".join(map(str, teams)), "--reps", str(reps),
                    "--target-us", str(target_us), "--delay-length", delay, "parallel"]
            before = sum(process_seconds(loop.pid) for loop in loops)
            with Watch(len(loops)) as watch:
                found = [item for item in overhead_lines(
                    scratch, [binary("libgomp", "overhead")] + args, clean_environment(extra))
                    if item[0] != "#"]
                watch.extra_own = sum(process_seconds(loop.pid) for loop in loops) - before
            for item in found:
                results[(background, policy, item[1])] = interval(*item[3:]) + (watch.share,
                                                                                watch.load)
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


def significant(row):
    return row["low_us"] > 0 or row["high_us"] < 0


def shown(overhead, low, high, unit=1.0):
    """An overhead with its interval; when the interval includes zero, 'n.s.' and the
    interval alone, which bounds the overhead but gives no value to read."""
    digits = lambda v: f"{v * unit:.3g}" if abs(v * unit) < 1000 else f"{v * unit:.0f}"
    if low <= 0 <= high:
        return f"n.s. ({digits(low)} to {digits(high)})"
    return f"{digits(overhead)} ({digits(low)} to {digits(high)})"


def cell(row, unit=1.0):
    """A row's figure for a table: marked BUSY when it is not to be trusted."""
    text = shown(row["overhead_us"], row["low_us"], row["high_us"], unit)
    return text if row.get("trusted", True) else f"**BUSY** {text}"


CSV_FIELDS = ["runtime", "construct", "threads", "overhead_us", "low_us", "high_us",
              "round_trips", "others_share", "load", "trusted", "oversubscribed"]


def overhead_csv(rows):
    """One row per runtime, construct and team (CSV_FIELDS)."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=CSV_FIELDS, extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    for r in rows:
        writer.writerow({**r, **{k: f"{r[k]:.4f}" for k in ("overhead_us", "low_us", "high_us")},
                         "round_trips": "" if r.get("round_trips") is None
                         else f"{r['round_trips']:.2f}",
                         "others_share": f"{r['others_share']:.3f}", "load": f"{r['load']:.2f}",
                         "trusted": "yes" if r["trusted"] else "no",
                         "oversubscribed": "yes" if r["oversubscribed"] else "no"})
    return out.getvalue()


def trust_note(cpus):
    return (f"**BUSY**: not to be trusted: other processes took more than {BUSY_SHARE:.0%} of "
            f"the processors while the figure was measured, or just before it more than "
            f"{BUSY_LOAD * cpus:g} of their threads ({BUSY_LOAD:g} per processor) were waiting "
            f"to run. Teams of more "
            f"than {cpus} threads are oversubscribed: more threads than the {cpus} processors, "
            "so waiting for a processor dominates their figures.\n")


def overhead_table(rows, teams, described, floor):
    cpus = os.cpu_count() or 1
    by = {(r["runtime"], r["construct"], r["threads"]): r for r in rows}
    runtimes = list(dict.fromkeys(r["runtime"] for r in rows))
    show_trips = 2 in teams and floor is not None
    head = [f"{t} thr." + (" (oversubscribed)" if t > cpus else "") for t in teams]
    if show_trips:
        head.insert(teams.index(2) + 1, "2 thr., in round trips")
    out = []
    for runtime in runtimes:
        lines = [f"**{runtime}** ({RUNTIMES[runtime][1]})", "",
                 "| Construct (µs per execution; atomics: ns per update) | " + " | ".join(head)
                 + " |", "|---|" + "---:|" * len(head)]
        for construct, label in described:
            unit = 1000.0 if construct.startswith("atomic") else 1.0
            cells = []
            for t in teams:
                r = by[(runtime, construct, t)]
                cells.append(cell(r, unit))
                if t == 2 and show_trips:
                    cells.append("–" if r["round_trips"] is None else f"{r['round_trips']:.2g}")
            lines.append(f"| `{construct}`: {label} | " + " | ".join(cells) + " |")
        out.append("\n".join(lines) + "\n")
    if floor is not None:
        out.append(f"The floor, one cache line's round trip between two processors "
                   f"(bench/round_trip): {cell(floor, 1000.0)} ns.\n")
    out.append(trust_note(cpus))
    return "\n".join(out)


def waiting_rows(teams, results):
    """The waiting measurements as rows of overhead.csv's form, one construct name per
    policy and machine state: parallel_default_idle, parallel_passive_busy, ..."""
    cpus = os.cpu_count() or 1
    return [{"runtime": "libgomp", "construct": f"parallel_{policy}_{background}", "threads": t,
             "overhead_us": results[(background, policy, t)][0],
             "low_us": results[(background, policy, t)][1],
             "high_us": results[(background, policy, t)][2],
             "others_share": results[(background, policy, t)][3],
             "load": results[(background, policy, t)][4],
             "oversubscribed": t > cpus, "round_trips": None}
            for background in ("idle", "busy") for policy in ("default", "passive") for t in teams]


def waiting_table(teams, rows):
    if not teams:
        return f"Not measured: no team size asked for fits the {os.cpu_count()} processors.\n"
    by = {(r["construct"], r["threads"]): r for r in rows}
    lines = ["| Machine | Wait policy | " + " | ".join(f"{t} thr. (µs)" for t in teams) + " |",
             "|---|---|" + "---:|" * len(teams)]
    names = {"idle": "as it was", "busy": "every processor busy with another process of ours"}
    for background in ("idle", "busy"):
        for policy in ("default", "passive"):
            cells = [cell(by[(f"parallel_{policy}_{background}", t)]) for t in teams]
            lines.append(f"| {names[background]} | {policy} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n\n" + trust_note(os.cpu_count() or 1)


PLOT_PANELS = [
    ("Regions, synchronisation (µs per execution)",
     ["parallel", "for", "barrier", "reduction_clause", "reduction_by_hand"]),
    ("Loops, report lines (µs per execution)",
     ["parallel_for_100", "parallel_for_10000", "lines_every_thread"]),
    ("Atomic add, shared variable (µs per update)", ["atomic_int", "atomic_double"]),
]
COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"]
# How each runtime's series are drawn: (marker, line dash)
STROKES = {"libgomp": ("circle", ""), "libomp": ("square", ' stroke-dasharray="5,3"')}


def marker(shape, x, y, fill, colour):
    if shape == "square":
        return (f'<rect x="{x - 3.5:.1f}" y="{y - 3.5:.1f}" width="7" height="7" fill="{fill}" '
                f'stroke="{colour}" stroke-width="1.5"/>')
    return f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3.5" fill="{fill}" stroke="{colour}" stroke-width="1.5"/>'


def panel(title, series, teams, floor, left, top, width, height):
    """One log-scale panel: {(construct, runtime): {team: row}}; each point with its
    interval as a bar, hollow where the interval includes zero (not significant), crossed
    out in red where it is busy (untrustworthy); the oversubscribed teams on a grey
    ground; the cache line's round trip as a dashed line."""
    values = [v for rows in series.values() for r in rows.values()
              for v in ((r["overhead_us"], r["high_us"]) if significant(r) else (r["high_us"],))
              if v > 0]
    if floor is not None and floor["overhead_us"] > 0:
        values.append(floor["overhead_us"])
    lo = 10 ** math.floor(math.log10(min(values))) if values else 0.001
    hi = 10 ** math.ceil(math.log10(max(values))) if values else 1.0
    hi = max(hi, lo * 10)
    step = width / len(teams)
    x = lambda i: left + step * (i + 0.5)
    y = lambda v: top + height - height * (math.log10(max(v, lo)) - math.log10(lo)) / (
        math.log10(hi) - math.log10(lo))
    cpus = os.cpu_count() or 1
    out = [f'<text x="{left}" y="{top - 12}" font-size="13" font-weight="bold">{title}</text>']
    over = [i for i, t in enumerate(teams) if t > cpus]
    if over:
        ox = left + step * over[0]
        out.append(f'<rect x="{ox:.1f}" y="{top}" width="{left + width - ox:.1f}" '
                   f'height="{height}" fill="#eee"/>')
        out.append(f'<text x="{ox + 4:.1f}" y="{top + 12}" fill="#777">oversubscribed</text>')
    out.append(f'<rect x="{left}" y="{top}" width="{width}" height="{height}" fill="none" '
               'stroke="#999"/>')
    decade = lo
    while decade <= hi * 1.001:
        out.append(f'<line x1="{left}" x2="{left + width}" y1="{y(decade):.1f}" '
                   f'y2="{y(decade):.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{left - 5}" y="{y(decade) + 4:.1f}" text-anchor="end">{decade:g}</text>')
        decade *= 10
    if floor is not None and floor["overhead_us"] > 0:
        fy = y(floor["overhead_us"])
        out.append(f'<line x1="{left}" x2="{left + width}" y1="{fy:.1f}" y2="{fy:.1f}" '
                   'stroke="#000" stroke-dasharray="2,3"/>')
        out.append(f'<text x="{left + width - 4}" y="{fy - 4:.1f}" text-anchor="end">'
                   'cache-line round trip</text>')
    for i, t in enumerate(teams):
        out.append(f'<text x="{x(i):.1f}" y="{top + height + 15}" text-anchor="middle">{t}</text>')
    out.append(f'<text x="{left + width / 2}" y="{top + height + 31}" text-anchor="middle">'
               'threads in the team</text>')
    constructs = list(dict.fromkeys(c for c, _ in series))
    for k, ((construct, runtime), rows) in enumerate(series.items()):
        c = COLOURS[constructs.index(construct) % len(COLOURS)]
        shape, dash = STROKES.get(runtime, STROKES["libgomp"])
        dx = (k - (len(series) - 1) / 2) * min(5, step / (len(series) + 1))
        previous = None  # the last point drawn, joined to the next when both are significant
        for i, t in enumerate(teams):
            r = rows.get(t)
            if r is None:
                previous = None
                continue
            px = x(i) + dx
            if r["high_us"] > 0:
                out.append(f'<line x1="{px:.1f}" x2="{px:.1f}" y1="{y(max(r["low_us"], lo)):.1f}" '
                           f'y2="{y(r["high_us"]):.1f}" stroke="{c}" stroke-width="1.5"/>')
            # Not significant: no value to read, so the mark sits on the bottom edge and
            # only the bar, up to the interval's top, says how large it could be.
            mark = y(r["overhead_us"]) if significant(r) else top + height
            out.append(marker(shape, px, mark, c if significant(r) else "white", c))
            if not r.get("trusted", True):
                out.append(f'<path d="M{px - 5:.1f},{mark - 5:.1f} l10,10 m0,-10 l-10,10" '
                           'stroke="#d00" stroke-width="2"/>')
            point = (px, y(r["overhead_us"])) if significant(r) and r["overhead_us"] > 0 else None
            if point and previous:
                out.append(f'<line x1="{previous[0]:.1f}" y1="{previous[1]:.1f}" x2="{point[0]:.1f}" '
                           f'y2="{point[1]:.1f}" stroke="{c}" stroke-opacity="0.5"{dash}/>')
            previous = point
    for k, construct in enumerate(constructs):
        c = COLOURS[k % len(COLOURS)]
        ly = top + height + 52 + k * 17
        out.append(f'<rect x="{left + 4}" y="{ly - 8}" width="8" height="8" fill="{c}"/>')
        out.append(f'<text x="{left + 18}" y="{ly}">{construct}</text>')
    return out


def plot(rows, teams, floor):
    width, height = 1200, 580
    runtimes = list(dict.fromkeys(r["runtime"] for r in rows))
    legend = "; ".join(f"{'circles, solid' if STROKES[rt][0] == 'circle' else 'squares, dashed'}:"
                       f" {rt}" for rt in runtimes if rt in STROKES)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="11">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           '<text x="20" y="22" font-size="14" font-weight="bold">Overhead of each construct '
           f'against team size (log scale). {legend}</text>',
           '<text x="20" y="40" fill="#555">bars: overhead ± 1.96 × (sd of the test + sd of the '
           'reference). Hollow, on the bottom edge: not significant (the interval includes zero); '
           'its bar shows how high the interval reaches</text>',
           f'<text x="20" y="56" fill="#d00">red ×: busy, not to be trusted (others took more '
           f'than {BUSY_SHARE:.0%} of the processors, or more than {BUSY_LOAD:g} of their threads '
           'per processor were waiting to run just before)</text>']
    for k, (title, names) in enumerate(PLOT_PANELS):
        series = {(c, rt): {r["threads"]: r for r in rows
                            if r["construct"] == c and r["runtime"] == rt}
                  for c in names for rt in runtimes}
        out += panel(title, series, teams, floor, 60 + k * 390, 95, 320, 320)
    out.append("</svg>")
    return "\n".join(out) + "\n"



def first_line(command):
    try:
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        return out.strip().splitlines()[0]
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "unknown"


def runtime_text(runtime):
    """The compiler and the OpenMP library a runtime's benchmark was built with and loads."""
    compiler_path = "c++"
    with open(os.path.join(ROOT, "build", RUNTIMES[runtime][0], "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler_path = line.split("=", 1)[1].strip()
    library_text = "unknown"
    ldd = subprocess.run(["ldd", binary(runtime, "overhead")], capture_output=True,
                         text=True).stdout
    match = re.search(r"(lib(?:gomp|omp|iomp5)\.so\S*) => (\S+)", ldd)
    if match:
        library = os.path.realpath(match.group(2))
        package = first_line(["dpkg-query", "-S", library]).split(": ")[0]
        version = first_line(["dpkg-query", "-W", "-f=${Version}\n", package]) \
            if package != "unknown" else "unknown"
        library_text = f"{os.path.basename(library)} ({package} {version})"
    return (f"{runtime}: compiler {first_line([compiler_path, '--version'])} ({compiler_path}); "
            f"openmp runtime {library_text}")


def machine(record, runtimes, teams, settings, load_before, load_after, others, runnable,
            seconds, floor):
    cpuinfo = {}
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            cpuinfo.setdefault(key.strip(), value.strip())
    lscpu = {}
    if shutil.which("lscpu"):
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            key, _, value = line.partition(":")
            lscpu[key.strip()] = value.strip()
    topology = ", ".join(f"{lscpu[k]} {k.lower().replace('(s)', 's')}" for k in
                         ("Socket(s)", "Core(s) per socket", "Thread(s) per core") if k in lscpu)
    if "Hypervisor vendor" in lscpu:
        topology += f", virtual machine ({lscpu['Hypervisor vendor']})"
    cpus = os.cpu_count() or 1
    trusted, reason = trust(others, runnable, cpus)
    fmt = lambda load: ", ".join(f"{v:.2f}" for v in load)
    floor_text = (f"{floor['overhead_us'] * 1000:.1f} ns ({floor['low_us'] * 1000:.1f} to "
                  f"{floor['high_us'] * 1000:.1f})" if floor else "not measured")
    return (f"cpu: {cpuinfo.get('model name', 'unknown')}; {cpus} logical processors"
            f"{'; ' + topology if topology else ''}\n"
            f"kernel: {platform.system()} {platform.release()} {platform.machine()}\n"
            + "".join(f"{runtime_text(rt)}; __VERSION__ {record.get('compiler_' + rt, '?')}; "
                      f"_OPENMP {record.get('openmp_' + rt, '?')}\n" for rt in runtimes)
            + f"method: {settings}\n"
            f"cache-line round trip between two processors (bench/round_trip): {floor_text}\n"
            f"trust rule: a figure is BUSY when other processes took more than {BUSY_SHARE:.0%} "
            f"of the processors while it was measured, or when just before it more than "
            f"{BUSY_LOAD * cpus:g} threads of other processes were waiting to run\n"
            f"other threads waiting to run before the run: {runnable:.2f}\n"
            f"load average before (1, 5, 15 min): {fmt(load_before)}\n"
            f"load average after (1, 5, 15 min; counts this run's own threads, up to "
            f"{max(teams)} at a time): {fmt(load_after)}\n"
            f"processor time taken by other processes (and the hypervisor) during the run: "
            f"{others:.1%}\n"
            f"the run as a whole: {'quiet' if trusted else 'BUSY, ' + reason}\n"
            f"measured: {time.strftime('%Y-%m-%d %H:%M %Z')}, in {seconds:.0f} s\n")


def write_all(scratch, out_dir, files):
    """Writes every file whole under a temporary name in `out_dir`, then renames them all:
    a run stopped before the renames leaves the folder as it was (the clean-up removes
    the temporary files)."""
    staged = []
    for name, text in files.items():
        fd, tmp = tempfile.mkstemp(prefix=f".{name}.", dir=out_dir)
        scratch.files.append(tmp)
        with os.fdopen(fd, "w") as f:
            f.write(text)
        os.chmod(tmp, 0o644)
        staged.append((tmp, os.path.join(out_dir, name)))
    # No signal between the first rename and the last: the folder holds one run or the other.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM,
                                                        signal.SIGHUP})
    try:
        for tmp, final in staged:
            os.replace(tmp, final)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


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
                    f"to the cores ({' '.join(f'{k}={v}' for k, v in BOUND.items())}); "
                    f"interval = overhead ± {Z} × (sd test + sd reference)"
                    + (" (--quick)" if args.quick else ""))
        write_all(scratch, out_dir, {
            "overhead.csv": overhead_csv(rows + ([floor] if floor else [])),
            "overhead.md": overhead_table(rows, args.threads, described, floor),
            "overhead.svg": plot(rows, args.threads, floor),
            "waiting.csv": overhead_csv(wait_rows),
            "waiting.md": waiting_table(wait_teams, wait_rows),
            "processes.md": processes,
            "machine.txt": machine(record, args.runtimes, args.threads, settings, load_before,
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
