#!/usr/bin/env python3
"""Measures what the OpenMP constructs cost and how long each program takes.

    python3 bench/run.py                       # build if needed, measure, write bench/results/
    python3 bench/run.py --quick --out /tmp/r  # a run of under a minute, written elsewhere
    python3 bench/run.py --threads 1,2         # only these team sizes

Overhead of a construct = the construct with a fixed delay inside, minus the delay alone
(run by one thread), per execution; the interval is that overhead +- 1.96 x (sd of the
test + sd of the reference) over the timed repetitions. Writes into the output folder:
overhead.csv (construct,threads,overhead_us,low_us,high_us), overhead.md (the same as a
table), overhead.svg (its plot), waiting.csv and waiting.md (the parallel region under
each wait policy, on an idle machine and on one whose processors other processes keep
busy; constructs parallel_POLICY_MACHINE), processes.md (whole-program times) and
machine.txt (where and when it was measured). Every file is written whole at the end:
an interrupted run leaves the folder as it was (or absent, if the run created it).
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
BUILD = os.path.join(ROOT, "build", "default")
OVERHEAD = os.path.join(BUILD, "bench", "overhead")
RESULTS = os.path.join(HERE, "results")
TEAMS = (1, 2, 4, 8, 16, 64, 256)
CONSTRUCTS = [
    ("parallel", "open and join a parallel region"),
    ("for", "a for loop inside a region already open"),
    ("barrier", "a barrier"),
    ("parallel_for_100", "parallel for, 100 iterations of fixed work"),
    ("parallel_for_10000", "parallel for, 10000 iterations of fixed work"),
    ("atomic_int", "an atomic add to a shared int, per update"),
    ("atomic_double", "an atomic add to a shared double, per update"),
    ("reduction_clause", "a region with reduction(+:suma)"),
    ("reduction_by_hand", "the same region, private subtotal and one atomic add per thread"),
    ("lines_every_thread", "a line written by every thread, against all lines by one"),
]
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


def parse_args():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--out", metavar="DIR", default=RESULTS,
                        help="folder for the results (default bench/results/)")
    parser.add_argument("--threads", metavar="LIST", type=team_list, default=list(TEAMS),
                        help="team sizes, e.g. 1,2,4 (default " + ",".join(map(str, TEAMS)) + ")")
    parser.add_argument("--quick", action="store_true",
                        help="fewer and shorter repetitions: under a minute, for a smoke check")
    # One line for a wrong argument, as for every other error.
    parser.error = lambda message: fail(f"{message} (see python3 bench/run.py --help)")
    return parser.parse_args()


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OMP_", "GOMP_", "KMP_"))}
    env.update(extra)
    return env


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


def build(scratch):
    """Configures build/default if needed and builds the benchmark and the programs (not
    the tests, which the measurements do not need)."""
    log = os.path.join(scratch.dir, "build.log")
    started = time.monotonic()
    progress("building bench/overhead and the programs in build/default ...")

    def run(step):
        with open(log, "w") as f:
            if subprocess.run(step, cwd=ROOT, stdout=f, stderr=subprocess.STDOUT).returncode != 0:
                with open(log) as g:
                    sys.stderr.write("\n" + "".join(g.readlines()[-15:]))
                fail(f"'{' '.join(step)}' failed (its last lines are above)")

    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        run(["cmake", "--preset", "default"])
    if not os.path.exists(os.path.join(BUILD, "bench")):
        fail("build/default has no bench/: configure it with SUITE_BENCHMARKS=ON")
    with open(os.path.join(BUILD, "programs.tsv")) as f:
        programs = [line.split("\t")[0] for line in f]
    run(["cmake", "--build", "--preset", "default", "--target", "overhead", "empty_openmp"]
        + programs)
    progress(f" {time.monotonic() - started:.0f} s", end="\n")


def overhead_lines(scratch, args, env):
    """Runs bench/overhead; yields ('#', key, value) for its header lines and
    (construct, team, innerreps, test mean, test sd, reference mean, reference sd)."""
    child = subprocess.Popen([OVERHEAD] + args, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    scratch.children.append(child)
    for line in child.stdout:
        fields = line.rstrip("\n").split("\t")
        if line.startswith("#"):
            yield ("#", fields[0][1:].strip(), "\t".join(fields[1:]))
        else:
            yield (fields[0], int(fields[1]), int(fields[2])) + tuple(float(v) for v in fields[3:7])
    error = child.stderr.read().strip()
    if child.wait() != 0:
        fail(error.splitlines()[-1] if error else f"bench/overhead {' '.join(args)} failed")


def interval(test_mean, test_sd, ref_mean, ref_sd):
    overhead = test_mean - ref_mean
    half = Z * (test_sd + ref_sd)
    return overhead, overhead - half, overhead + half


def measure_overheads(scratch, teams, reps, target_us, record):
    rows = []
    for k, (construct, _) in enumerate(CONSTRUCTS, 1):
        started = time.monotonic()
        progress(f"[{k:2}/{len(CONSTRUCTS)}] {construct:<19} threads")
        # The first run calibrates the delay; every later run gets the same length.
        args = ["--threads", ",".join(map(str, teams)), "--reps", str(reps),
                "--target-us", str(target_us), construct]
        if "delay" in record:
            args[:0] = ["--delay-length", record["delay"]]
        for item in overhead_lines(scratch, args, clean_env()):
            if item[0] == "#":
                record.setdefault(item[1], item[2].split("\t")[0])
                record.setdefault(item[1] + "_text", item[2].replace("\t", " "))
                continue
            _, team, _, test_mean, test_sd, ref_mean, ref_sd = item
            overhead, low, high = interval(test_mean, test_sd, ref_mean, ref_sd)
            rows.append({"construct": construct, "threads": team, "overhead_us": overhead,
                         "low_us": low, "high_us": high})
            progress(f" {team}")
        progress(f"  ({time.monotonic() - started:.1f} s)", end="\n")
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


def measure_waiting(scratch, teams, reps, target_us, delay):
    """The parallel region under each wait policy, with the machine as it is and with
    every processor kept busy by another process: what passive waiting costs depends on
    what else the machine is doing."""
    teams = [t for t in teams if t <= (os.cpu_count() or 1)]
    results = {}
    if not teams:
        return teams, results
    started = time.monotonic()
    progress(f"[waiting] parallel, threads {','.join(map(str, teams))}:")
    for background in ("idle", "busy"):
        loops = busy_loops(scratch, os.cpu_count() or 1, 120) if background == "busy" else []
        for policy in ("default", "passive"):
            env = clean_env(OMP_WAIT_POLICY=policy) if policy == "passive" else clean_env()
            args = ["--threads", ",".join(map(str, teams)), "--reps", str(reps),
                    "--target-us", str(target_us), "--delay-length", delay, "parallel"]
            for item in overhead_lines(scratch, args, env):
                if item[0] != "#":
                    results[(background, policy, item[1])] = interval(*item[3:])
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
        subprocess.run([path], env=clean_env(**env), check=True, stdout=subprocess.DEVNULL)
        samples.append((time.perf_counter() - start) * 1000)
    return samples


def process_table(runs):
    """Every program timed over repeated runs, against an empty program that only loads
    the runtime; also with OMP_WAIT_POLICY=passive, where idle threads sleep at once
    instead of spinning first."""
    programs = [("(empty, runtime loaded)", "", os.path.join(BUILD, "bench", "empty_openmp"))]
    with open(os.path.join(BUILD, "programs.tsv")) as f:
        programs += [tuple(line.split("\t")[:3]) for line in f]
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


def overhead_csv(rows):
    """construct,threads,overhead_us,low_us,high_us: one row per construct and team."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=["construct", "threads", "overhead_us", "low_us",
                                             "high_us"], lineterminator="\n")
    writer.writeheader()
    for r in rows:
        writer.writerow({**r, **{k: f"{r[k]:.4f}" for k in ("overhead_us", "low_us", "high_us")}})
    return out.getvalue()


