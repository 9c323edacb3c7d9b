"""Draws Timelines as one self-contained SVG: a lane per thread, a time axis, regions as
bands, loop blocks labelled with their iterations, waits hatched, writes and atomic updates
as ticks. Everything is placed from the timeline alone, with fixed rounding, so the same
trace always gives the same bytes. Long runs stay readable: ticks closer than a pixel are
drawn once, and a block too narrow for its label goes without it."""
import colorsys
from xml.sax.saxutils import escape

from . import model

WIDTH = 960
LEFT = 150          # lane labels
RIGHT = 20
LANE = 40           # lane height
GAP = 8
PLOT = WIDTH - LEFT - RIGHT
CHAR = 6.2          # width of one character at font-size 11, for fitting labels


class DrawError(Exception):
    """Nothing to draw: the timeline holds no span and no mark."""


def colour(thread):
    # The partition figure's colours: golden-angle hues, so neighbours differ clearly.
    r, g, b = colorsys.hls_to_rgb((thread * 0.381966) % 1.0, 0.72, 0.55)
    return "#%02x%02x%02x" % (round(r * 255), round(g * 255), round(b * 255))


def num(x):
    return f"{x:.1f}".rstrip("0").rstrip(".")


def nice_step(span_ns):
    """An axis step of 1, 2 or 5 times a power of ten giving at most 10 steps."""
    step = 1
    while True:
        for m in (1, 2, 5):
            if span_ns / (step * m) <= 10:
                return step * m
        step *= 10


def time_text(ns, step=None):
    """A time in the unit its size asks for; on an axis whose ticks are `step` ns apart,
    with as many decimals as the step needs, so that neighbouring ticks never read the same."""
    if ns == 0:
        return "0"
    unit, name = (1_000_000, "ms") if ns >= 1_000_000 else \
        ((1000, "µs") if ns >= 1000 else (1, "ns"))
    step = step or unit
    decimals = 0
    while decimals < 3:
        scaled = step / unit * 10 ** decimals
        if abs(scaled - round(scaled)) < 1e-9:
            break
        decimals += 1
    return f"{ns / unit:.{decimals}f} {name}"


def from_team(tl):
    """The window from the first implicit task (the team formed) to the end of the run:
    the work, without the team's start-up, which can take most of a short run."""
    first = min((s.start for s in tl.spans if s.cat == model.TASK), default=0)
    return first, tl.end


def panel(tl, top, window, title):
    """The SVG elements of one timeline drawn from y = top, showing the times in `window`
    (start, end) in ns; returns (elements, height)."""
    t0, t1 = window
    scale = PLOT / max(1, t1 - t0)
    out = [f'<text x="10" y="{top + 14}" font-size="13" font-weight="bold">{escape(title)}</text>']
    y0 = top + 24
    rows = {lane: y0 + k * (LANE + GAP) for k, lane in enumerate(tl.lanes)}
    bottom = y0 + len(tl.lanes) * (LANE + GAP) - GAP

    def x(ns):
        return LEFT + (min(max(ns, t0), t1) - t0) * scale

    def shown(start, end):
        return end >= t0 and start <= t1

    for s in tl.spans:  # regions first: bands behind every lane
        if s.cat == model.REGION and shown(s.start, s.end):
            out.append(f'<rect x="{num(x(s.start))}" y="{y0 - 4}" '
                       f'width="{num(max(1.0, x(s.end) - x(s.start)))}" '
                       f'height="{bottom - y0 + 8}" fill="#e8eefc" stroke="#8da2d8">'
                       f'<title>{escape(s.name)}: fork to join, {time_text(s.end - s.start)}'
                       f'</title></rect>')
    for lane, y in rows.items():
        marks = {cat: tl.lane_marks(lane, cat) for cat in (model.WRITE, model.ATOMIC, model.READ)}
        counts = [(sum(m.count for m in marks[model.WRITE]), "write"),
                  (sum(m.count for m in marks[model.ATOMIC]), "atomic"),
                  (len(tl.lane_spans(lane, model.LOCKED)), "lock")]
        loops = tl.lane_spans(lane, model.LOOP)
        out.append(f'<text x="10" y="{y + 16}" font-weight="bold">hilo {lane}</text>')
        chunks = sum(s.arg("chunks", 1) for s in loops)
        blocks = [f"{chunks} chunks"] if chunks > 1 else [s.name for s in loops]
        detail = ", ".join(blocks + [f"{n} {what}{'s' if n != 1 else ''}"
                                     for n, what in counts if n])
        if detail:
            out.append(f'<text x="10" y="{y + 30}" font-size="10" fill="#555">{detail}</text>')
        for s in tl.lane_spans(lane, model.TASK):
            if not shown(s.start, s.end):
                continue
            out.append(f'<rect x="{num(x(s.start))}" y="{y}" '
                       f'width="{num(max(0.5, x(s.end) - x(s.start)))}" height="{LANE}" '
                       f'fill="#fafafa" stroke="#bbb" stroke-width="0.6"><title>{escape(s.name)}'
                       f': implicit task, {time_text(s.end - s.start)}</title></rect>')
        for cat, fill, extra in ((model.LOOP, colour(lane), ""),
                                 (model.WAIT, "url(#wait)", ""),
                                 (model.LOCKED, "#f0a040", "")):
            for s in tl.lane_spans(lane, cat):
                if not shown(s.start, s.end):
                    continue
                w = max(0.5, x(s.end) - x(s.start))
                tip = f"{s.name}, {time_text(s.end - s.start)}"
                if cat == model.LOOP:
                    tip = f"{s.name}: {s.arg('iterations')} iterations, {time_text(s.end - s.start)}"
                out.append(f'<rect x="{num(x(s.start))}" y="{y + 10}" width="{num(w)}" '
                           f'height="{LANE - 20}" fill="{fill}" stroke="#333" '
                           f'stroke-width="0.5"{extra}><title>{escape(tip)}</title></rect>')
                text = s.name if cat != model.WAIT else "wait"
                if w >= len(text) * CHAR + 6:
                    out.append(f'<text x="{num(x(s.start) + w / 2)}" y="{y + LANE / 2 + 4}" '
                               f'text-anchor="middle" font-size="11">{escape(text)}</text>')
        # Ticks: writes above the blocks, atomic updates below, one per pixel column.
        for cat, y1, y2, stroke in ((model.WRITE, y + 1, y + 9, "#222"),
                                    (model.ATOMIC, y + LANE - 9, y + LANE - 1, "#c00000"),
                                    (model.READ, y + LANE - 6, y + LANE - 1, "#2060c0")):
            columns = {}
            for m in marks[cat]:
                if not shown(m.ts, m.until):
                    continue
                first, last = round(x(m.ts)), round(x(m.until))
                for c in range(first, last + 1):
                    columns[c] = columns.get(c, 0) + m.count / (last - first + 1)
            if columns:
                path = "".join(f"M{c} {y1}V{y2}" for c in sorted(columns))
                out.append(f'<path d="{path}" stroke="{stroke}" stroke-width="1"/>')
            if cat == model.ATOMIC:
                out += cluster_counts(columns, y2, stroke)
    return out, bottom - top + 8


