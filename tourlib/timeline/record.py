"""Reads what the recorder (timeline/recorder.cpp) wrote into a Timeline.

The recorder writes one event per line, each thread's in the order it recorded them:
    <ns> TAB <thread serial> TAB <kind> TAB <a> TAB <b> TAB <c> TAB <text>
under a first line "# suite timeline 1". The kinds and what a, b, c hold:
    fork region requested   join region         task_begin region index team   task_end
    work_begin region kind count                work_end
    static lower upper stride                   chunk lower upper
    wait_begin kind   wait_end kind             mutex_acquire kind   mutex_acquired   mutex_released
    atomic op address   atomic_read op address  write (text: the call's output, escaped)
    shared_store region stores threads (text: the code offset of its first store), once
    per variable that two or more threads of one region stored to plainly, at the end
"""
from dataclasses import replace

from . import model
from .model import Mark, Span, Timeline, pairs

HEADER = "# suite timeline 1"

# ompt_sync_region_t values LLVM 14 reports, as the waits are labelled.
WAIT_NAMES = {1: "barrier wait", 2: "barrier wait", 3: "barrier wait", 4: "barrier wait",
              5: "taskwait", 6: "taskgroup wait", 7: "reduction wait",
              8: "loop barrier wait", 9: "join barrier wait"}
# ompt_mutex_t values.
LOCK_NAMES = {1: "lock", 2: "lock", 3: "nested lock", 4: "nested lock", 5: "critical",
              6: "atomic (locked)", 7: "ordered"}
ATOMIC_OPS = {0: "read", 1: "store", 2: "exchange", 3: "add", 4: "sub", 5: "and", 6: "or",
              7: "xor", 8: "nand", 9: "compare-exchange"}


class RecordError(Exception):
    """The recorder's output cannot be read: one line saying where and why."""


def unescape(text):
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "t": "\t", "\\": "\\"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(ch)
            i += 1
    return "".join(out)


def parse(text):
    """The events, as (ns, serial, kind, a, b, c, text) tuples, in the file's order."""
    lines = text.split("\n")
    if not lines or lines[0] != HEADER:
        raise RecordError("not a recording of the suite's timeline recorder (no header line)")
    events = []
    for number, line in enumerate(lines[1:], start=2):
        if not line:
            continue
        fields = line.split("\t", 6)
        if len(fields) != 7:
            raise RecordError(f"line {number}: {len(fields)} fields, 7 expected")
        try:
            ns, serial, a, b, c = (int(fields[i]) for i in (0, 1, 3, 4, 5))
        except ValueError:
            raise RecordError(f"line {number}: a number field is not a number") from None
        events.append((ns, serial, fields[2], a, b, c, unescape(fields[6])))
    return events


def lanes_of(events):
    """Each thread serial's lane: its number in the first team it joined. Threads that
    joined no team (the initial thread of a program without a region) get the lowest free
    number; if two threads claim one number, lanes follow the serials instead."""
    first = {}
    for ns, serial, kind, a, b, c, text in sorted(events, key=lambda e: e[0]):
        if kind == "task_begin" and serial not in first:
            first[serial] = b
    serials = sorted({e[1] for e in events})
    if len(set(first.values())) != len(first):
        return {s: k for k, s in enumerate(serials)}
    lanes = dict(first)
    free = (n for n in range(len(serials) + len(first) + 1) if n not in first.values())
    for serial in serials:
        if serial not in lanes:
            lanes[serial] = next(free)
    return lanes


def ranges_of(lower, upper, stride, count):
    """The iteration ranges a static schedule gave one thread: its first block lower..upper,
    repeated every stride (a chunked schedule) while inside the loop's count."""
    if upper < lower:
        return []
    ranges = [(lower, upper)]
    if count and 0 < stride and stride > upper - lower:
        lo, hi = lower + stride, upper + stride
        while lo <= count - 1:
            ranges.append((lo, min(hi, count - 1)))
            lo, hi = lo + stride, hi + stride
    return ranges


def label(ranges):
    if len(ranges) == 1:
        lo, hi = ranges[0]
        return f"i {lo}..{hi}" if hi != lo else f"i {lo}"
    return f"{len(ranges)} blocks"


