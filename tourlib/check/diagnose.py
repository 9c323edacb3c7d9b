"""The mistake behind a rejection, and the way out, read from the evidence together: the
reason a family failed, the compiler's warnings, the race and memory reports as data,
and the compiler's own parse of the student's file and of the lesson (model.Model).

Each rule is a row of RULES: an id, the evidence it needs, and a small function that
finds its places in the file; its words (mistake, why, fix) are mistakes.WORDS[id],
with the names the rule found filled in. The rules are in the order their diagnoses are told:
the first one's fix is the one that makes the program right. Where the evidence points
at no known mistake, there is no diagnosis: the families' own words say what went
wrong."""
import difflib
import re

from .mistakes import WORDS

NARROW = ("int", "short", "char", "unsigned int", "unsigned short")
WIDE = ("long", "long long", "unsigned long", "unsigned long long", "size_t", "std::size_t",
        "double", "long double")


class Evidence:
    """What a verdict knows of a rejected file: the failed families, the first failing
    case of the race and memory families, the warnings, the two models."""

    def __init__(self, doc, student, lesson, warnings):
        self.doc, self.student, self.lesson = doc, student, lesson
        self.warnings = list(warnings)
        self.failed = {f["name"]: f for f in doc["families"] if f["status"] == "fail"}
        self.reasons = {f.get("reason") for f in self.failed.values()}
        self.race = first_case(self.failed.get("races"))
        self.memory = first_case(self.failed.get("memory"))
        self.sides = [p for p in self.race.get("lines", []) if p.get("access")]

    def has(self, needs):
        """Whether every kind of evidence in `needs` is there."""
        there = {"failed": bool(self.failed), "races": bool(self.race),
                 "memory": bool(self.memory), "model": self.student is not None,
                 "lesson": self.lesson is not None}
        return all(there.get(n, False) for n in needs)


def first_case(family):
    return next((c for c in (family or {}).get("cases", []) if c["status"] == "fail"), {})


# -- the rules, most telling first ----------------------------------------------------

def unknown_directive(ev):
    for line in ev.warnings:
        m = re.search(r":(\d+):(?:\d+:)? warning: ignoring [‘'`]#pragma (.*?)[’'] "
                      r"\[-Wunknown-pragmas\]", line)
        if m:
            yield int(m.group(1)), {"pragma": m.group(2).strip()}


def no_region(ev):
    # A directive the compiler did not know is the reason there is none.
    if ev.lesson.regions and not ev.student.regions and not any(unknown_directive(ev)):
        yield None, {}


def nested_region(ev):
    s = ev.student
    for k in s.regions:
        d = s.directives[k]
        if any(p in s.regions for p in d["parents"]) or \
                s.called_from.get(d["function"]) is not None:
            yield d["line"], {}


def result_too_soon(ev):
    """A line the lesson writes after the region, written inside one by every thread."""
    s, after = ev.student, lesson_closing_formats(ev.lesson)
    for call in s.printfs():
        if call["format"] in after and s.region_of(call) is not None and not (
                s.kinds_around(call) & {"master", "masked", "single"}) and \
                not barrier_before(s, call):
            yield call["line"], {}
            return


def result_by_one_too_soon(ev):
    """The closing line written by one thread (master, single) before the others are
    done: no barrier comes before it in the region."""
    s, after = ev.student, lesson_closing_formats(ev.lesson)
    for call in s.printfs():
        kinds = s.kinds_around(call)
        if call["format"] in after and s.region_of(call) is not None and \
                kinds & {"master", "masked", "single"} and not barrier_before(s, call):
            yield call["line"], {"by": "master" if kinds & {"master", "masked"} else "single"}
            return


def shared_loop_counter(ev):
    s = ev.student
    lines = [p["line"] for p in ev.race.get("lines", [])]
    candidates = [loop for loop in s.facts["loops"] if loop["line"] in lines] or (
        [loop for loop in s.facts["loops"] if s.region_of(loop) is not None]
        if not lines else [])
    for loop in candidates:
        if loop["counter"] and not loop["declared"] and s.shared(loop["counter"], loop):
            yield loop["line"], {"name": s.name(loop["counter"]),
                                 "declared": s.variables[loop["counter"]]["line"]}


def racing_writes(ev):
    """(write fact, the variable it stands for, that variable's fact) for each plain
    write side of the race report, to a variable the team shares."""
    s = ev.student
    for side in ev.sides:
        if side["access"] != "write" or side["atomic"]:
            continue
        for w in s.writes_at(side["line"]):
            for var, at in s.resolved(w["var"], w):
                if s.shared(var, at):
                    yield side, w, var


