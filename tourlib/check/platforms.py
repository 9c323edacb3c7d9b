"""The verdict as course platforms read it, made from the verdict document:
  github      GitHub's workflow commands (::error file=F,line=N,title=T::message, notes as
              ::warning), which show each mistake on the student's own line in the commit
              and pull-request views;
  gitlab      a Code Quality report (the JSON list GitLab shows on merge-request lines:
              description, check_name, fingerprint, severity, location.path and
              location.lines.begin), beside a JUnit report;
  gradescope  Gradescope's results.json: the score, and one test per family with its
              name, score, max_score, status and output (the diagnosis).
Whatever came from the student (their file's name, their program's output) is escaped
for the format it goes into."""
import hashlib
import json

from .. import feedback
from ..term import printable
from .families import FAMILIES
from .verdict import SHOWN, at_line

FORMATS = ("text", "github", "gitlab", "gradescope")


def _one(text):
    return printable(str(text), keep="")


def findings(doc):
    """(severity, line, title, message) for each thing to show on a line of the file:
    each mistake, each note, and each failing family that no mistake explains (on the
    line a report names, else the first)."""
    out = []
    for d in doc.get("diagnoses", []):
        out.append(("error", d.get("line") or 1, d["mistake"],
                    f"{d['why']}. The way out: {d['fix']}"))
    for n in doc.get("notes", []):
        out.append(("warning", n.get("line") or 1, "slower than it needs to be",
                    f"{n['what']}. Instead: {n['instead']}"))
    if doc["status"] != "pass" and not doc.get("diagnoses"):
        for family in doc.get("families", []):
            if family["status"] == "pass":
                continue
            lines = [place["line"] for case in family.get("cases", [])
                     for place in case.get("lines", []) if place.get("line")]
            out.append(("error", lines[0] if lines else 1,
                        f"{family['name']} {SHOWN[family['status']]}", family["message"]))
        if not doc.get("families"):
            out.append(("error", 1, "not judged", doc["message"]))
    return out


def _data(text):
    """A workflow command's message: % and line breaks written out, as GitHub reads them."""
    return (printable(str(text), keep="\n").replace("%", "%25").replace("\r", "%0D")
            .replace("\n", "%0A"))


def _property(text):
    return _data(text).replace(":", "%3A").replace(",", "%2C")


def github(doc):
    """The workflow commands, one line each."""
    return [f"::{severity} file={_property(doc['file'])},line={line},"
            f"title={_property(title)}::{_data(message)}"
            for severity, line, title, message in findings(doc)]


def code_quality(doc):
    """GitLab's Code Quality report, as a list of issues."""
    severity = {"error": "major", "warning": "minor"}
    issues = []
    for kind, line, title, message in findings(doc):
        check = "openmp-lessons/" + ("note" if kind == "warning" else "mistake")
        fingerprint = hashlib.sha256("\0".join(
            [_one(doc["file"]), check, _one(title), str(line)]).encode()).hexdigest()[:32]
        issues.append({"description": _one(f"{title}: {message}"), "check_name": check,
                       "fingerprint": fingerprint, "severity": severity[kind],
                       "location": {"path": _one(doc["file"]).removeprefix("./"),
                                    "lines": {"begin": int(line)}}})
    return issues


def family_output(doc, family):
    """A family's verdict as Gradescope shows a test's output: its message, the
    compiler's lines, and the mistakes."""
    out = [_one(family["message"])]
    out += ["  " + _one(line) for line in family.get("details", [])[:10]]
    if family["status"] != "pass":
        for d in doc.get("diagnoses", []):
            out += [f"The mistake{at_line(d)}: {_one(d['mistake'])}", f"  why: {_one(d['why'])}",
                    f"  the way out: {_one(d['fix'])}"]
    return "\n".join(out)


def gradescope(doc, scale):
    """Gradescope's results.json for one submission: each family worth an equal share of
    `scale`; a file that could not be judged gets 0, with why."""
    # Equal shares that add up to the scale exactly: the first takes what rounding left.
    share = round(scale / len(FAMILIES), 2)
    shares = [round(scale - share * (len(FAMILIES) - 1), 2)] + [share] * (len(FAMILIES) - 1)
    families = {f["name"]: f for f in doc.get("families", [])}
    tests = []
    for name, worth in zip(FAMILIES, shares):
        family = families.get(name) or {"name": name, "status": "error",
                                        "message": doc["message"], "details": []}
        passed = family["status"] == "pass" and doc["status"] != "error"
        tests.append({"name": name, "score": worth if passed else 0, "max_score": worth,
                      "status": "passed" if passed else "failed",
                      "output": family_output(doc, family)})
    notes = [f"note{at_line(n)}: {_one(n['what'])}; instead: {_one(n['instead'])}"
             for n in doc.get("notes", [])]
    # The score is the gradebook's (the share of families passed, on the scale), which
    # the tests' own scores give to within a rounding.
    return {"score": feedback.score(doc, scale),
            "output": "\n".join([_one(doc["message"])] + notes),
            "tests": tests}


def dumps(value):
    return json.dumps(value, indent=2, ensure_ascii=False) + "\n"
