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
from .source import Source

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


def notes(student_text, lesson_text, measured=None):
    """The notes on an accepted version."""
    measured = figures() if measured is None else measured
    student, lesson = Source(student_text), Source(lesson_text)
    found = []
    atomic = cost(measured, "critical", "lock", "atomic_double")
    for k in student.pragmas("critical"):
        body = student.region_at(k)
        lines = range(body.start, body.end + 1)
        inner = " ".join(student.code[j - 1] for j in lines)
        if re.search(r"\bfor\s*\(|\bwhile\s*\(", inner):
            found.append(note(k, "a whole loop inside a critical section: the threads run it one "
                              "after another, so the loop is not parallel at all" + atomic,
                              "add into a private subtotal in the loop, and merge it once with "
                              "#pragma omp atomic after the loop"))
        elif "printf" in inner:
            found.append(note(k, "a print inside a critical section: printf already writes each "
                              "call whole, so the threads only wait for each other", "print "
                              "outside the critical section"))
        elif any(enclosing_loop(student, k)):
            found.append(note(k, "a critical section entered for every term: each entry is a "
                              "lock taken and released" + atomic,
                              "#pragma omp atomic for one update, or a private subtotal merged "
                              "once per thread"))
        elif student.updated(body.start):
            found.append(note(k, "a critical section around one update, where an atomic update "
                              "does the same more cheaply" + atomic,
                              "#pragma omp atomic before the update"))
    for k in student.calls("omp_set_lock"):
        found.append(note(k, "a lock around an update, where an atomic update does the same "
                          "more cheaply" + atomic, "#pragma omp atomic before the update"))
    for word, what, construct in (
            ("barrier", "a barrier the lesson does without: every thread waits for the slowest",
             "barrier"),
            ("flush", "a flush the lesson does without: the atomic updates and the end of the "
             "region already make the values visible", None),
            ("ordered", "ordered the lesson does without: it runs that part of each iteration "
             "in order, one thread at a time", None)):
        if student.pragmas(word) and not lesson.pragmas(word):
            found.append(note(student.pragmas(word)[0],
                              what + (cost(measured, construct) if construct else ""),
                              "leave it out, as the lesson does"))
    return found


def enclosing_loop(source, line):
    """The loops whose bodies hold `line`."""
    return [k for k, code in enumerate(source.code, 1)
            if k < line and re.match(r"\s*for\s*\(", code) and source.region_at(k - 1).holds(line)]
