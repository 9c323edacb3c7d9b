#!/usr/bin/env python3
"""Draws how schedule(static) divides 100 iterations among teams of 3, 4, 8 and 50
threads, from real runs of fill_pairs_tagged, as docs/static_partition.svg.

    python3 docs/partition_figure.py            # build if needed, run, write the SVG
    python3 docs/partition_figure.py --check    # fail if the SVG differs from the runs
"""
import argparse
import colorsys
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from tourlib import catalogue  # noqa: E402
FIGURE = os.path.join(HERE, "static_partition.svg")
TEAMS = (3, 4, 8, 50)
N = 100
LINE = re.compile(r"P\[i\] = (\d+) \t s\[i\] = (\d+) \(hilo: (\d+)\) ")


def fail(message):
    sys.exit(f"partition_figure: {message}")


def program():
    """The built fill_pairs_tagged: the test suite's, or the tour's, which the tour builds
    (and repairs after a failed configuration) if need be."""
    for build in ("build/default", "build/tour"):
        path = os.path.join(ROOT, build, "worksharing", "fill_pairs_tagged")
        if os.access(path, os.X_OK):
            return path
    tour = [sys.executable, os.path.join(ROOT, "tour"), "--threads", "1", "fill_pairs_tagged"]
    done = subprocess.run(tour, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no message"])[-1]
        fail(f"the programs could not be built: {last}")
    return os.path.join(ROOT, "build/tour/worksharing/fill_pairs_tagged")


def owners(path, team):
    """The thread that wrote each element, from one run with a team of `team`."""
    env = catalogue.clean_environment({"OMP_NUM_THREADS": str(team)})
    try:
        done = subprocess.run([path], env=env, capture_output=True, text=True)
    except OSError as e:
        fail(f"cannot run {path}: {e.strerror}")
    if done.returncode != 0:
        fail(f"fill_pairs_tagged with {team} threads exited with status {done.returncode}")
    out = done.stdout
    owner = [None] * N
    for line in out.splitlines():
        m = LINE.fullmatch(line)
        if not m:
            fail(f"unexpected line from fill_pairs_tagged: {line!r}")
        owner[int(m.group(1)) - 1] = int(m.group(3))
    if None in owner:
        fail(f"team of {team}: some element was not written")
    return owner


def colour(thread):
    # Golden-angle hues: neighbouring threads get clearly different colours.
    r, g, b = colorsys.hls_to_rgb((thread * 0.381966) % 1.0, 0.72, 0.55)
    return "#%02x%02x%02x" % (round(r * 255), round(g * 255), round(b * 255))


def svg(rows):
    cell, left, top, height, gap = 8, 110, 56, 34, 26
    width = left + N * cell + 20
    total = top + len(rows) * (height + gap) + 10
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{total}" '
           f'viewBox="0 0 {width} {total}" font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{total}" fill="white"/>',
           '<text x="10" y="22" font-size="15" font-weight="bold">schedule(static): '
           'which thread runs each of the 100 iterations</text>',
           '<text x="10" y="40" fill="#555">from runs of fill_pairs_tagged with '
           'OMP_NUM_THREADS = 3, 4, 8, 50; boxes show loop indices i (the program prints i + 1)'
           '</text>']
    for k, (team, owner) in enumerate(rows):
        y = top + k * (height + gap)
        out.append(f'<text x="10" y="{y + height / 2 + 4}" font-weight="bold">{team} threads</text>')
        start = 0
        while start < N:  # one box per run of iterations with the same owner
            end = start
            while end < N and owner[end] == owner[start]:
                end += 1
            t = owner[start]
            x, w = left + start * cell, (end - start) * cell
            out.append(f'<rect x="{x}" y="{y}" width="{w}" height="{height}" fill="{colour(t)}" '
                       f'stroke="#333" stroke-width="0.6"><title>thread {t}: i = {start}..{end - 1}'
                       f'</title></rect>')
            if w >= 40:
                out.append(f'<text x="{x + w / 2}" y="{y + 14}" text-anchor="middle">hilo {t}</text>')
                out.append(f'<text x="{x + w / 2}" y="{y + 28}" text-anchor="middle" fill="#333">'
                           f'i {start}..{end - 1}</text>')
            elif w >= 16:
                out.append(f'<text x="{x + w / 2}" y="{y + height / 2 + 4}" text-anchor="middle" '
                           f'font-size="9">{t}</text>')
            start = end
        for i in (0, 25, 50, 75, 99):
            out.append(f'<text x="{left + i * cell + cell / 2}" y="{y + height + 13}" '
                       f'text-anchor="middle" font-size="10" fill="#555">{i}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the committed figure")
    args = parser.parse_args()
    path = program()
    figure = svg([(team, owners(path, team)) for team in TEAMS])
    if args.check:
        with open(FIGURE) as f:
            if f.read() != figure:
                sys.exit(f"{FIGURE} no longer matches what fill_pairs_tagged does; "
                         "run python3 docs/partition_figure.py")
        print("static_partition.svg matches the programs")
        return
    # Written whole, then renamed: an interrupted run leaves the old figure intact.
    partial = FIGURE + ".partial"
    try:
        with open(partial, "w") as f:
            f.write(figure)
        os.replace(partial, FIGURE)
    except OSError as e:
        fail(f"cannot write {FIGURE}: {e.strerror}")
    finally:
        if os.path.exists(partial):
            os.remove(partial)
    print(f"wrote {os.path.relpath(FIGURE, ROOT)}")


if __name__ == "__main__":
    main()
