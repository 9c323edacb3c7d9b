"""What a timeline holds: spans (intervals) and marks (instants), each on a thread's lane.

Times are integer nanoseconds from the first recorded event. Lanes are numbered by the
thread's number in its team (hilo N), so lane 0 is the initial thread.
"""
from dataclasses import dataclass, field

# Span categories, drawn and summed in this order.
REGION = "region"      # a parallel region, fork to join, on the lane of the thread that forked
TASK = "task"          # a thread's implicit task in a region
LOOP = "loop"          # a block of a work-shared loop's iterations
WAIT = "wait"          # waiting: at a barrier, or for a lock
LOCKED = "locked"      # holding a lock: a critical section or a lock-based atomic
# Mark categories.
ATOMIC = "atomic"      # an atomic update
READ = "atomic_read"   # an atomic read
WRITE = "write"        # a printf/puts call, with its text


@dataclass(frozen=True)
class Span:
    lane: int
    start: int
    end: int
    cat: str
    name: str
    args: tuple = ()   # sorted (key, value) pairs, so spans compare and hash

    def arg(self, key, default=None):
        return dict(self.args).get(key, default)


@dataclass(frozen=True)
class Mark:
    """An instant, or a run of `count` instants of one kind from ts to last (a trace
    written with grouped marks stores a long run of writes as a few such runs)."""
    lane: int
    ts: int
    cat: str
    name: str
    args: tuple = ()
    count: int = 1
    last: int = -1

    @property
    def until(self):
        return max(self.ts, self.last)

    def arg(self, key, default=None):
        return dict(self.args).get(key, default)


@dataclass
class Timeline:
    program: str
    lanes: list                 # lane numbers, ascending
    spans: list = field(default_factory=list)
    marks: list = field(default_factory=list)
    meta: dict = field(default_factory=dict)   # source, requested threads: shown, not used
    # Variables that two or more threads of one region stored to plainly (not atomic,
    # outside any lock): {"region", "stores", "threads", "code"} and, once the program's
    # lines are known, "line" and "text".
    shared: list = field(default_factory=list)

    @property
    def end(self):
        ends = [s.end for s in self.spans] + [m.until for m in self.marks]
        return max(ends, default=0)

    def lane_spans(self, lane, cat):
        return [s for s in self.spans if s.lane == lane and s.cat == cat]

    def lane_marks(self, lane, cat):
        return [m for m in self.marks if m.lane == lane and m.cat == cat]


def pairs(**kwargs):
    return tuple(sorted(kwargs.items()))
