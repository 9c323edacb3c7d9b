"""The verdict as a document, and the text rendered from it.

The document (written by ./tour --check --json) is:
  {"version": 1, "program": NAME, "file": PATH, "status": "pass"|"fail"|"error",
   "message": one line, "seconds": wall time,
   "families": [{"name": "behaviour"|"races"|"memory", "status": "pass"|"fail"|"error",
                 "message": one line, "details": [lines] (the compiler's messages),
                 "reason": one of REASONS, only when the family failed for it,
                 "seconds": from the check's start to this family's verdict,
                 "skipped": [{"count": N, "reason": why}],
                 "cases": [{"name", "status": "pass"|"fail", "environment": [K=V...],
                            "processors": N (0: all), "command": to run it again,
                            "message": what went wrong, "lines": [{"file", "line",
                            "text", "label", and from the race detector "access":
                            "read"|"write", "atomic", "previous"}], "report": what
                            the detector found ("race", "uninitialised",
                            "out_of_bounds", "overflow", "leak", "other"),
                            "output": [lines], "output_lines": N,
                            "stderr": [lines]}]}]}
The check adds "digest", "sandboxed", "warnings", "diagnoses" (mistake, line, why, fix),
"notes" (line, what, instead), "changed" (from, lines) and, when they could not be
worked out, "unadvised" (why); the guide lists them all.
"pass": accepted; "fail": rejected; "error": it could not be judged (a tool missing, a
build that cannot be configured). Only failing cases carry lines, output and stderr."""
import os
import re
import shlex

from ..term import BOLD, OFF, RED, printable

VERSION = 1
# Why a family failed or could not judge, when the cases' own failures are not why: the
# file does not compile, or has no main; a run did not end; the sandbox stopped the
# harness; the file holds what the check does not take.
REASONS = ("compile", "no_main", "hang", "sandbox", "refused")
EXIT = {"pass": 0, "fail": 1, "error": 3}
SHOWN = {"pass": "passed", "fail": "failed", "error": "not checked"}


def command(case):
    """The command that runs a case's program as the case last ran it ("" for a case
    that ran no program: a look at how it was built)."""
    if not case.path:
        return ""
    words = [shlex.quote(v) for v in case.told + case.environment]
    if case.processors and not case.told:
        words.append(f"taskset -c 0-{case.processors - 1}" if case.processors > 1
                     else "taskset -c 0")
    words += [shown(case.path)] + [argument(a) for a in case.arguments]
    return " ".join(words)


def argument(text):
    """An argument as typed from here: a path in it (alone, or after --option=) shown as
    a path is."""
    option, equals, value = text.partition("=")
    if text.startswith("/"):
        return shown(text)
    if equals and option.startswith("-") and value.startswith("/"):
        return option + "=" + shown(value)
    return shlex.quote(text)


def shown(path):
    """A path as typed from here: relative within this folder's tree, else whole."""
    rel = os.path.relpath(path)
    if rel.startswith(".."):
        return shlex.quote(path)
    return shlex.quote(rel if rel.startswith(".") else "./" + rel)


def clipped(lines, width=300):
    """Lines as a verdict shows them: a line longer than `width` cut, saying so."""
    return [line if len(line) <= width else line[:width] + f"... ({len(line) - width} more)"
            for line in lines]


def case_doc(case, failed, message="", lines=(), stderr=True, report=None):
    doc = {"name": case.name, "status": "fail" if failed else "pass",
           "environment": case.environment, "processors": case.processors,
           "command": command(case)}
    if failed:
        printed = case.stdout.splitlines()
        total = max(case.stdout_lines, len(printed))
        if total > 10:  # the first lines and the last ones, where a closing line stands
            tail = (case.stdout_tail or case.stdout).splitlines()[-3:]
            printed = printed[:6] + [f"... ({total - 9} more)"] + tail
        doc.update(message=message, lines=list(lines), output=clipped(printed),
                   output_lines=total,
                   stderr=clipped(case.stderr.splitlines()[:6]) if stderr else [])
        if report:
            doc["report"] = report
    return doc


def family_doc(name, status, message, cases=(), skipped=(), details=(), reason=None):
    """A family's verdict; `reason` (one of REASONS) says why it failed or could not
    judge when that was not the cases' own failures."""
    assert reason is None or reason in REASONS, reason
    doc = {"name": name, "status": status, "message": message, "details": list(details),
           "skipped": list(skipped), "cases": list(cases)}
    if reason:
        doc["reason"] = reason
    return doc


def said(case):
    """What went wrong in a failed case, in the student's words: the check its test
    recorded (what was checked, what the lesson gives and what the program gave, and in
    which run); for a case that failed without recording one (the harness's own code
    failed), the first line of the failure."""
    c = case.compared
    if c is not None:
        out = c.what
        if c.got or c.want:
            out += f": the lesson gives {c.want}, the program gave {c.got}"
        return out + (f" ({c.when})" if c.when else "")
    lines = (line.strip() for failure in case.failures[:1] for line in failure.splitlines())
    first = next((line for line in lines if line and line != "unknown file"
                  and not re.fullmatch(r"\S+:\d+:?", line)), "")
    return f"it failed: {clipped([printable(first)])[0]}" if first else "it failed"


