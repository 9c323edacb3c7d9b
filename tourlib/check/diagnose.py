"""The mistake behind a rejection, and the way out: read from the evidence together (the
compiler's warnings, the family that failed and its report or failing case, the
student's file beside the lesson's). Each diagnosis names the mistake, its line, why it
goes wrong and the construct that fixes it. Where the evidence points at no known
mistake, there is no diagnosis: the families' own words say what went wrong."""
import difflib
import re

from .source import Source


def diagnosis(mistake, line, why, fix):
    return {"mistake": mistake, "line": line, "why": why, "fix": fix}


def diagnose(doc, student_text, lesson_text, warnings=()):
    """The diagnoses of a verdict document (most telling first, each mistake once)."""
    student, lesson = Source(student_text), Source(lesson_text)
    failed = {f["name"]: f for f in doc["families"] if f["status"] == "fail"}
    uncompiled = [f for f in failed.values() if "does not compile" in f["message"]]
    if uncompiled:
        return [does_not_compile(uncompiled[0])]
    found = from_compiler(warnings)
    if "races" in failed:
        found += from_race(first_case(failed["races"]), student, lesson)
    if "memory" in failed:
        found += from_memory(first_case(failed["memory"]), student)
    if failed:
        found += from_source(student, lesson)
    unique = []
    for d in found:
        if all(d["mistake"] != u["mistake"] for u in unique):
            unique.append(d)
    return unique


def does_not_compile(family):
    """The compiler's first error, as the one to put right first."""
    errors = [line for line in family["details"] if re.search(r"\berror\b", line)]
    first = errors[0] if errors else (family["details"] or [family["message"]])[0]
    m = re.search(r":(\d+):(?:\d+:)? (?:fatal )?error: (.*)", first)
    missing_main = any("has no main()" in line for line in family["details"])
    return diagnosis(
        "the file has no main()" if missing_main else "the file does not compile",
        int(m.group(1)) if m else None,
        "a program starts at main(), and the linker found none" if missing_main else
        f"the compiler says: {m.group(2) if m else first.strip()}",
        "write the program's main(), as the lesson does" if missing_main else
        "put right the line the compiler names; later errors often follow from the first")


def first_case(family):
    return next((c for c in family["cases"] if c["status"] == "fail"), {})


def from_compiler(warnings):
    found = []
    for line in warnings:
        m = re.search(r":(\d+):(?:\d+:)? warning: ignoring [‘'`]#pragma (.*?)[’'] \[-Wunknown-pragmas\]",
                      line)
        if m:
            found.append(diagnosis(
                f"an unknown directive: #pragma {m.group(2).strip()}", int(m.group(1)),
                "the compiler ignores a pragma it does not know, so this code runs as if the "
                "line were not there: by one thread, or not divided",
                "spell it as OpenMP does: #pragma omp parallel, #pragma omp for, "
                "#pragma omp atomic"))
    return found


def from_race(case, student, lesson):
    """Two threads touched one variable at once, at least one writing: the report's two
    sides, each with whether it read or wrote, and whether atomically."""
    sides = [(p["line"], p.get("label", "")) for p in case.get("lines", [])]
    found = []
    for line, label in sides:
        counter = student.loop_counter(line)
        if counter and student.shared(counter, line):
            found.append(shared_counter(counter, line, student))
    kinds = [(line, re.match(r"(?:previous )?(atomic )?(read|write)", label or "")) for line, label
             in sides]
    writes = [line for line, m in kinds if m and m.group(2) == "write" and not m.group(1)]
    atomic = [line for line, m in kinds if m and m.group(1)]
    reads = [line for line, m in kinds if m and m.group(2) == "read" and not m.group(1)]
    for line in writes:
        name = student.updated(line)
        if not name or not student.shared(name, line):
            continue
        if re.search(r"\b" + name + r"\s*\[\s*\w+\s*[-+]\s*1\s*\]", student.code[line - 1]):
            found.append(diagnosis(
                "an iteration reads the previous one's result", line,
                f"each iteration reads an element of {name} that another iteration writes; "
                "the iterations run on different threads, in no fixed order",
                "compute each element from i alone (as the lesson does), so that iterations "
                "do not depend on each other"))
            continue
        if student.protected(line):
            if atomic and student.pragmas("critical"):
                found.append(diagnosis(
                    f"{name} updated in a critical section but read atomically", line,
                    "a critical section and an atomic operation do not exclude each other: the "
                    "atomic read can meet the update half-way",
                    f"protect every access to {name} the same way: #pragma omp atomic for the "
                    "update (cheaper, too), with the atomic read"))
            continue
        if re.match(r"\s*" + name + r"\s*\[", student.code[line - 1]):
            if reads and reads[0] != line:  # an element written here, read elsewhere
                found.append(diagnosis(
                    f"{name} read before the other threads have finished writing it",
                    reads[0], f"line {reads[0]} reads {name}, which another thread writes at "
                    f"line {line} in the same region, and nothing makes it wait for that write",
                    "put the wait between the two phases: end the first loop with its barrier "
                    "(no nowait), or make them two regions, whose join waits for every thread"))
            continue
        if re.match(r"\s*" + name + r"\s*=(?!=)", student.code[line - 1]) and not re.search(
                r"\b" + name + r"\b", student.code[line - 1].split("=", 1)[1]):
            found.append(diagnosis(
                f"{name} is shared, but each thread needs its own", line,
                f"{name} is declared before the region (line {student.declared[name]}), so "
                f"the team has one {name}, and each thread's value overwrites the others'",
                f"declare {name} inside the region (or add private({name}) to the pragma), so "
                "that each thread has its own"))
            continue
        # A reduction would do, unless the lesson's lines show the shared variable as
        # the team builds it (an atomic read of it inside the region).
        shows_shared = bool(lesson.pragmas("read")) and bool(lesson.pragmas("atomic"))
        found.append(diagnosis(
            f"unprotected update of {name}", line,
            f"{name} is declared before the region (line {student.declared[name]}), so the "
            f"whole team shares one {name}: two threads can read the same old value, and "
            "one update is lost",
            "make each update one indivisible step with #pragma omp atomic on the line "
            "before it" + ("" if shows_shared else
                           f", or let each thread add into its own copy with reduction(+:{name})")))
    if atomic and reads and not found:
        name = student.updated(atomic[0])
        if name:
            found.append(diagnosis(
                f"a plain read of {name} while other threads update it", reads[0],
                f"the updates of {name} are atomic, but this read is not: it can see a value "
                "half-way through another thread's update, and it comes before the others "
                "have finished",
                f"read it with #pragma omp atomic read into a private variable, or read it in "
                f"main after the region, when every update is done"))
    if not found and not sides:
        # The report lost its line to the optimiser: a loop counter the team shares is the
        # one race the region's own line stands for.
        for region in student.regions:
            for line in range(region.start, region.end + 1):
                counter = student.loop_counter(line)
                if counter and student.shared(counter, line):
                    found.append(shared_counter(counter, line, student))
    return found


