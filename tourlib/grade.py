"""Grading a class: every submission of one lesson judged by the check's families, a
progress line each, and a summary of the verdicts and of the mistakes by how many made
them; with an output folder, each verdict document, a gradebook (CSV), a JUnit report and
a summary (Markdown), each written whole. A re-run judges again only the submissions
whose file changed."""
import collections
import csv
import hashlib
import io
import json
import os
import time
from xml.sax.saxutils import escape, quoteattr

from . import sandbox
from .check import command
from .check.checker import SOURCE_SUFFIXES
from .check.families import FAMILIES
from .files import write_whole
from .term import Failure, flush, say

SHOWN = {"pass": "accepted", "fail": "rejected", "error": "cannot judge"}


def submissions(name, paths):
    """(student, file or None, why not) for each PATH: a file, or a folder per student
    holding NAME.cpp or one C++ file."""
    found = []
    for path in paths:
        student = os.path.basename(os.path.normpath(path))
        if os.path.isfile(path):
            found.append((os.path.splitext(student)[0], path, None))
            continue
        if not os.path.isdir(path):
            found.append((student, None, "no such file or folder"))
            continue
        try:
            files = sorted(f for f in os.listdir(path) if f.endswith(SOURCE_SUFFIXES)
                           and os.path.isfile(os.path.join(path, f)))
        except OSError as e:
            found.append((student, None, f"cannot read the folder: {e.strerror}"))
            continue
        chosen = [f for f in files if os.path.splitext(f)[0] == name] or files
        if len(chosen) != 1:
            found.append((student, None, "no C++ file in it" if not chosen else
                          f"several C++ files and none called {name}.cpp"))
        else:
            found.append((student, os.path.join(path, chosen[0]), None))
    seen = collections.Counter(s for s, _, _ in found)
    return [(s if seen[s] == 1 else f"{s} ({os.path.dirname(f or '') or '.'})", f, why)
            for s, f, why in found]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def checker_digest():
    """What judged: the package's own code, so that a stored verdict is judged again when
    the check changes."""
    h = hashlib.sha256()
    for folder, _, files in sorted(os.walk(os.path.dirname(os.path.abspath(__file__)))):
        for name in sorted(f for f in files if f.endswith(".py")):
            with open(os.path.join(folder, name), "rb") as f:
                h.update(f.read())
    return h.hexdigest()


def cannot_judge(name, file, why):
    return {"version": 1, "program": name, "file": file or "", "status": "error",
            "message": f"cannot judge: {why}", "seconds": 0, "families": [], "diagnoses": []}


def first_diagnosis(doc):
    if doc["status"] == "error":
        return doc["message"].replace("cannot judge: ", "", 1)
    if doc.get("diagnoses"):
        return doc["diagnoses"][0]["mistake"]
    bad = [f for f in doc.get("families", []) if f["status"] != "pass"]
    return bad[0]["message"] if bad else ""


def judge_one(program, file, previous, judged_by):
    """The verdict on one submission: the stored one if neither its file nor the check
    changed since."""
    try:
        source = os.path.realpath(file)
        if previous and (previous.get("digest"), previous.get("judged_by")) == (
                digest(source), judged_by):
            return previous, True
        program, source = command.resolve(program["name"], file, [program])
        doc = command.judge(program, source, list(FAMILIES), text=False, sandboxed=True)
        doc["judged_by"] = judged_by
        return doc, False
    except Failure as e:
        return cannot_judge(program["name"], file, e.message or "the check failed"), False
    except OSError as e:
        return cannot_judge(program["name"], file, e.strerror or str(e)), False