def reads_other_iteration(ev):
    for _, w, var in racing_writes(ev):
        # An element computed from another element of the same array (not an update of
        # one element, which is a lost update: below).
        if w["element"] and w["op"] == "=" and w["var"] in w["reads"]:
            yield w["line"], {"name": ev.student.name(var)}


def read_too_early(ev):
    s = ev.student
    reads = [p["line"] for p in ev.sides if p["access"] == "read"]
    for _, w, var in racing_writes(ev):
        if not w["element"] or w["update"]:
            continue
        for line in reads:
            if line != w["line"] and any(u["var"] == var for u in s.uses_at(line)):
                yield line, {"name": s.name(var), "written": w["line"]}


def critical_against_atomic(ev):
    s = ev.student
    if not any(p["atomic"] for p in ev.sides):
        return
    for side in ev.sides:
        for w in s.writes_at(side["line"]):
            if "critical" in s.kinds_around(w):
                yield w["line"], {"name": s.name(w["var"])}


def private_needed(ev):
    s = ev.student
    for _, w, var in racing_writes(ev):
        if not w["element"] and not w["update"]:
            yield w["line"], {"name": s.name(var), "declared": s.variables[var]["line"]}


def unprotected_update(ev):
    s = ev.student
    for _, w, var in racing_writes(ev):
        if not w["update"] or s.protected(w) or w["element"] and w["op"] == "=":
            continue
        # A reduction keeps the total, but not what the region shows of it on the way:
        # offered only where nothing in the region reads the variable but its updates.
        region = s.region_of(w)
        updates = {x["line"] for x in s.facts["writes"] if x["var"] == var}
        watched = [u for u in s.facts["uses"] if u["var"] == var and u["line"] not in updates
                   and s.region_of(u) == region]
        yield w["line"], {"name": s.name(var), "declared": s.variables[var]["line"],
                          "or": "" if watched else f", or let each thread add into its own "
                          f"copy with reduction(+:{s.name(var)})"}


def plain_read(ev):
    s = ev.student
    atomic = [p for p in ev.sides if p["atomic"] and p["access"] == "write"]
    for side in ev.sides:
        if side["access"] != "read" or side["atomic"]:
            continue
        for a in atomic:
            names = {w["var"] for w in s.writes_at(a["line"])}
            for var in names:
                if any(u["var"] == var for u in s.uses_at(side["line"])):
                    yield side["line"], {"name": s.name(var)}
                    return


def uninitialised_copy(ev):
    if ev.memory.get("report") != "uninitialised":
        return
    s = ev.student
    places = [p["line"] for p in ev.memory.get("lines", [])]
    for region in s.regions:
        d = s.directives[region]
        lines = range(d["line"], (d["body_lines"][1] or d["line"]) + 1)
        if not any(line in lines for line in places):
            continue
        # The copy the report's lines use, else the one first added to before it is set.
        copies = [var for var, kinds in d["clauses"].items() if "private" in kinds]
        used = [var for var in copies if any(u["var"] == var for line in places
                                               for u in s.uses_at(line))]
        added = [var for var in copies if first_write_updates(s, var)]
        for var in (used or added)[:1]:
            yield places[0], {"name": s.name(var)}


def uninitialised_local(ev):
    """A variable of the region declared without a value, and added to before any is
    stored in it: the memory checker or the compiler says a value was used unset."""
    s = ev.student
    said = ev.memory.get("report") == "uninitialised" or any(
        "uninitialized" in w for w in ev.warnings)
    if not said:
        return
    for var, v in s.variables.items():
        if v["initialised"] or v["parameter"] or v["function"] is None or v["static"]:
            continue
        writes = sorted((w for w in s.facts["writes"] if w["var"] == var),
                        key=lambda w: w["offset"])
        # Set through its address (scanf("%d", &n), a helper) is set.
        given = any(a.get("var") == var and a.get("address") for c in s.facts["calls"]
                    for a in c["args"])
        named = f"'{v['name']}'" in " ".join(ev.warnings).replace("‘", "'").replace("’", "'")
        reported = any(w["line"] == p["line"] for p in ev.memory.get("lines", [])
                       for w in writes[:1])
        if writes and writes[0]["update"] and not given and (named or reported) and (
                s.region_of(writes[0]) is not None or v["directives"]):
            yield writes[0]["line"], {"name": v["name"], "declared": v["line"]}


