#!/usr/bin/env python3
"""Measures what the constructs cost and how long each program takes, from scratch:

    python3 bench/run.py            # configure and build if needed, then measure

Writes bench/results/: overhead.csv (overhead per construct execution against team
size), overhead.svg (its plot), processes.md (whole-process times of every program
against an empty OpenMP program) and machine.txt (where it was measured).
"""
import csv
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "default")
RESULTS = os.path.join(HERE, "results")
REPETITIONS = 5
PROCESS_RUNS = 21

# Overhead = construct - reference, both per construct execution.
CONSTRUCTS = [
    ("parallel region", "parallel_region", "reference_delay"),
    ("parallel for, 100 iterations", "parallel_for_static<100>", "reference_share<100>"),
    ("parallel for, 10000 iterations", "parallel_for_static<10000>", "reference_share<10000>"),
    ("atomic add per term (vs private + one merge)", "atomic_per_term", "private_then_merge"),
    ("a line from every thread (minus all from thread 0)", "lines_from_every_thread",
     "lines_from_one_thread"),
]


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OMP_", "GOMP_", "KMP_"))}
    env.update(extra)
    return env


def build():
    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "default"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    if not os.path.exists(os.path.join(BUILD, "bench", "overhead")):
        sys.exit("bench/overhead was not built: install Google Benchmark (apt-get install libbenchmark-dev)")


def run_benchmark(env, filter_regex="."):
    """{(name, team): [real time in ns per repetition]}"""
    out = subprocess.run(
        [os.path.join(BUILD, "bench", "overhead"), "--benchmark_format=json",
         f"--benchmark_repetitions={REPETITIONS}", "--benchmark_min_time=0.1",
         f"--benchmark_filter={filter_regex}"],
        env=env, check=True, capture_output=True, text=True).stdout
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name, team = b["run_name"].split("/")[:2]
        assert b["time_unit"] == "ns"
        times.setdefault((name, int(team)), []).append(b["real_time"])
    return times


def overheads(times, label_suffix=""):
    rows = []
    for label, construct, reference in CONSTRUCTS:
        for (name, team), samples in sorted(times.items(), key=lambda kv: kv[0][1]):
            if name != construct or (reference, team) not in times:
                continue
            ref = statistics.median(times[(reference, team)])
            rows.append({
                "construct": label + label_suffix, "team": team,
                "median_ns": round(statistics.median(samples), 1),
                "min_ns": round(min(samples), 1), "max_ns": round(max(samples), 1),
                "reference_ns": round(ref, 1),
                "overhead_ns": round(statistics.median(samples) - ref, 1),
            })
    return rows


def panel(title, series, left, width):
    """One log-log panel: {label: [(team, microseconds)]} at x offset `left`."""
    values = [v for points in series.values() for _, v in points]
    teams = sorted({t for points in series.values() for t, _ in points})
    lo = 10 ** math.floor(math.log10(min(values)))
    hi = 10 ** math.ceil(math.log10(max(values)))
    top, h = 50, 300
    x = lambda t: left + width * math.log(t) / math.log(teams[-1])
    y = lambda v: top + h - h * (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))
    colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b"]
    out = [f'<text x="{left}" y="{top - 14}" font-size="14" font-weight="bold">{title}</text>']
    decade = lo
    while decade <= hi * 1.001:
        out.append(f'<line x1="{left}" x2="{left + width}" y1="{y(decade):.1f}" y2="{y(decade):.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{left - 6}" y="{y(decade) + 4:.1f}" text-anchor="end">{decade:g}</text>')
        decade *= 10
    for t in teams:
        out.append(f'<line x1="{x(t):.1f}" x2="{x(t):.1f}" y1="{top}" y2="{top + h}" stroke="#eee"/>')
        out.append(f'<text x="{x(t):.1f}" y="{top + h + 16}" text-anchor="middle">{t}</text>')
    out.append(f'<text x="{left + width / 2}" y="{top + h + 34}" text-anchor="middle">threads in the '
               'team (beyond 2 on this 2-core machine: oversubscribed)</text>')
    for k, (label, points) in enumerate(series.items()):
        c = colours[k % len(colours)]
        out.append(f'<polyline points="{" ".join(f"{x(t):.1f},{y(v):.1f}" for t, v in points)}" '
                   f'fill="none" stroke="{c}" stroke-width="2"/>')
        out += [f'<circle cx="{x(t):.1f}" cy="{y(v):.1f}" r="3" fill="{c}"/>' for t, v in points]
        ly = top + h + 58 + k * 18
        out.append(f'<line x1="{left}" x2="{left + 20}" y1="{ly}" y2="{ly}" stroke="{c}" stroke-width="2"/>')
        out.append(f'<text x="{left + 26}" y="{ly + 4}">{label}</text>')
    return out


