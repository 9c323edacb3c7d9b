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
import re
import time
from xml.sax.saxutils import escape, quoteattr

from . import catalogue, sandbox
from .check import command
from .check.checker import SOURCE_SUFFIXES
from .check.families import FAMILIES
from .files import write_whole
from .term import Failure, OutputLost, decoded, flush, printable, say

SHOWN = {"pass": "accepted", "fail": "rejected", "error": "cannot judge"}


def submissions(name, paths):
    """(student, file or None, why not, whether the file is in a student's folder) for
    each PATH: a file, or a folder per student holding NAME.cpp or one C++ file. A student's name is the file's or folder's, as
    text; a link is never followed into (a link to a classmate's file is no submission)."""
    found = []
    for path in paths:
        student = decoded(os.path.basename(os.path.normpath(path)))
        if os.path.islink(path):
            found.append((student, None, "a link, not a file or folder: hand in the file itself",
                          False))
            continue
        if os.path.isfile(path):
            found.append((os.path.splitext(student)[0], path, None, False))
            continue
        if not os.path.isdir(path):
            found.append((student, None, "no such file or folder", False))
            continue
        try:
            entries = sorted(f for f in os.listdir(path) if f.endswith(SOURCE_SUFFIXES))
        except OSError as e:
            found.append((student, None, f"cannot read the folder: {e.strerror}", True))
            continue
        files = [f for f in entries if not os.path.islink(os.path.join(path, f))
                 and os.path.isfile(os.path.join(path, f))]
        links = [f for f in entries if os.path.islink(os.path.join(path, f))]
        chosen = [f for f in files if os.path.splitext(f)[0] == name] or files
        if len(chosen) != 1:
            why = ("no C++ file in it" if not chosen else
                   f"several C++ files and none called {name}.cpp")
            if not chosen and links:
                why = "its C++ file is a link: hand in the file itself"
            found.append((student, None, why, True))
        else:
            found.append((student, os.path.join(path, chosen[0]), None, True))
    seen = collections.Counter(s for s, _, _, _ in found)
    return [(s if seen[s] == 1 else f"{s} ({decoded(os.path.dirname(f or '')) or '.'})", f,
             why, in_folder) for s, f, why, in_folder in found]


# What a verdict follows from, besides the file: the check's own code, the test suite's
# cases and their support (tests/), the build's definitions and the exercises' catalogue.
JUDGED_BY = [("tourlib", (".py",)), ("tests", (".cpp", ".hpp", ".in", ".txt", ".supp")),
             ("cmake", (".cmake",)), ("common", (".cpp", ".txt")), (".", ("CMakeLists.txt",
              "CMakePresets.json")), ("exercises", ("catalogue.json",))]