def out_of_bounds(ev):
    case = ev.memory if ev.memory.get("report") == "out_of_bounds" else (
        ev.race if ev.race.get("report") == "out_of_bounds" else {})
    places = [p["line"] for p in case.get("lines", [])]
    if places:
        s = ev.student
        names = [w["name"] for w in s.writes_at(places[0]) if w["element"]] or \
            [u["name"] for u in s.uses_at(places[0])]
        yield places[0], {"name": names[0] if names else "an array"}


def overflow(ev):
    case = next((c for c in (ev.memory, ev.race) if c.get("report") == "overflow"), {})
    places = [p["line"] for p in case.get("lines", [])]
    if places:
        s = ev.student
        writes = s.writes_at(places[0])
        # A value read from a variable threads race on can be anything: its overflow
        # follows from the race, told first.
        racing = {w["var"] for side in ev.sides for w in s.writes_at(side["line"])}
        if any(u["var"] in racing for u in s.uses_at(places[0])):
            return
        if writes:
            v = s.variables.get(s.resolved(writes[0]["var"], writes[0])[0][0], {})
            yield v.get("line", places[0]), {"name": v.get("name", writes[0]["name"]),
                                             "type": v.get("type", "int"),
                                             "line": places[0]}


def narrow_type(ev):
    """A value the lesson keeps in a wide type (long) kept here in an int: the model's
    types of what the two printfs print."""
    s, l = ev.student, ev.lesson
    theirs = {c["format"]: c for c in l.printfs()}
    for call in s.printfs():
        near = difflib.get_close_matches(call["format"], list(theirs), n=1, cutoff=0.6)
        if not near:
            continue
        mine = [a for a in call["args"][1:] if "var" in a]
        want = [a for a in theirs[near[0]]["args"][1:] if "var" in a]
        for a, b in zip(mine, want):
            if base_type(a["type"]) in NARROW and base_type(b["type"]) in WIDE:
                v = s.variables.get(a["var"], {})
                yield v.get("line", call["line"]), {"name": a["name"], "type": a["type"],
                                                    "wide": b["type"], "line": call["line"]}
                return


def for_instead_of_blocks(ev):
    s, l = ev.student, ev.lesson
    if l.with_kind("for", "parallel for") or not l.calls_of("omp_get_thread_num"):
        return
    for d in s.with_kind("for", "parallel for"):
        yield d["line"], {}
        return


def loop_not_divided(ev):
    s, l = ev.student, ev.lesson
    if l.with_kind("for", "parallel for") and s.regions and \
            not s.with_kind("for", "parallel for"):
        yield s.directives[s.regions[0]]["line"], {}


def schedule_differs(ev):
    wanted = {schedule(d["text"]) for d in ev.lesson.directives} - {None}
    for d in ev.student.directives:
        given = schedule(d["text"])
        if wanted and given and given not in wanted:
            yield d["line"], {"given": given, "wanted": sorted(wanted)[0]}


def asked_outside(ev):
    s, l = ev.student, ev.lesson
    for f in ("omp_get_num_threads", "omp_in_parallel"):
        if not any(l.region_of(c) is not None for c in l.calls_of(f)):
            continue
        outside = [c for c in s.calls_of(f) if s.region_of(c) is None]
        if outside:
            yield outside[0]["line"], {"function": f,
                                       "answer": "1" if f == "omp_get_num_threads" else "0"}


def request_inside(ev):
    s = ev.student
    if ev.lesson.calls_of("omp_set_num_threads"):
        for c in s.calls_of("omp_set_num_threads"):
            if s.region_of(c) is not None:
                yield c["line"], {}


def request_after(ev):
    """A request that no region opened after it follows: each region it could apply to
    came before it (regions in the same function, and in the helpers it calls)."""
    s = ev.student
    if not ev.lesson.calls_of("omp_set_num_threads"):
        return
    for c in s.calls_of("omp_set_num_threads"):
        if s.region_of(c) is not None:
            continue
        reached = s.reached(c["function"])
        if reached and all(at < c["offset"] for _, at in reached):
            yield c["line"], {}


def fixed_team(ev):
    theirs = ev.lesson.calls_of("omp_set_num_threads")
    if not theirs or any("number" in (c["args"] or [{}])[0] for c in theirs):
        return
    for c in ev.student.calls_of("omp_set_num_threads"):
        if c["args"] and "number" in c["args"][0]:
            yield c["line"], {"size": c["args"][0]["number"]}