def document(program, file, families, seconds):
    statuses = [f["status"] for f in families]
    status = "fail" if "fail" in statuses else "error" if "error" in statuses else "pass"
    bad = [f"{f['name']} {SHOWN[f['status']]}" for f in families if f["status"] != "pass"]
    names = [f["name"] for f in families]
    every = ("every family passed" if len(names) == 3 else
             f"{' and '.join(names)} passed (the other families were not checked)")
    message = {"pass": f"accepted: {every}",
               "fail": f"not accepted ({', '.join(bad)})",
               "error": f"cannot judge ({', '.join(bad)})"}[status]
    return {"version": VERSION, "program": program, "file": file, "status": status,
            "message": message, "seconds": round(seconds, 1), "families": families}


def one(text):
    """A field of a verdict as one line of text: whatever in it came from the student's
    file or program (their code, their output, a name) acts on no terminal and starts no
    line of its own."""
    return printable(str(text), keep="\t")


def render_family(family):
    """The text of one family: its verdict, then its first failing case."""
    mark = RED if family["status"] != "pass" else ""
    out = [f"{BOLD}{family['name']:<10}{OFF} {mark}{SHOWN[family['status']]}{OFF}: "
           f"{one(family['message'])}"]
    out += ["    " + one(line) for line in family["details"]]
    for case in family["cases"]:
        if case["status"] == "fail":
            out += render_case(case)
            break
    return out


def render_case(case):
    where = ", ".join(case["environment"] + ([f"processors={case['processors']}"]
                                              if case["processors"] else []))
    out = [f"first failing case: {where or 'the default environment'}"]
    if case["command"]:
        out.append(f"  run it: {one(case['command'])}")
    out += ["  " + one(line) for line in case["message"].splitlines()]
    for place in case["lines"]:
        label = f"   ({one(place['label'])})" if place["label"] else ""
        out.append(f"    {one(place['file'])}:{place['line']}:  {one(place['text'])}{label}")
    if case["output"]:
        out.append("  the program printed:" if case["output_lines"] <= 10 else
                   f"  the program printed {case['output_lines']} lines; the first and the last:")
        out += ["    " + one(line) for line in case["output"]]
    elif not case["stderr"] and not case["lines"]:
        out.append("  the program printed nothing")
    if case["stderr"] and not case["lines"]:
        out.append("  and on stderr:")
        out += ["    " + one(line) for line in case["stderr"]]
    return out


def render_diagnoses(doc):
    """The lines the student changed, then each mistake found, with its line, why it goes
    wrong and the way out."""
    out = []
    changed = doc.get("changed")
    if changed and changed["lines"]:
        shown = ", ".join(str(k) for k in changed["lines"][:12])
        out.append(f"your changes from {one(changed['from'])}: "
                   f"line{'s' if len(changed['lines']) > 1 else ''} "
                   f"{shown}{' ...' if len(changed['lines']) > 12 else ''}")
    if doc.get("unadvised"):
        out.append(f"no advice on this file: {doc['unadvised']}; the families' verdicts stand")
    for d in doc.get("diagnoses", []):
        where = f" ({one(doc['file'])}:{d['line']})" if d["line"] else ""
        out += [f"{BOLD}the mistake{OFF}: {one(d['mistake'])}{where}",
                f"  why: {one(d['why'])}", f"  the way out: {one(d['fix'])}"]
    return out


def at_line(finding):
    """" (line N)" for a diagnosis or note that names its line, else nothing."""
    return f" (line {finding['line']})" if finding.get("line") else ""


def render_notes(doc):
    """What an accepted version does more slowly than it needs to."""
    out = []
    for n in doc.get("notes", []):
        where = f" ({one(doc['file'])}:{n['line']})" if n.get("line") else ""
        out += [f"note{where}: {one(n['what'])}",
                f"  instead: {one(n['instead'])}"]
    return out


def render_skips(families, verbose=True):
    """Each reason for skipping cases once, whole, with how many cases of which families
    it kept from running; or, not `verbose`, one line with how many were not run."""
    reasons = {}
    for family in families:
        for skip in family["skipped"]:
            entry = reasons.setdefault(skip["reason"], [0, []])
            entry[0] += skip["count"]
            entry[1].append(family["name"])
    if not verbose and reasons:
        count = sum(count for count, _ in reasons.values())
        return [f"({count} case{'s' if count > 1 else ''} not run on this machine; "
                "--verbose says why)"]
    return [f"{count} case{'s' if count > 1 else ''} skipped ({', '.join(names)}): {reason}"
            for reason, (count, names) in reasons.items()]


def skipped_groups(cases):
    reasons = [c.skip_reason or "no reason given" for c in cases if c.skipped]
    return [{"count": reasons.count(r), "reason": r}
            for r in sorted(set(reasons), key=reasons.index)]