def cluster_counts(columns, y, fill):
    """How many updates a cluster of ticks stands for (ticks at most 4 px apart), written
    beside it when more than one: 25 adds in a microsecond are one tick wide. Clusters
    whose counts would run into each other share one count."""
    clusters, cluster = [], []
    for c in sorted(columns) + [None]:
        if cluster and (c is None or c - cluster[-1] > 4):
            clusters.append(cluster)
            cluster = []
        if c is not None:
            cluster.append(c)
    merged = []
    for cluster in clusters:
        if merged:
            last = merged[-1]
            width = len(f"×{round(sum(columns[k] for k in last))}") * 5.5 + 6
            if cluster[0] - last[-1] < width:
                merged[-1] = last + cluster
                continue
        merged.append(cluster)
    out = []
    for cluster in merged:
        n = round(sum(columns[k] for k in cluster))
        if n > 1:
            # Right of the cluster, or left of it at the right edge.
            at, anchor = (cluster[-1] + 3, "start") if cluster[-1] + 30 < WIDTH - RIGHT \
                else (cluster[0] - 3, "end")
            out.append(f'<text x="{at}" y="{y}" font-size="9" text-anchor="{anchor}" '
                       f'fill="{fill}">×{n}</text>')
    return out


def axis(top, window):
    """A time axis under a panel: times since the run's first event."""
    t0, t1 = window
    scale = PLOT / max(1, t1 - t0)
    out = [f'<path d="M{LEFT} {top}H{LEFT + PLOT}" stroke="#333"/>']
    step = nice_step(t1 - t0)
    t = -(-t0 // step) * step
    while t <= t1:
        px = num(LEFT + (t - t0) * scale)
        out.append(f'<path d="M{px} {top}v5" stroke="#333"/>')
        out.append(f'<text x="{px}" y="{top + 17}" text-anchor="middle" font-size="10" '
                   f'fill="#555">{time_text(t, step)}</text>')
        t += step
    return out, 30


LEGEND = ('<text x="10" y="38" font-size="11" fill="#555">blue band: parallel region, fork to '
          'join · light box: a thread\'s implicit task · coloured block: its share of a loop, '
          'labelled with its iterations i</text>\n'
          '<text x="10" y="52" font-size="11" fill="#555">hatched: waiting (barrier, lock) · '
          'orange: inside a critical section · black ticks above: report lines written · '
          'red ticks below: atomic updates, blue: atomic reads</text>')


def svg(panels, heading, subtitle=""):
    """One SVG of the panels, one above the other: each is (title, timeline) or (title,
    timeline, (start, end)), the times it shows in ns; by default the whole run."""
    if not panels or all(not p[1].spans and not p[1].marks for p in panels):
        raise DrawError("nothing was recorded: no region, loop, wait or write to draw")
    body, y = [], 62
    for title, tl, *window in panels:
        window = window[0] if window else (0, max(1, tl.end))
        elements, height = panel(tl, y, window, title)
        body += elements
        y += height + 6
        elements, height = axis(y, window)
        body += elements
        y += height
    total = y + 4
    head = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{total}" '
            f'viewBox="0 0 {WIDTH} {total}" font-family="sans-serif" font-size="12">',
            '<defs><pattern id="wait" width="6" height="6" patternUnits="userSpaceOnUse" '
            'patternTransform="rotate(45)"><rect width="6" height="6" fill="#eee"/>'
            '<path d="M0 0V6" stroke="#999" stroke-width="2"/></pattern></defs>',
            f'<rect width="{WIDTH}" height="{total}" fill="white"/>',
            f'<text x="10" y="22" font-size="15" font-weight="bold">{escape(heading)}</text>']
    if subtitle:
        head.append(f'<text x="{WIDTH - RIGHT}" y="22" text-anchor="end" font-size="11" '
                    f'fill="#555">{escape(subtitle)}</text>')
    return "\n".join(head + [LEGEND] + body + ["</svg>"]) + "\n"