def reduction_watched(ev):
    """reduction on a variable the region also reads: those reads see the thread's own
    copy, not the team's sum the lesson's lines show."""
    s = ev.student
    for k in s.regions:
        d = s.directives[k]
        for var, kinds in d["clauses"].items():
            if "reduction" not in kinds:
                continue
            updates = {w["line"] for w in s.facts["writes"] if w["var"] == var}
            if any(u["var"] == var and u["line"] not in updates and s.region_of(u) == k
                   for u in s.facts["uses"]):
                yield d["line"], {"name": s.name(var)}


def result_in_copies(ev):
    """A result added into private or firstprivate copies and read after the region,
    where main's variable never changed."""
    s = ev.student
    # The lesson may show this on purpose: main's variable unchanged by the copies.
    shown = {(ev.lesson.name(var), kind) for k in ev.lesson.regions
             for var, kinds in ev.lesson.directives[k]["clauses"].items() for kind in kinds}
    for k in s.regions:
        d = s.directives[k]
        for var, kinds in d["clauses"].items():
            # lastprivate or reduction beside it does bring a value out.
            if set(kinds) & {"lastprivate", "reduction", "shared"}:
                continue
            kind = next((x for x in kinds if x in ("private", "firstprivate")), None)
            if kind is None or (s.name(var), kind) in shown:
                continue
            written = [w for w in s.facts["writes"] if w["var"] == var and s.region_of(w) == k]
            later = sorted((u for u in s.facts["uses"] if u["var"] == var
                            and u["offset"] is not None and d["body_end"] is not None
                            and u["offset"] > d["body_end"] and u["function"] == d["function"]),
                           key=lambda u: u["offset"])
            # Read after the region before anything is stored in it again.
            if written and later and not stored_at(s, var, later[0]["offset"]):
                yield d["line"], {"name": s.name(var), "kind": kind}


def lock_not_initialised(ev):
    s = ev.student

    def locks(call):  # the locks a call's first argument stands for, through helpers
        var = call["args"][0].get("var") if call["args"] else None
        return {v for v, _ in s.resolved(var, call)} if var else set()
    inited = set().union(*[locks(c) for c in s.calls_of("omp_init_lock")])
    for c in s.calls_of("omp_set_lock"):
        if locks(c) and not locks(c) & inited:
            yield c["line"], {}
            return


def stream_line(ev):
    """One line of output made by several << writes (in one statement or several), run
    by the team: a line is counted from a write that starts it to the one that ends it."""
    s = ev.student
    line = []  # the writes of the line being made
    for w in sorted(s.facts["streams"], key=lambda w: (w["function"] or "", w["offset"] or 0)):
        if line and w["function"] != line[0]["function"]:
            line = []
        if s.region_of(w) is None:
            continue
        line.append(w)
        if w["ends_line"]:
            # Under one critical section the line's writes come out together.
            if sum(x["writes"] for x in line) >= 2 and not all(
                    "critical" in s.kinds_around(x) for x in line):
                yield line[0]["line"], {}
                return
            line = []


def report_format(ev):
    theirs = [c["format"] for c in ev.lesson.printfs()]
    narrow = {names["line"] for _, names in narrow_type(ev)}  # told there, with the cause
    for call in ev.student.printfs():
        f = call["format"]
        if f in theirs or not theirs or call["line"] in narrow:
            continue
        near = difflib.get_close_matches(f, theirs, n=1, cutoff=0.6)
        if near:
            yield call["line"], {"format": f, "lesson": near[0]}


