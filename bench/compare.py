#!/usr/bin/env python3
"""Compares the overheads of several runs of bench/run.py: how much they move from run
to run.

    python3 bench/run.py --out /tmp/run2; python3 bench/run.py --out /tmp/run3
    python3 bench/compare.py bench/results /tmp/run2 /tmp/run3 --out bench/results/runs.md

Prints (or writes to --out, whole) a table with each run's overhead per runtime,
construct and team size (from overhead.csv and waiting.csv), and the largest over the
smallest where every run found it significant and none was marked busy.
"""
import argparse
import csv
import os
import sys
import tempfile

FIELDS = ("overhead_us", "low_us", "high_us")


def fail(message):
    sys.exit(f"compare.py: {message}")


def load(folder):
    """{(runtime, construct, team): (overhead, low, high, trusted)} from a run's
    overhead.csv and, where the run wrote one, its waiting.csv. Files of runs made before
    the runtime and trust columns existed count as libgomp's, trusted."""
    results = {}
    for name in ("overhead.csv", "waiting.csv"):
        path = os.path.join(folder, name)
        if name == "waiting.csv" and not os.path.exists(path):
            continue
        try:
            with open(path) as f:
                rows = list(csv.DictReader(f))
            results.update({(r.get("runtime", "libgomp"), r["construct"], int(r["threads"])):
                            tuple(float(r[k]) for k in FIELDS) + (r.get("trusted", "yes") == "yes",)
                            for r in rows})
        except OSError as e:
            fail(f"cannot read {path}: {e.strerror}")
        except (KeyError, ValueError):
            fail(f"{path} is not a {name} of bench/run.py")
    return results


def conditions(folder):
    try:
        with open(os.path.join(folder, "machine.txt")) as f:
            lines = {k: v.strip() for k, _, v in (line.partition(":") for line in f)}
    except OSError:
        return "?"
    first = lambda prefix: next((v.split(",")[0] for k, v in lines.items()
                                 if k.startswith(prefix)), "?")
    return (f"{first('load average before')} → {first('load average after')}, others "
            f"{first('processor time taken by other processes')}")


def table(folders, runs):
    keys = list(dict.fromkeys(key for run in runs for key in run))  # in the runs' order
    lines = ["| Runtime | Construct | Threads | "
             + " | ".join(f"run {k + 1} (µs)" for k in range(len(runs))) + " | Largest / smallest |",
             "|---|---|---:|" + "---:|" * (len(runs) + 1)]
    for runtime, construct, team in keys:
        values = [run.get((runtime, construct, team)) for run in runs]
        cells = []
        for v in values:
            if v is None:
                cells.append("–")
            elif v[1] <= 0 <= v[2]:
                cells.append("n.s.")
            else:
                cells.append(f"{v[0]:.4g}" + ("" if v[3] else " BUSY"))
        estimates = [v[0] for v in values if v is not None and not v[1] <= 0 <= v[2] and v[3]]
        ratio = (f"{max(estimates) / min(estimates):.2f}" if len(estimates) == len(runs)
                 and min(estimates) > 0 else "–")
        lines.append(f"| {runtime} | `{construct}` | {team} | " + " | ".join(cells)
                     + f" | {ratio} |")
    loads = "; ".join(f"run {k + 1} ({folder}): {conditions(folder)}"
                      for k, folder in enumerate(folders))
    return ("\n".join(lines) + "\n\nLoad average (1 min) before → after each run, and the share "
            f"of the processors other processes took during it: {loads}.\n")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("folders", nargs="+", metavar="RUN_DIR", help="output folders of run.py")
    parser.add_argument("--out", metavar="FILE", help="write the table here instead of printing it")
    parser.error = lambda message: fail(f"{message} (see python3 bench/compare.py --help)")
    args = parser.parse_args()
    if len(args.folders) < 2:
        fail("name at least two run folders")
    text = table(args.folders, [load(folder) for folder in args.folders])
    if not args.out:
        sys.stdout.write(text)
        return
    fd, tmp = tempfile.mkstemp(prefix=".runs.", dir=os.path.dirname(os.path.abspath(args.out)))
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
        os.chmod(tmp, 0o644)
        os.replace(tmp, args.out)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


if __name__ == "__main__":
    main()
