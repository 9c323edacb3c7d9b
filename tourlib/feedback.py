"""What a teacher hands back, made from a verdict document: a student's score, their
feedback (Markdown, addressed to them: the verdict, each family, the mistakes with their
lines and the way out, the notes), and the grade sheet Moodle's grading worksheet
imports. Whatever in them came from a student's file is escaped (term.printable)."""
import csv
import io

from .check.families import FAMILIES
from .check.verdict import at_line
from .term import printable

SHOWN = {"pass": "accepted", "fail": "rejected", "error": "could not be judged"}


def score(doc, scale):
    """The share of the families passed, on `scale` (0 for a file that could not be
    judged), as a number that reads plainly: 100, 66.67, 0."""
    passed = sum(1 for f in doc.get("families", []) if f["status"] == "pass")
    value = round(scale * passed / len(FAMILIES), 2) if doc["status"] != "error" else 0
    return int(value) if value == int(value) else value


def first_note(doc):
    notes = doc.get("notes") or []
    return notes[0]["what"] if notes else ""


def _text(text):
    return printable(str(text), keep="")


def markdown(program, student, doc, scale):
    """The feedback file for one student."""
    out = [f"# {program}: {SHOWN[doc['status']]}", "",
           f"Student: {_text(student)}  ",
           f"Score: {score(doc, scale)} of {scale}", ""]
    if doc["status"] == "error":
        out += [f"Your file could not be judged: {_text(doc['message'])}.", ""]
    for family in doc.get("families", []):
        out.append(f"- **{family['name']}**: {SHOWN[family['status']]}: "
                   f"{_text(family['message'])}")
        for detail in family.get("details", [])[:5]:
            out.append(f"    - `{_text(detail).replace('`', chr(39))}`")
    if doc.get("families"):
        out.append("")
    for d in doc.get("diagnoses", []):
        out += [f"## The mistake{at_line(d)}: {_text(d['mistake'])}", "",
                f"Why: {_text(d['why'])}", "", f"The way out: {_text(d['fix'])}", ""]
    for n in doc.get("notes", []):
        out += [f"## A note{at_line(n)}: {_text(n['what'])}", "", f"Instead: {_text(n['instead'])}",
                ""]
    if doc["status"] == "fail" and not doc.get("diagnoses"):
        out += ["The families above say what went wrong; `./tour --check "
                f"{program} YOUR_FILE` shows the failing case whole.", ""]
    return "\n".join(out)


def comment(doc):
    """The feedback in one paragraph, for a grade sheet's comment cell."""
    words = [doc["message"]]
    words += [f"{d['mistake']}{at_line(d)}: {d['fix']}" for d in doc.get("diagnoses", [])]
    words += [f"note{at_line(n)}: {n['what']}; instead: {n['instead']}"
              for n in doc.get("notes", [])]
    return _text(". ".join(w.rstrip(".") for w in words))


def moodle_sheet(results, scale, cell):
    """Moodle's grading worksheet (the assignment's "Upload grading worksheet"): rows
    matched by Identifier ("Participant ID", from the names of Moodle's download), with
    the grade and the feedback comments. `cell` guards each text against formulas."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["Identifier", "Full name", "Grade", "Maximum Grade", "Feedback comments"])
    for student, student_id, doc in results:
        writer.writerow([f"Participant {cell(student_id)}" if student_id else "", cell(student),
                         score(doc, scale), scale, cell(comment(doc))])
    return out.getvalue()