def timeline(events, program, meta=None):
    """The Timeline of one run, from parse()'s events."""
    if not events:
        raise RecordError("the recording holds no event")
    origin = min(e[0] for e in events)
    lanes = lanes_of(events)
    joins = {e[3]: e[0] - origin for e in events if e[2] == "join"}
    tl = Timeline(program=program, lanes=sorted(set(lanes.values())), meta=dict(meta or {}))
    end_of_run = max(e[0] for e in events) - origin

    def closing(region, ns):
        """A thread's interval in `region` ends at ns, but never after the region's join:
        LLVM's runtime reports a worker's last end events only when it is woken again."""
        join = joins.get(region)
        return ns if join is None else min(ns, join)

    held = {}  # wait id -> the spans in which a thread held that lock
    by_serial = {}
    for e in events:
        by_serial.setdefault(e[1], []).append(e)
    for serial, mine in sorted(by_serial.items()):
        mine.sort(key=lambda e: e[0])
        lane = lanes[serial]
        region = None          # region of the open implicit task
        task = None            # (start, region, index, team)
        loop_count = 0
        chunk = None           # (start, [ranges])
        wait = None            # (start, name, region)
        lock = None            # (start, kind, wait id)
        forks = {}

        def close_chunk(ns):
            nonlocal chunk
            if chunk is not None:
                start, ranges, schedule, handed = chunk
                iterations = sum(hi - lo + 1 for lo, hi in ranges)
                tl.spans.append(Span(lane, start, max(start, closing(region, ns)), model.LOOP,
                                     label(ranges), pairs(ranges=tuple(ranges),
                                                          iterations=iterations,
                                                          count=loop_count,
                                                          schedule=schedule,
                                                          chunks=handed)))
                chunk = None

        def close_wait(ns):
            nonlocal wait
            start, name, reg = wait
            tl.spans.append(Span(lane, start, max(start, closing(reg, ns)), model.WAIT, name))
            wait = None

        def close_task(ns):
            nonlocal task
            start, reg, index, team = task
            tl.spans.append(Span(lane, start, max(start, closing(reg, ns)), model.TASK,
                                 f"hilo {index} of {team}", pairs(region=reg, team=team)))
            task = None

        for ns, _, kind, a, b, c, text in mine:
            t = ns - origin
            if kind == "fork":
                forks[a] = (t, b)
            elif kind == "join":
                start, requested = forks.pop(a, (t, 0))
                tl.spans.append(Span(lane, start, t, model.REGION, f"parallel region {a}",
                                     pairs(region=a, requested=requested)))
            elif kind == "task_begin":
                # A task of an earlier region still open ends at that region's join.
                if wait is not None:
                    close_wait(t)
                if task is not None:
                    close_task(t)
                task, region = (t, a, b, c), a
            elif kind == "task_end" and task is not None:
                close_task(t)
            elif kind == "work_begin":
                loop_count = c
            elif kind == "static":
                close_chunk(t)
                ranges = ranges_of(a, b, c, loop_count)
                chunk = (t, ranges, "static", len(ranges))
                if not chunk[1]:
                    chunk = None
            elif kind == "chunk":
                # Contiguous chunks handed to the same thread are drawn as one block.
                if chunk is not None and chunk[2] == "dynamic" and chunk[1][-1][1] + 1 == a:
                    chunk[1][-1] = (chunk[1][-1][0], b)
                    chunk = chunk[:3] + (chunk[3] + 1,)
                else:
                    close_chunk(t)
                    chunk = (t, [(a, b)], "dynamic", 1)
            elif kind == "work_end":
                close_chunk(t)
            elif kind == "wait_begin":
                wait = (t, WAIT_NAMES.get(a, "wait"), region)
            elif kind == "wait_end" and wait is not None:
                close_wait(t)
            elif kind == "mutex_acquire":
                wait = (t, f"{LOCK_NAMES.get(a, 'lock')} wait", region)
            elif kind == "mutex_acquired":
                if wait is not None:
                    tl.spans.append(Span(lane, wait[0], t, model.WAIT, wait[1]))
                    wait = None
                lock = (t, a, b)
            elif kind == "mutex_released" and lock is not None:
                held.setdefault(lock[2], []).append(
                    Span(lane, lock[0], t, model.LOCKED, LOCK_NAMES.get(lock[1], "lock")))
                lock = None
            elif kind in ("atomic", "atomic_read"):
                cat = model.ATOMIC if kind == "atomic" else model.READ
                tl.marks.append(Mark(lane, t, cat, f"atomic {ATOMIC_OPS.get(a, 'update')}"))
            elif kind == "write":
                tl.marks.append(Mark(lane, t, model.WRITE, "write", pairs(text=text)))
            elif kind == "shared_store":
                tl.shared.append({"region": a, "stores": b, "threads": c,
                                  "code": int(text) if text.isdigit() else 0})
        # What the recording left open ends at its region's join, or with the run.
        close_chunk(end_of_run)
        if wait is not None:
            close_wait(end_of_run)
        if task is not None:
            close_task(end_of_run)
    # The runtime reports a release after the unlock, so the next holder may stamp its
    # acquisition first: one lock's spans never overlap, each ends by the next one's start.
    for spans in held.values():
        spans.sort(key=lambda s: s.start)
        tl.spans += [replace(s, end=max(s.start, min(s.end, after.start)))
                     for s, after in zip(spans, spans[1:])] + spans[-1:]
    tl.spans.sort(key=lambda s: (s.lane, s.start, s.end, s.cat, s.name))
    tl.marks.sort(key=lambda m: (m.lane, m.ts, m.cat))
    return tl


def read(text, program, meta=None):
    """parse() then timeline(): the Timeline of the recorder's output `text`."""
    return timeline(parse(text), program, meta)