def grade(name, paths, out, programs):
    program = next((p for p in programs if p["name"] == name), None)
    if program is None:
        raise Failure(f"no program '{name}' to grade; valid names: "
                      f"{' '.join(p['name'] for p in programs)}")
    ok, why = sandbox.available()
    if not ok:
        raise Failure(f"students' files are run only in a sandbox, and there is none: {why}", 3)
    found = submissions(name, paths)
    if out:
        try:
            os.makedirs(out, exist_ok=True)
        except OSError as e:
            raise Failure(f"cannot create {out}: {e.strerror}") from e
    results, start, judged_by = [], time.monotonic(), checker_digest()
    for k, (student, file, why) in enumerate(found, 1):
        stored = os.path.join(out, safe(student) + ".json") if out else None
        previous = load(stored)
        if file is None:
            doc, kept = cannot_judge(name, file, why), False
        else:
            doc, kept = judge_one(program, file, previous, judged_by)
        results.append((student, doc))
        say(f"[{k}/{len(found)}] {student}: {SHOWN[doc['status']]}"
            + (f" ({first_diagnosis(doc)})" if doc["status"] != "pass" else "")
            + (", unchanged" if kept else f", {doc['seconds']:.0f} s"))
        flush()
        if stored and not kept:
            write_whole(stored, json.dumps(doc, indent=2, ensure_ascii=False) + "\n")
    summary = summarise(name, results, time.monotonic() - start)
    for line in summary.splitlines():
        say(line)
    if out:
        write_whole(os.path.join(out, "gradebook.csv"), gradebook(results))
        write_whole(os.path.join(out, "junit.xml"), junit(name, results))
        write_whole(os.path.join(out, "summary.md"), summary + "\n")
    if any(doc["status"] == "error" for _, doc in results):
        raise Failure(None, 3)


def safe(student):
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in student) or "_"


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError, TypeError):
        return None


def summarise(name, results, seconds):
    counts = collections.Counter(doc["status"] for _, doc in results)
    total = len(results)
    lines = [f"# {name}: {total} submission{'s' if total != 1 else ''}", "",
             f"{counts['pass']} accepted, {counts['fail']} rejected, "
             f"{counts['error']} could not be judged ({seconds:.0f} s)"]
    mistakes = collections.Counter(first_diagnosis(doc) for _, doc in results
                                   if doc["status"] == "fail")
    if mistakes:
        lines += ["", "Mistakes, by how many made them:"]
        lines += [f"- {n} of {total}: {m}" for m, n in mistakes.most_common()]
    return "\n".join(lines)


def gradebook(results):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["student", "file", "verdict"] + list(FAMILIES) + ["first_diagnosis",
                                                                       "seconds"])
    for student, doc in results:
        families = {f["name"]: SHOWN[f["status"]] for f in doc.get("families", [])}
        writer.writerow([student, doc.get("file", ""), SHOWN[doc["status"]]]
                        + [families.get(f, "") for f in FAMILIES]
                        + [first_diagnosis(doc), doc.get("seconds", 0)])
    return out.getvalue()


def junit(name, results):
    """One test case per submission and family, as CI systems read them."""
    cases, failures, errors = [], 0, 0
    for student, doc in results:
        families = doc.get("families") or [{"name": "check", "status": "error",
                                            "message": doc["message"]}]
        for family in families:
            body = ""
            if family["status"] == "fail":
                failures += 1
                detail = "\n".join(f"{d['mistake']} (line {d['line']}): {d['fix']}"
                                   for d in doc.get("diagnoses", []))
                body = (f"<failure message={quoteattr(family['message'])}>"
                        f"{escape(detail)}</failure>")
            elif family["status"] == "error":
                errors += 1
                body = f"<error message={quoteattr(family['message'])}/>"
            cases.append(f'    <testcase classname={quoteattr(name + "." + student)} '
                         f'name={quoteattr(family["name"])} time="{doc.get("seconds", 0)}">'
                         f"{body}</testcase>")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<testsuites>\n'
            f'  <testsuite name={quoteattr(name)} tests="{len(cases)}" failures="{failures}" '
            f'errors="{errors}">\n' + "\n".join(cases) + "\n  </testsuite>\n</testsuites>\n")
