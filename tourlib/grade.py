"""Grading a class: every submission of one lesson judged by the check's families, a
progress line each, and a summary of the verdicts and of the mistakes by how many made
them; with an output folder, each verdict document, a gradebook (CSV), a JUnit report and
a summary (Markdown), each written whole, with a feedback file per student and Moodle's
grade sheet. A re-run judges again only the submissions whose file changed."""
import collections
import csv
import hashlib
import io
import json
import os
import re
import time

from . import catalogue, classfolder, feedback, sandbox
from .check import command
from .check.families import FAMILIES
from .files import write_whole
from .junit import junit
from .term import Failure, OutputLost, decoded, flush, printable, say

SHOWN = {"pass": "accepted", "fail": "rejected", "error": "cannot judge"}


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


def grade(name, paths, out, programs, scale=100):
    program = next((p for p in programs if p["name"] == name), None)
    if program is None:
        names = [p["name"] for p in programs]
        raise Failure(f"no program '{name}' to grade{catalogue.did_you_mean(name, names)}; "
                      f"valid names: "
                      f"{' '.join(p['name'] for p in programs)}")
    ok, why = sandbox.available()
    if not ok:
        raise Failure(f"students' files are run only in a sandbox, and there is none: {why}", 3)
    found, debris = classfolder.find(name, paths, outside=out)
    if out:
        try:
            os.makedirs(os.path.join(out, "feedback"), exist_ok=True)
        except OSError as e:
            raise Failure(f"cannot create {out}: {e.strerror}") from e
    results, start, judged_by = [], time.monotonic(), checker_digest()
    progress = Progress()
    if debris:
        shown = ", ".join(debris[:6]) + (f" and {len(debris) - 6} more" if len(debris) > 6 else "")
        progress.tell(f"left out, as no one's work: {shown}")
    ids = {}
    for k, s in enumerate(found, 1):
        student, ids[s.student] = s.student, s.id
        stored = os.path.join(out, safe(student) + ".json") if out else None
        previous = load(stored)
        if s.file is None:
            doc, kept = cannot_judge(name, s.file, s.why), False
        else:
            doc, kept = judge_one(program, s.file, previous, judged_by, s.in_folder)
        results.append((student, doc))
        progress.tell(f"[{k}/{len(found)}] {student}: {SHOWN[doc['status']]}"
                      + (f" ({first_diagnosis(doc)})" if doc["status"] != "pass" else "")
                      + (", unchanged" if kept else f", {doc['seconds']:.0f} s"))
        if stored and not kept:
            write_whole(stored, json.dumps(doc, indent=2, ensure_ascii=False) + "\n")
        if out:
            write_whole(os.path.join(out, "feedback", safe(student) + ".md"),
                        feedback.markdown(name, student, doc, scale))
    summary = summarise(name, results, time.monotonic() - start)
    progress.tell(summary)
    if out:
        write_whole(os.path.join(out, "gradebook.csv"), gradebook(results, ids, scale))
        write_whole(os.path.join(out, "moodle.csv"), feedback.moodle_sheet(
            [(student, ids[student], doc) for student, doc in results], scale, cell))
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


def gradebook(results, ids=None, scale=100):
    """One row per student: their name and id (where the platform gave one), the
    verdicts, the score on `scale`, the first mistake and the first note."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["student", "id", "file", "verdict"] + list(FAMILIES)
                    + ["score", "first_diagnosis", "first_note", "seconds"])
    for student, doc in results:
        families = {f["name"]: SHOWN[f["status"]] for f in doc.get("families", [])}
        writer.writerow([cell(student), cell((ids or {}).get(student, "")),
                         cell(doc.get("file", "")), SHOWN[doc["status"]]]
                        + [families.get(f, "") for f in FAMILIES]
                        + [feedback.score(doc, scale), cell(first_diagnosis(doc)),
                           cell(feedback.first_note(doc)), doc.get("seconds", 0)])
    return out.getvalue()