def plot(rows, writers, path):
    """Left: overhead per construct execution. Right: the two ways of writing a team's
    lines, as plain times (their difference changes sign, which a log scale cannot show)."""
    overhead = {}
    for r in rows:
        if r["overhead_ns"] > 0 and "line" not in r["construct"]:
            overhead.setdefault(r["construct"], []).append((r["team"], r["overhead_ns"] / 1000))
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="1000" height="500" '
           'font-family="sans-serif" font-size="12">', '<rect width="1000" height="500" fill="white"/>']
    out += panel("Overhead per execution (µs)", overhead, 60, 420)
    out += panel("Writing one line per thread (µs per team)", writers, 560, 400)
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def time_process(path, runs, **env):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([path], env=clean_env(**env), check=True, stdout=subprocess.DEVNULL)
        samples.append((time.perf_counter() - start) * 1000)
    return samples


def process_table():
    """Every program timed over repeated runs, against an empty program that only loads
    the runtime; also with OMP_WAIT_POLICY=passive, where idle threads sleep at once
    instead of spinning first."""
    programs = [("(empty, runtime loaded)", "", os.path.join(BUILD, "bench", "empty_openmp"))]
    with open(os.path.join(BUILD, "programs.tsv")) as f:
        programs += [tuple(line.split("\t")[:3]) for line in f]
    lines = ["| Program | Folder | Median (ms) | Spread, min–max (ms) | Above the floor (ms) "
             "| Median, passive waiting (ms) |", "|---|---|---:|---:|---:|---:|"]
    floor = None
    for name, folder, path in programs:
        samples = time_process(path, PROCESS_RUNS)
        passive = time_process(path, PROCESS_RUNS, OMP_WAIT_POLICY="passive")
        med = statistics.median(samples)
        floor = med if floor is None else floor
        lines.append(f"| `{name}` | {folder} | {med:.2f} | {min(samples):.2f}–{max(samples):.2f} | "
                     f"{med - floor:+.2f} | {statistics.median(passive):.2f} |")
    return "\n".join(lines) + "\n"


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return (f"{model}, {os.cpu_count()} logical processors; Linux {platform.release()}; {cxx}; "
            f"libgomp; default team {os.cpu_count()} threads; measured {time.strftime('%Y-%m-%d')}\n")


def main():
    start = time.time()
    build()
    os.makedirs(RESULTS, exist_ok=True)
    times = run_benchmark(clean_env())
    rows = overheads(times)
    writers = {label: sorted((team, statistics.median(v) / 1000) for (name, team), v in times.items()
                             if name == bench)
               for label, bench in (("each thread writes its own line", "lines_from_every_thread"),
                                    ("thread 0 writes all the lines", "lines_from_one_thread"))}
    # The same region with sleeping rather than spinning waiters, to show what spinning
    # costs when the team is larger than the machine.
    passive = run_benchmark(clean_env(OMP_WAIT_POLICY="passive"), "^(parallel_region|reference_delay)/")
    rows += [r for r in overheads(passive, ", OMP_WAIT_POLICY=passive") if "region" in r["construct"]]
    with open(os.path.join(RESULTS, "overhead.csv"), "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    plot(rows, writers, os.path.join(RESULTS, "overhead.svg"))
    with open(os.path.join(RESULTS, "processes.md"), "w") as f:
        f.write(process_table())
    with open(os.path.join(RESULTS, "machine.txt"), "w") as f:
        f.write(machine())
    print(f"wrote bench/results/ in {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