# (id, the evidence it needs, the rule)
RULES = [
    ("unknown_directive", (), unknown_directive),
    ("no_region", ("failed", "model", "lesson"), no_region),
    ("nested_region", ("failed", "model"), nested_region),
    ("result_too_soon", ("failed", "model", "lesson"), result_too_soon),
    ("result_by_one_too_soon", ("failed", "model", "lesson"), result_by_one_too_soon),
    ("shared_loop_counter", ("races", "model"), shared_loop_counter),
    ("reads_other_iteration", ("races", "model"), reads_other_iteration),
    ("read_too_early", ("races", "model"), read_too_early),
    ("critical_against_atomic", ("races", "model"), critical_against_atomic),
    ("private_needed", ("races", "model"), private_needed),
    ("unprotected_update", ("races", "model"), unprotected_update),
    ("plain_read", ("races", "model"), plain_read),
    ("uninitialised_copy", ("memory", "model"), uninitialised_copy),
    ("uninitialised_local", ("failed", "model"), uninitialised_local),
    ("out_of_bounds", ("failed", "model"), out_of_bounds),
    ("overflow", ("failed", "model"), overflow),
    ("for_instead_of_blocks", ("failed", "model", "lesson"), for_instead_of_blocks),
    ("loop_not_divided", ("failed", "model", "lesson"), loop_not_divided),
    ("schedule_differs", ("failed", "model", "lesson"), schedule_differs),
    ("asked_outside", ("failed", "model", "lesson"), asked_outside),
    ("request_inside", ("failed", "model", "lesson"), request_inside),
    ("request_after", ("failed", "model", "lesson"), request_after),
    ("fixed_team", ("failed", "model", "lesson"), fixed_team),
    ("reduction_watched", ("failed", "model"), reduction_watched),
    ("result_in_copies", ("failed", "model"), result_in_copies),
    ("lock_not_initialised", ("failed", "model"), lock_not_initialised),
    ("stream_line", ("failed", "model"), stream_line),
    ("narrow_type", ("failed", "model", "lesson"), narrow_type),
    ("report_format", ("failed", "model", "lesson"), report_format),
]

def diagnosis(rule, line, names):
    mistake, why, fix = (text.format(**names) for text in WORDS[rule])
    return {"id": rule, "mistake": mistake, "line": line, "why": why, "fix": fix}


def diagnose(doc, student, lesson, warnings=()):
    """The diagnoses of a verdict document (most telling first, each mistake once):
    `student` and `lesson` are model.Model of the two files, or None where there is
    none (clang missing, a file it could not parse)."""
    ev = Evidence(doc, student, lesson, warnings)
    for reason in ("no_main", "compile"):
        family = next((f for f in ev.failed.values() if f.get("reason") == reason), None)
        if family:
            return [not_built(reason, family)]
    found = []
    for rule, needs, finder in RULES:
        if not ev.has(needs):
            continue
        for line, names in finder(ev):
            d = diagnosis(rule, line, names)
            # Each mistake once, and one diagnosis to a line: the first, most telling.
            if all(d["mistake"] != f["mistake"] and (line is None or line != f["line"])
                   for f in found):
                found.append(d)
    return found


def not_built(reason, family):
    """The compiler's first error, as the one to put right first."""
    errors = [line for line in family.get("details", []) if re.search(r"\berror\b", line)]
    first = errors[0] if errors else (family.get("details") or [family["message"]])[0]
    m = re.search(r":(\d+):(?:\d+:)? (?:fatal )?error: (.*)", first)
    return diagnosis(reason, int(m.group(1)) if m and reason == "compile" else None,
                     {"said": m.group(2) if m else first.strip()})


# -- small readings of the models ----------------------------------------------------

def first_write_updates(model, var):
    """Whether the first store to `var` adds to it (reads it before any value is set)."""
    writes = sorted((w for w in model.facts["writes"] if w["var"] == var),
                    key=lambda w: w["offset"] or 0)
    return bool(writes) and writes[0]["update"]


def stored_at(model, var, offset):
    """Whether the use of `var` at `offset` is a plain store to it (x = ..., for (x = 0;"""
    return any(w["var"] == var and w["offset"] == offset and not w["update"]
               for w in model.facts["writes"])


def lesson_closing_formats(lesson):
    """The formats the lesson writes outside any region: once, when the team is done."""
    return {c["format"] for c in lesson.printfs() if lesson.region_of(c) is None}


def barrier_before(model, fact):
    """Whether the team waits for every thread before `fact`, in its region: a barrier,
    or the end of a for, sections or single without nowait."""
    region = model.region_of(fact)
    if fact["offset"] is None:
        return False
    for d in model.directives:
        if d["function"] != fact["function"] or region not in d["parents"]:
            continue
        if d["kind"] == "barrier" and d["begin"] is not None and d["begin"] < fact["offset"]:
            return True
        if d["kind"] in ("for", "sections", "single") and d["body_end"] is not None and \
                d["body_end"] < fact["offset"] and not re.search(r"\bnowait\b", d["text"]):
            return True
    return False


def schedule(text):
    m = re.search(r"schedule\s*\([^)]*\)", text)
    return m.group(0).replace(" ", "") if m else None


def base_type(qual):
    return re.sub(r"\b(const|volatile)\b|&", "", qual).strip()
