"""Per-thread figures of a Timeline, and the short text the command prints.

For each thread: the loop iterations it ran (from the runtime's scheduling entry points),
time working (in its implicit tasks, not waiting), time waiting (at barriers, for locks),
its atomic updates and report lines. These are also the evidence a check can use: who ran
which iterations, how many atomic updates each thread made."""
from dataclasses import dataclass

from . import model


@dataclass
class Thread:
    lane: int
    iterations: int
    ranges: list        # (first, last) iteration ranges, ascending
    working: int        # ns
    waiting: int        # ns
    atomics: int
    writes: int


def merged(intervals):
    """The total length of the union of (start, end) intervals."""
    total, reach = 0, None
    for start, end in sorted(intervals):
        if reach is None or start > reach:
            total += end - start
            reach = end
        elif end > reach:
            total += end - reach
            reach = end
    return total


def threads(tl):
    """A Thread per lane of `tl`, in lane order."""
    out = []
    for lane in tl.lanes:
        loops = tl.lane_spans(lane, model.LOOP)
        ranges = sorted(r for s in loops for r in s.arg("ranges", ()))
        tasks = [(s.start, s.end) for s in tl.lane_spans(lane, model.TASK)]
        waits = [(s.start, s.end) for s in tl.lane_spans(lane, model.WAIT)]
        waiting = merged(waits)
        out.append(Thread(
            lane=lane,
            iterations=sum(hi - lo + 1 for lo, hi in ranges),
            ranges=ranges,
            working=max(0, merged(tasks) - waiting),
            waiting=waiting,
            atomics=sum(m.count for m in tl.lane_marks(lane, model.ATOMIC)),
            writes=sum(m.count for m in tl.lane_marks(lane, model.WRITE)),
        ))
    return out


def regions(tl):
    return sorted((s for s in tl.spans if s.cat == model.REGION), key=lambda s: s.start)


def ms(ns):
    return f"{ns / 1e6:.3f} ms"


def ranges_text(ranges):
    if not ranges:
        return ""
    if len(ranges) <= 3:
        return " (i " + ", ".join(f"{a}..{b}" if a != b else f"{a}" for a, b in ranges) + ")"
    return f" (in {len(ranges)} blocks, i {ranges[0][0]}..{ranges[-1][1]})"


def plural(n, what):
    return f"{n} {what}{'' if n == 1 else 's'}"


def text(tl):
    """The summary: one line for the run, one per thread."""
    rs = regions(tl)
    lines = [f"{tl.program}: {plural(len(tl.lanes), 'thread')}, "
             f"{plural(len(rs), 'parallel region')}, {ms(tl.end)} recorded"]
    shared = any(s.cat == model.LOOP for s in tl.spans)
    for t in threads(tl):
        parts = []
        if shared:
            parts.append(plural(t.iterations, "iteration") + ranges_text(t.ranges))
        parts.append(f"working {ms(t.working)}")
        parts.append(f"waiting {ms(t.waiting)}")
        if t.atomics:
            parts.append(plural(t.atomics, "atomic update"))
        parts.append(plural(t.writes, "write"))
        lines.append(f"  hilo {t.lane}: " + ", ".join(parts))
    if not shared and rs:
        lines.append("  no work-shared loop: the runtime divided no iterations among the team")
    for variable in sorted(tl.shared, key=lambda v: (v.get("line", 0), v["region"])):
        where = (f"line {variable['line']} ({variable['text']})" if variable.get("line")
                 else f"parallel region {variable['region']}")
        lines.append(f"  {where}: {plural(variable['stores'], 'plain store')} to one shared "
                     f"variable, by {variable['threads']} threads, neither atomic nor in a "
                     "critical section")
    if tl.meta.get("unrecorded"):
        lines.append(f"  {plural(tl.meta['unrecorded'], 'character')} of the output came another "
                     "way than printf or puts (std::cout, write): the timeline does not show "
                     "them")
    return "\n".join(lines) + "\n"


def shape(tl):
    """What a run of a program always does, whatever the timing: the team, the regions,
    each thread's static blocks, whether a dynamic loop's iterations were each run once,
    the atomic updates and report lines. Two runs of one program with one team size give
    equal shapes; a program changed in what its threads do gives another."""
    loops = [s for s in tl.spans if s.cat == model.LOOP]
    static = all(s.arg("schedule") == "static" for s in loops)
    per_thread = []
    for t in threads(tl):
        row = {"lane": t.lane, "atomics": t.atomics}
        if static:
            row.update(ranges=[list(r) for r in t.ranges], writes=t.writes)
        per_thread.append(row)
    covered = sorted(i for s in loops for lo, hi in s.arg("ranges", ()) for i in range(lo, hi + 1))
    counts = sorted({s.arg("count") for s in loops})
    return {
        "threads": len(tl.lanes),
        "regions": len(regions(tl)),
        "schedule": "none" if not loops else ("static" if static else "dynamic"),
        "loop iterations": counts,
        # Each loop of a lesson has its own iteration count, so the counts name the loops.
        "each iteration once": covered == sorted(i for n in counts for i in range(n))
        if loops else None,
        "writes": sum(m.count for m in tl.marks if m.cat == model.WRITE),
        "per thread": per_thread,
    }
