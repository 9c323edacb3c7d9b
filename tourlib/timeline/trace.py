"""A Timeline as trace-event JSON, the format Perfetto and the browser's tracing view open,
and back. One process, one track (tid) per lane; spans are complete events ("X"), marks
instant events ("i"); a grouped run of marks is an "X" event of the mark's category with
its count. Times are microseconds with nanosecond decimals, as the format asks."""
import json

from . import model
from .model import Mark, Span, Timeline

MARK_CATS = (model.ATOMIC, model.READ, model.WRITE)
SPAN_CATS = (model.REGION, model.TASK, model.LOOP, model.WAIT, model.LOCKED)


class TraceError(Exception):
    """A trace that is not one this module wrote: one line saying why."""


def us(ns):
    return ns / 1000


def ns_of(value):
    return round(value * 1000)


def plain(value):
    """Tuples as lists, recursively, for JSON."""
    if isinstance(value, tuple):
        return [plain(v) for v in value]
    return value


def frozen(value):
    if isinstance(value, list):
        return tuple(frozen(v) for v in value)
    return value


def runs_of(ms):
    """Consecutive marks split where a gap is more than ten times the median gap: a burst
    of writes and a lone write after it are never grouped together."""
    gaps = sorted(b.ts - a.until for a, b in zip(ms, ms[1:]))
    limit = 10 * gaps[len(gaps) // 2] if gaps else 0
    runs, current = [], [ms[0]]
    for a, b in zip(ms, ms[1:]):
        if b.ts - a.until > limit:
            runs.append(current)
            current = []
        current.append(b)
    return runs + [current]


def grouped(marks, group):
    """Each lane's marks of one category stored as about `group` runs, when it has more."""
    if not group:
        return list(marks)
    by_kind = {}
    for m in marks:
        by_kind.setdefault((m.lane, m.cat), []).append(m)
    out = []
    for (lane, cat), ms in sorted(by_kind.items()):
        if len(ms) <= group:
            out.extend(ms)
            continue
        size = -(-len(ms) // group)
        for run in runs_of(ms):
            for k in range(0, len(run), size):
                part = run[k:k + size]
                if len(part) == 1:
                    out.append(part[0])
                    continue
                out.append(Mark(lane, part[0].ts, cat, part[0].name, (),
                                count=sum(p.count for p in part), last=part[-1].until))
    return out


def to_trace(tl, group=None):
    """The trace-event document of `tl` (a dict); with `group`, each lane's marks of one kind
    are stored as at most `group` runs."""
    events = [{"ph": "M", "pid": 1, "name": "process_name", "args": {"name": tl.program}}]
    for lane in tl.lanes:
        events.append({"ph": "M", "pid": 1, "tid": lane, "name": "thread_name",
                       "args": {"name": f"hilo {lane}"}})
        events.append({"ph": "M", "pid": 1, "tid": lane, "name": "thread_sort_index",
                       "args": {"sort_index": lane}})
    for s in tl.spans:
        events.append({"ph": "X", "pid": 1, "tid": s.lane, "ts": us(s.start),
                       "dur": us(s.end - s.start), "cat": s.cat, "name": s.name,
                       "args": {k: plain(v) for k, v in s.args}})
    for m in grouped(tl.marks, group):
        event = {"pid": 1, "tid": m.lane, "ts": us(m.ts), "cat": m.cat, "name": m.name,
                 "args": {k: plain(v) for k, v in m.args}}
        if m.count == 1:
            event.update(ph="i", s="t")
        else:
            event.update(ph="X", dur=us(m.until - m.ts))
            event["args"]["count"] = m.count
        events.append(event)
    return {"traceEvents": events, "displayTimeUnit": "ns",
            "otherData": {"program": tl.program, "lanes": tl.lanes, "meta": tl.meta}}


def dumps(document):
    """The document as text: one event per line, keys sorted, so equal timelines give
    byte-identical files."""
    events = ",\n".join(json.dumps(e, sort_keys=True, ensure_ascii=False)
                        for e in document["traceEvents"])
    rest = {k: v for k, v in document.items() if k != "traceEvents"}
    head = json.dumps(rest, sort_keys=True, ensure_ascii=False)
    return head[:-1] + ', "traceEvents": [\n' + events + "\n]}\n"


def from_trace(document):
    """The Timeline a trace written by to_trace() holds."""
    try:
        other = document["otherData"]
        tl = Timeline(program=str(other["program"]), lanes=[int(n) for n in other["lanes"]],
                      meta=dict(other.get("meta") or {}))
        for e in document["traceEvents"]:
            ph = e["ph"]
            if ph == "M":
                continue
            lane, ts = int(e["tid"]), ns_of(e["ts"])
            args = e.get("args") or {}
            if ph == "X" and e["cat"] in SPAN_CATS:
                tl.spans.append(Span(lane, ts, ts + ns_of(e["dur"]), e["cat"], e["name"],
                                     tuple(sorted((k, frozen(v)) for k, v in args.items()))))
            elif e["cat"] in MARK_CATS and ph in ("i", "X"):
                count = int(args.pop("count", 1)) if ph == "X" else 1
                last = ts + ns_of(e["dur"]) if ph == "X" else -1
                tl.marks.append(Mark(lane, ts, e["cat"], e["name"],
                                     tuple(sorted(args.items())), count, last))
            else:
                raise TraceError(f"an event of an unknown kind: {e['ph']} {e.get('cat')}")
    except (KeyError, TypeError, ValueError, AttributeError) as err:
        raise TraceError(f"not a timeline trace: {type(err).__name__} {err}") from None
    if not tl.lanes:
        raise TraceError("the trace has no thread")
    return tl


def loads(text):
    try:
        document = json.loads(text)
    except json.JSONDecodeError as err:
        raise TraceError(f"not JSON: {err}") from None
    if not isinstance(document, dict):
        raise TraceError("not a trace-event document")
    return from_trace(document)