def shared_counter(counter, line, student):
    return diagnosis(
        f"the loop variable {counter} is shared", line,
        f"{counter} is declared before the region (line {student.declared[counter]}), so every "
        "thread counts with the same variable and they skip or repeat each other's iterations",
        f"declare it in the loop, for (int {counter} = ...), so that each thread has its own")


def from_memory(case, student):
    headline = case.get("message", "")
    places = [p["line"] for p in case.get("lines", [])]
    found = []
    if "uninitialised" in headline:
        for line in places:
            region = student.region_of(line) or next(
                (r for r in student.regions if r.line == line), None)
            if region is None:
                continue
            copies = [n for n, kind in region.clauses.items() if kind == "private"]
            for name in copies:
                found.append(diagnosis(
                    f"the private copy of {name} starts with no value", places[0],
                    f"private({name}) gives each thread a new {name} that is not set from "
                    f"main's: the first += adds to whatever was in memory",
                    f"set each thread's {name} inside the region before its loop ({name} = 0;), "
                    f"or use firstprivate({name}) to start from main's value"))
            if found:
                break
    if re.search(r"out of bounds|overflow", headline) and places:
        name = student.updated(places[0]) or "an array"
        found.append(diagnosis(
            f"an index past the end of {name}", places[0],
            "an array of N elements has the indices 0 to N-1: the store lands on memory that "
            "belongs to something else",
            "count the loop from 0 to N-1 (i < N), and store what the lesson stores there"))
    return found