def checker_digest():
    """What judged, as one digest: a stored verdict is judged again when any of it
    changes."""
    h = hashlib.sha256()
    for top, endings in JUDGED_BY:
        root = os.path.join(catalogue.ROOT, top)
        for folder, subfolders, names in os.walk(root):  # in order: subfolders sorted
            subfolders[:] = [] if top == "." else sorted(
                d for d in subfolders if d not in ("fixtures", "__pycache__"))
            for name in sorted(n for n in names if n.endswith(endings)):
                path = os.path.join(folder, name)
                h.update(os.path.relpath(path, catalogue.ROOT).encode() + b"\0")
                with open(path, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


def cannot_judge(name, file, why):
    return {"version": 1, "program": name, "file": decoded(file or ""), "status": "error",
            "message": f"cannot judge: {why}", "seconds": 0, "families": [], "diagnoses": []}


def first_diagnosis(doc):
    if doc["status"] == "error":
        return doc["message"].replace("cannot judge: ", "", 1)
    if doc.get("diagnoses"):
        return doc["diagnoses"][0]["mistake"]
    bad = [f for f in doc.get("families", []) if f["status"] != "pass"]
    return bad[0]["message"] if bad else ""


def judge_one(program, file, previous, judged_by, in_folder=False):
    """The verdict on one submission, read once: the stored one if neither its content
    nor the check changed since."""
    try:
        program, source, shown, content = command.resolve(program["name"], file, [program],
                                                           follow_links=False,
                                                           in_folder=in_folder)
        if previous and (previous.get("program"), previous.get("digest"),
                         previous.get("judged_by")) == (
                program["name"], hashlib.sha256(content).hexdigest(), judged_by):
            return previous, True
        doc = command.judge(program, source, list(FAMILIES), text=False, sandboxed=True,
                            shown=shown, content=content)
        doc["judged_by"] = judged_by
        return doc, False
    except Failure as e:
        return cannot_judge(program["name"], file, e.message or "the check failed"), False
    except OSError as e:
        return cannot_judge(program["name"], file, e.strerror or str(e)), False
    except Exception as e:  # noqa: B902 - one file's trouble never stops the class
        return cannot_judge(program["name"], file, f"the check failed on this file "
                            f"({type(e).__name__}: {e}); the others go on"), False


def grade(name, paths, out, programs):
    program = next((p for p in programs if p["name"] == name), None)
    if program is None:
        names = [p["name"] for p in programs]
        raise Failure(f"no program '{name}' to grade{catalogue.did_you_mean(name, names)}; "
                      f"valid names: "
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
    progress = Progress()
    for k, (student, file, why, in_folder) in enumerate(found, 1):
        stored = os.path.join(out, safe(student) + ".json") if out else None
        previous = load(stored)
        if file is None:
            doc, kept = cannot_judge(name, file, why), False
        else:
            doc, kept = judge_one(program, file, previous, judged_by, in_folder)
        results.append((student, doc))
        progress.tell(f"[{k}/{len(found)}] {student}: {SHOWN[doc['status']]}"
                      + (f" ({first_diagnosis(doc)})" if doc["status"] != "pass" else "")
                      + (", unchanged" if kept else f", {doc['seconds']:.0f} s"))
        if stored and not kept:
            write_whole(stored, json.dumps(doc, indent=2, ensure_ascii=False) + "\n")
    summary = summarise(name, results, time.monotonic() - start)
    progress.tell(summary)
    if out:
        write_whole(os.path.join(out, "gradebook.csv"), gradebook(results))
        write_whole(os.path.join(out, "junit.xml"), junit(name, results))
        write_whole(os.path.join(out, "summary.md"), printable(summary) + "\n")
    progress.done()
    if any(doc["status"] == "error" for _, doc in results):
        raise Failure(None, 3)


class Progress:
    """The progress lines. A reader that goes away (| head) or an output that cannot be
    written does not stop the grading: the rest goes unsaid, the files are written, and
    the tour then ends as it would have (done() raises what was lost)."""

    def __init__(self):
        self.lost = None

    def tell(self, text):
        if self.lost is not None:
            return
        try:
            say(text)
            flush()
        except (BrokenPipeError, OutputLost) as e:
            self.lost = e

    def done(self):
        if self.lost is not None:
            raise self.lost


def safe(student):
    """A file name for the student's verdict: their name where it is plain, else its
    plain part, cut short, with a digest of the whole name; no two students share one
    (a plain name that looks like another's with its digest gets a digest of its own),
    and no name is too long, hidden or a path."""
    plain = "".join(c if c.isalnum() or c in "-_." else "_" for c in student).lstrip(".")
    if plain == student and len(student.encode()) <= 100 and not DIGESTED.search(student):
        return student
    while len(plain.encode()) > 72:
        plain = plain[:-1]
    return (plain or "_") + "-" + hashlib.sha256(student.encode(errors="backslashreplace")
                                                 ).hexdigest()[:16]


DIGESTED = re.compile(r"-[0-9a-f]{16}$")


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


def cell(text):
    """A text cell that a spreadsheet shows as text: no control character, and never
    taken for a formula (a leading = + - @, after blanks too, or their full-width forms,
    gets a ' first)."""
    text = printable(str(text), keep="")
    formula = text.lstrip(" ").startswith(("=", "+", "-", "@", "\uff1d", "\uff0b", "\uff0d",
                                           "\uff20"))
    return "'" + text if formula else text


def gradebook(results):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["student", "file", "verdict"] + list(FAMILIES) + ["first_diagnosis",
                                                                       "seconds"])
    for student, doc in results:
        families = {f["name"]: SHOWN[f["status"]] for f in doc.get("families", [])}
        writer.writerow([cell(student), cell(doc.get("file", "")), SHOWN[doc["status"]]]
                        + [families.get(f, "") for f in FAMILIES]
                        + [cell(first_diagnosis(doc)), doc.get("seconds", 0)])
    return out.getvalue()


def xml_text(text):
    """Text that XML 1.0 takes whatever the bytes were (control characters written out),
    escaped for an element's body."""
    return escape(printable(str(text)))


def xml_attribute(text):
    return quoteattr(printable(str(text)))


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
                body = (f"<failure message={xml_attribute(family['message'])}>"
                        f"{xml_text(detail)}</failure>")
            elif family["status"] == "error":
                errors += 1
                body = f"<error message={xml_attribute(family['message'])}/>"
            cases.append(f'    <testcase classname={xml_attribute(name + "." + student)} '
                         f'name={xml_attribute(family["name"])} time="{doc.get("seconds", 0)}">'
                         f"{body}</testcase>")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<testsuites>\n'
            f'  <testsuite name={xml_attribute(name)} tests="{len(cases)}" failures="{failures}" '
            f'errors="{errors}">\n' + "\n".join(cases) + "\n  </testsuite>\n</testsuites>\n")
