"""Notes on an accepted version that is correct but slower than it needs to be: a critical
section or a lock where one atomic update does, a whole loop or a print inside a critical,
a critical entered for every term, a barrier, flush or ordered that the lesson does
without. Each note names the line, what it costs in the suite's own benchmark figures
(bench/results/overhead.csv, measured on the machine named beside it) and what the
lesson does instead. A note never rejects."""
import csv
import os
import re

from .. import catalogue

FIGURES = os.path.join(catalogue.ROOT, "bench", "results", "overhead.csv")


def figures(path=FIGURES):
    """(construct, threads) -> overhead in µs on GCC's runtime (the one the lessons are
    built with), from the benchmark's committed results."""
    try:
        with open(path) as f:
            return {(r["construct"], r["threads"]): float(r["overhead_us"])
                    for r in csv.DictReader(f) if r.get("overhead_us") not in (None, "", "nan")
                    and r.get("runtime", "libgomp") == "libgomp"}
    except (OSError, ValueError, KeyError):
        return {}


def cost(measured, *constructs):
    """What the constructs cost with two threads, as the benchmark measured them."""
    shown = []
    for construct in constructs:
        value = measured.get((construct, "2"))
        if value is not None:
            shown.append(f"{construct} {value * 1000:.0f} ns" if value < 1
                         else f"{construct} {value:.2f} µs")
    return f" (the benchmark, two threads: {', '.join(shown)})" if shown else ""


def note(line, what, instead):
    return {"line": line, "what": what, "instead": instead}


def notes(student, lesson, measured=None):
    """The notes on an accepted version, from the models of it and of the lesson."""
    measured = figures() if measured is None else measured
    found = []
    atomic = cost(measured, "critical", "lock", "atomic_double")
    for k, d in enumerate(student.directives):
        if d["kind"] != "critical":
            continue
        calls, writes, loops = ([f for f in student.facts[what] if k in f["directives"]]
                                for what in ("calls", "writes", "loops"))
        if loops:
            found.append(note(d["line"], "a whole loop inside a critical section: the threads "
                              "run it one after another, so the loop is not parallel at all"
                              + atomic, "add into a private subtotal in the loop, and merge it "
                              "once with #pragma omp atomic after the loop"))
        elif any(c["callee"] == "printf" for c in calls):
            found.append(note(d["line"], "a print inside a critical section: printf already "
                              "writes each call whole, so the threads only wait for each other",
                              "print outside the critical section"))
        elif enclosing_loop(student, d):
            found.append(note(d["line"], "a critical section entered for every term: each "
                              "entry is a lock taken and released" + atomic,
                              "#pragma omp atomic for one update, or a private subtotal merged "
                              "once per thread"))
        elif writes:
            found.append(note(d["line"], "a critical section around one update, where an "
                              "atomic update does the same more cheaply" + atomic,
                              "#pragma omp atomic before the update"))
    for c in student.calls_of("omp_set_lock"):
        found.append(note(c["line"], "a lock around an update, where an atomic update does the "
                          "same more cheaply" + atomic, "#pragma omp atomic before the update"))
    for word, what, construct in (
            ("barrier", "a barrier the lesson does without: every thread waits for the slowest",
             "barrier"),
            ("flush", "a flush the lesson does without: the atomic updates and the end of the "
             "region already make the values visible", None),
            ("ordered", "ordered the lesson does without: it runs that part of each iteration "
             "in order, one thread at a time", None)):
        # The construct, or the clause that allows it (a loop's ordered).
        theirs = [d for d in lesson.directives if re.search(rf"\b{word}\b", d["text"])]
        mine = [d for d in student.directives if re.search(rf"\b{word}\b", d["text"])
                and not (word == "barrier" and orders(student, d))]
        if mine and not theirs:
            found.append(note(min(d["line"] for d in mine),
                              what + (cost(measured, construct) if construct else ""),
                              "leave it out, as the lesson does"))
    return found


def enclosing_loop(model, directive):
    """Whether a loop of the same function holds the directive."""
    return any(loop["function"] == directive["function"] and loop["offset"] is not None
               and loop["end"] is not None and directive["begin"] is not None
               and loop["offset"] < directive["begin"] <= loop["end"]
               for loop in model.facts["loops"])


def orders(model, barrier):
    """Whether a barrier keeps the program right: after it, in its region, a line reads a
    variable the team shares that the region writes before it. Leaving such a barrier out
    lets that read come before the others' writes."""
    at = barrier["begin"]
    region = next((k for k in reversed(barrier["parents"]) if k in model.regions), None)
    if at is None or region is None:
        return False
    written = {var for w in model.facts["writes"] if w["offset"] is not None
               and w["offset"] < at and model.region_of(w) == region
               for var, fact in model.resolved(w["var"], w) if model.shared(var, fact)}
    return any(u["var"] in written and u["offset"] is not None and u["offset"] > at
               and model.region_of(u) == region for u in model.facts["uses"])