def overhead_table(rows, teams):
    by = {(r["construct"], r["threads"]): r for r in rows}
    lines = ["| Construct (µs per execution; atomics: ns per update) | "
             + " | ".join(f"{t} thr." for t in teams) + " |",
             "|---|" + "---:|" * len(teams)]
    for construct, label in CONSTRUCTS:
        unit = 1000.0 if construct.startswith("atomic") else 1.0
        cells = [shown(*(by[(construct, t)][k] for k in ("overhead_us", "low_us", "high_us")),
                       unit=unit) for t in teams]
        lines.append(f"| `{construct}`: {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def waiting_rows(teams, results):
    """The waiting measurements as rows of overhead.csv's form, one construct name per
    policy and machine state: parallel_default_idle, parallel_passive_busy, ..."""
    return [{"construct": f"parallel_{policy}_{background}", "threads": t,
             "overhead_us": results[(background, policy, t)][0],
             "low_us": results[(background, policy, t)][1],
             "high_us": results[(background, policy, t)][2]}
            for background in ("idle", "busy") for policy in ("default", "passive") for t in teams]


def waiting_table(teams, results):
    if not teams:
        return f"Not measured: no team size asked for fits the {os.cpu_count()} processors.\n"
    lines = ["| Machine | Wait policy | " + " | ".join(f"{t} thr. (µs)" for t in teams) + " |",
             "|---|---|" + "---:|" * len(teams)]
    names = {"idle": "as it was", "busy": "every processor busy with another process"}
    for background in ("idle", "busy"):
        for policy in ("default", "passive"):
            cells = [shown(*results[(background, policy, t)]) for t in teams]
            lines.append(f"| {names[background]} | {policy} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


PLOT_PANELS = [
    ("Regions, synchronisation (µs per execution)",
     ["parallel", "for", "barrier", "reduction_clause", "reduction_by_hand"]),
    ("Loops, report lines (µs per execution)",
     ["parallel_for_100", "parallel_for_10000", "lines_every_thread"]),
    ("Atomic add, shared variable (µs per update)", ["atomic_int", "atomic_double"]),
]
COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"]


def panel(title, series, teams, left, top, width, height):
    """One log-scale panel: {construct: {team: row}}; each point with its interval as a
    bar, hollow where the interval includes zero (not significant)."""
    values = [v for rows in series.values() for r in rows.values()
              for v in ((r["overhead_us"], r["high_us"]) if significant(r) else (r["high_us"],))
              if v > 0]
    lo = 10 ** math.floor(math.log10(min(values))) if values else 0.001
    hi = 10 ** math.ceil(math.log10(max(values))) if values else 1.0
    hi = max(hi, lo * 10)
    step = width / len(teams)
    x = lambda i: left + step * (i + 0.5)
    y = lambda v: top + height - height * (math.log10(max(v, lo)) - math.log10(lo)) / (
        math.log10(hi) - math.log10(lo))
    out = [f'<text x="{left}" y="{top - 12}" font-size="13" font-weight="bold">{title}</text>',
           f'<rect x="{left}" y="{top}" width="{width}" height="{height}" fill="none" stroke="#999"/>']
    decade = lo
    while decade <= hi * 1.001:
        out.append(f'<line x1="{left}" x2="{left + width}" y1="{y(decade):.1f}" '
                   f'y2="{y(decade):.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{left - 5}" y="{y(decade) + 4:.1f}" text-anchor="end">{decade:g}</text>')
        decade *= 10
    for i, t in enumerate(teams):
        out.append(f'<text x="{x(i):.1f}" y="{top + height + 15}" text-anchor="middle">{t}</text>')
    out.append(f'<text x="{left + width / 2}" y="{top + height + 31}" text-anchor="middle">'
               'threads in the team</text>')
    for k, (construct, rows) in enumerate(series.items()):
        c = COLOURS[k % len(COLOURS)]
        dx = (k - (len(series) - 1) / 2) * min(7, step / (len(series) + 1))
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
            fill = c if significant(r) else "white"
            out.append(f'<circle cx="{px:.1f}" cy="{mark:.1f}" r="3.5" '
                       f'fill="{fill}" stroke="{c}" stroke-width="1.5"/>')
            point = (px, y(r["overhead_us"])) if significant(r) and r["overhead_us"] > 0 else None
            if point and previous:
                out.append(f'<line x1="{previous[0]:.1f}" y1="{previous[1]:.1f}" x2="{point[0]:.1f}" '
                           f'y2="{point[1]:.1f}" stroke="{c}" stroke-opacity="0.5"/>')
            previous = point
        ly = top + height + 52 + k * 17
        out.append(f'<circle cx="{left + 8}" cy="{ly - 4}" r="3.5" fill="{c}"/>')
        out.append(f'<text x="{left + 18}" y="{ly}">{construct}</text>')
    return out


def plot(rows, teams):
    width, height = 1200, 540
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="11">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           '<text x="20" y="22" font-size="14" font-weight="bold">Overhead of each construct '
           'against team size (log scale)</text>',
           '<text x="20" y="40" fill="#555">bars: overhead ± 1.96 × (sd of the test + sd of the '
           'reference). Hollow, on the bottom edge: not significant (the interval includes zero); '
           'its bar shows how high the interval reaches</text>']
    for k, (title, constructs) in enumerate(PLOT_PANELS):
        series = {c: {r["threads"]: r for r in rows if r["construct"] == c} for c in constructs}
        out += panel(title, series, teams, 60 + k * 390, 80, 320, 320)
    out.append("</svg>")
    return "\n".join(out) + "\n"


def processor_seconds():
    """(busy, own): processor seconds the whole machine has spent busy since boot, and
    those this script and its finished children used; both in seconds."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:9]]  # user .. steal
    busy = (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")  # less idle, iowait
    t = os.times()
    return busy, t.user + t.system + t.children_user + t.children_system


def first_line(command):
    try:
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        return out.strip().splitlines()[0]
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "unknown"


def machine(record, teams, settings, load_before, load_after, others, seconds):
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
    compiler_path = "c++"
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler_path = line.split("=", 1)[1].strip()
    runtime = "unknown"
    ldd = subprocess.run(["ldd", OVERHEAD], capture_output=True, text=True).stdout
    match = re.search(r"(lib(?:gomp|omp|iomp5)\.so\S*) => (\S+)", ldd)
    if match:
        library = os.path.realpath(match.group(2))
        package = first_line(["dpkg-query", "-S", library]).split(": ")[0]
        version = first_line(["dpkg-query", "-W", "-f=${Version}\n", package]) \
            if package != "unknown" else "unknown"
        runtime = f"{os.path.basename(library)} ({package} {version})"
    fmt = lambda load: ", ".join(f"{v:.2f}" for v in load)
    return (f"cpu: {cpuinfo.get('model name', 'unknown')}; {os.cpu_count()} logical processors"
            f"{'; ' + topology if topology else ''}\n"
            f"kernel: {platform.system()} {platform.release()} {platform.machine()}\n"
            f"compiler: {first_line([compiler_path, '--version'])} ({compiler_path}; "
            f"__VERSION__ {record.get('compiler', 'unknown')})\n"
            f"openmp runtime: {runtime}; _OPENMP {record.get('openmp', 'unknown')}\n"
            f"method: {settings}\n"
            f"load average before (1, 5, 15 min): {fmt(load_before)}\n"
            f"load average after (1, 5, 15 min; counts this run's own threads, up to "
            f"{max(teams)} at a time): {fmt(load_after)}\n"
            f"processor time taken by other processes (and the hypervisor) during the run: "
            f"{others:.1%}\n"
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
        cpu_before = processor_seconds()
        if load_before[0] > 0.5:
            print(f"note: load average {load_before[0]:.2f}: the machine has been busy, so the "
                  "figures may be noisy (machine.txt will say how busy it was during the run)",
                  file=sys.stderr)
        build(scratch)
        record = {}
        rows = measure_overheads(scratch, args.threads, reps, target_us, record)
        wait_teams, waiting = measure_waiting(scratch, args.threads, reps, target_us,
                                              record["delay"])
        processes = process_table(runs)
        load_after = os.getloadavg()
        seconds = time.monotonic() - started
        # The load average lags by minutes; the processor time others took is exact.
        cpu_after = processor_seconds()
        others = max(0.0, (cpu_after[0] - cpu_before[0]) - (cpu_after[1] - cpu_before[1])) / (
            seconds * (os.cpu_count() or 1))
        settings = (f"{reps} repetitions, each about {target_us} µs of the test and the same "
                    f"number of executions of the reference; delay "
                    f"{record.get('delay_text', '?').replace('us', 'µs')} when calibrated; "
                    f"interval = overhead ± {Z} × (sd test + sd reference)"
                    + (" (--quick)" if args.quick else ""))
        write_all(scratch, out_dir, {
            "overhead.csv": overhead_csv(rows),
            "overhead.md": overhead_table(rows, args.threads),
            "overhead.svg": plot(rows, args.threads),
            "waiting.csv": overhead_csv(waiting_rows(wait_teams, waiting)),
            "waiting.md": waiting_table(wait_teams, waiting),
            "processes.md": processes,
            "machine.txt": machine(record, args.threads, settings, load_before, load_after,
                                   others, seconds),
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
    if others > 0.05:
        print("note: other processes were busy during the run; the figures may be disturbed",
              file=sys.stderr)


if __name__ == "__main__":
    main()
