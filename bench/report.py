"""What the benchmark writes: the overheads as CSV and as tables, the waiting tables, and
the plot of both runtimes (SVG)."""
import csv
import io
import math
import os

from figures import BUSY_LOAD, BUSY_SHARE, RUNTIMES, cell, significant

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
                 "| Construct (µs per execution; shared updates: ns per update) | "
                 + " | ".join(head)
                 + " |", "|---|" + "---:|" * len(head)]
        for construct, label in described:
            unit = 1000.0 if "per update" in label else 1.0
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
    ("Shared updates (µs per update)",
     ["atomic_int", "atomic_double", "critical", "lock"]),
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
           '<text x="20" y="40" fill="#555">bars: up to 2 threads, the lowest to the highest of '
           'five processes; beyond, overhead ± 1.96 × (sd of the test + sd of the reference). '
           'Hollow, on the bottom edge: not significant; its bar shows how high it reaches</text>',
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