def from_source(student, lesson):
    """Differences from the lesson that are known mistakes, found once a family failed."""
    found = []
    if lesson.regions and not student.regions:
        found.append(diagnosis(
            "no parallel region", None,
            "without #pragma omp parallel the whole program runs on one thread: there is no team",
            "open a region with #pragma omp parallel (or #pragma omp parallel for on the loop)"))
    for region in student.regions:
        outer = next((r for r in student.regions if r is not region and r.holds(region.line)),
                     None)
        if outer:
            found.append(diagnosis(
                "a parallel region inside another", region.line,
                "a parallel pragma inside a region opens a new team for every thread of the "
                "first (of one thread, as nesting is off), so each thread runs the whole loop",
                "inside a region, divide the loop with #pragma omp for, not parallel for"))
    if lesson.pragmas("for") and student.regions and not student.pragmas("for"):
        found.append(diagnosis(
            "the loop is not divided among the team", student.regions[0].line,
            "without for, every thread of the region runs the whole loop",
            "put #pragma omp for before the loop inside the region (or parallel for)"))
    wanted = {m.group(0) for k in lesson.pragmas("schedule")
              for m in [re.search(r"schedule\s*\([^)]*\)", lesson.code[k - 1])] if m}
    for k in student.pragmas("schedule"):
        given = re.search(r"schedule\s*\([^)]*\)", student.code[k - 1]).group(0)
        if wanted and given.replace(" ", "") not in {w.replace(" ", "") for w in wanted}:
            found.append(diagnosis(
                f"the loop is divided by {given}", k,
                "the lesson gives each thread one contiguous block, in thread order; other "
                "schedules hand out iterations in other ways",
                f"use {sorted(wanted)[0]}, with no chunk size"))
    asked_inside = [k for f in ("omp_get_num_threads", "omp_in_parallel")
                    for k in lesson.calls(f) if lesson.region_of(k)]
    for f in ("omp_get_num_threads", "omp_in_parallel"):
        outside = [k for k in student.calls(f) if not student.region_of(k)]
        if outside and asked_inside:
            found.append(diagnosis(
                f"{f}() asked outside the region", outside[0],
                "outside a parallel region there is no team: the answer describes main alone "
                f"({f}() gives {'1' if f == 'omp_get_num_threads' else '0'} there)",
                "ask inside the region (in thread 0), so the answer describes the team"))
    lesson_requests = lesson.calls("omp_set_num_threads")
    for k in student.calls("omp_set_num_threads"):
        region = student.region_of(k)
        after = student.regions and k > student.regions[0].end
        if lesson_requests and (region or after):
            found.append(diagnosis(
                "the team size is asked for " + ("inside the region" if region else "after it"),
                k, "a request applies only to the regions that start after it: the team is "
                "already formed (or gone)",
                "call omp_set_num_threads before the region opens"))
        argument = re.search(r"omp_set_num_threads\s*\(\s*(\d+)\s*\)", student.code[k - 1])
        if argument and lesson_requests and not re.search(
                r"omp_set_num_threads\s*\(\s*\d+\s*\)", lesson.code[lesson_requests[0] - 1]):
            found.append(diagnosis(
                f"a fixed team size of {argument.group(1)}", k,
                "the lesson derives its team from the processors (omp_get_num_procs), so it "
                "changes with the machine; a fixed number does not",
                "compute the request from omp_get_num_procs(), as the lesson does"))
    found += closing_lines(student, lesson)
    found += report_formats(student, lesson)
    for k in student.pragmas("reduction"):
        lesson_atomic = lesson.pragmas("atomic")
        if lesson_atomic and lesson.pragmas("read"):
            found.append(diagnosis(
                "reduction where the lesson shows the shared sum", k,
                "with reduction each thread adds into its own copy until the join, so a "
                "thread's line shows its own part, not how far the whole team had got; the "
                "lesson's per-thread lines show the shared sum",
                "keep the one shared variable and make each add atomic (#pragma omp atomic)"))
    for k in student.pragmas("firstprivate"):
        found.append(diagnosis(
            "a result left in firstprivate copies", k,
            "firstprivate gives each thread its own copy, set from main's; what the threads "
            "add to their copies is thrown away at the join, so main's variable never changes",
            "add into the shared variable atomically, or use reduction(+:...) to merge copies"))
    if student.calls("omp_set_lock") and not student.calls("omp_init_lock"):
        k = student.calls("omp_set_lock")[0]
        found.append(diagnosis(
            "a lock used without omp_init_lock", k,
            "a lock must be initialised before its first use; until then it holds no valid state",
            "call omp_init_lock(&lock) before the region (and omp_destroy_lock after)"))
    for region in student.regions:
        for k in range(region.start, region.end + 1):
            if re.search(r"\bcout\s*<<.*<<", student.code[k - 1]):
                found.append(diagnosis(
                    "a line built from several stream writes", k,
                    "each << is a write of its own, and another thread's output can fall "
                    "between two of them, splitting the line",
                    "write each line with one std::printf call, which comes out whole"))
                break
    return found


def closing_lines(student, lesson):
    """A line the lesson writes after the region (once, when the team has finished)
    written inside one."""
    after = {f for k, f in lesson.printfs() if not lesson.region_of(k)}
    return [diagnosis(
        "a result written before the other threads have finished", k,
        "inside the region every thread writes it, each when it gets there, before the others "
        "have added their part",
        "write it once, in main, after the region: the join at its end waits for every thread")
        for k, f in student.printfs() if f in after and student.region_of(k)][:1]


def report_formats(student, lesson):
    """A printf format that is not the lesson's, against the nearest of the lesson's."""
    theirs = [f for _, f in lesson.printfs()]
    found = []
    for k, f in student.printfs():
        if f in theirs or not theirs:
            continue
        near = difflib.get_close_matches(f, theirs, n=1, cutoff=0.6)
        printed = re.search(r'printf\s*\(\s*"(?:[^"\\]|\\.)*"\s*,\s*([A-Za-z_]\w*)', student.lines[k - 1])
        if near and "%ld" in near[0] and "%d" in f and printed and printed.group(1) in student.declared:
            name = printed.group(1)
            found.append(diagnosis(
                f"{name} is too narrow for its value", student.declared[name],
                f"{name} is an int, which holds at most 2147483647, and the value it must hold "
                "is far larger: it wraps around", f"declare {name} as long (64 bits) and print "
                f"it with %ld, as the lesson does (line {k})"))
            continue
        if near:
            found.append(diagnosis(
                "a report line unlike the lesson's", k,
                f"this printf writes \"{f}\" where the lesson writes \"{near[0]}\"" +
                (": %d prints an int, and the value needs a long (%ld)"
                 if "%d" in f and "%ld" in near[0] else ""),
                f"use the lesson's format, \"{near[0]}\"" +
                (", with a variable of type long" if "%ld" in near[0] else "")))
    return found
