"""A student's progress: what each --check and --watch of their own files found, lesson
by lesson and exercise by exercise, kept in the build folder (progress.json), and the
exercise to try next. --grade judges other people's files and never writes it.

The ledger is {"version": 1, "entries": {NAME: {"status": "accepted"|"rejected",
"when": ISO time, "file": as typed, "diagnosis": first mistake or failing family}}}."""
import json
import os
import time

from . import build, catalogue
from .files import read_regular, write_whole
from .term import BOLD, OFF, Failure, note, say, shown_path

VERSION = 1


def ledger_path():
    """The ledger: in the build folder, or SUITE_PROGRESS_FILE (the tests' own)."""
    return os.environ.get("SUITE_PROGRESS_FILE") or os.path.join(build.BUILD, "progress.json")


# A ledger of every lesson and exercise takes a few KiB.
CAP = 1 << 20
FIELDS = ("status", "when", "file", "diagnosis")


def read():
    """The entries as kept; none from a ledger that is missing, no regular file of a sane
    size, or damaged, and none of its entries that is malformed (a ledger starts again
    rather than stop a check)."""
    try:
        data = json.loads(read_regular(ledger_path(), cap=CAP).decode("utf-8"))
    except (Failure, OSError, ValueError):
        return {}
    if not isinstance(data, dict) or data.get("version") != VERSION \
            or not isinstance(data.get("entries"), dict):
        return {}
    return {k: v for k, v in data["entries"].items()
            if isinstance(v, dict) and all(isinstance(v.get(f), str) for f in FIELDS)
            and v["status"] in ("accepted", "rejected")}


def entry_of(doc, file, now=None):
    """The ledger's entry for a verdict document, or None for one that says nothing of
    the file (it could not be judged), or that accepted it by some families only."""
    every = len(doc["families"]) == 3
    if doc["status"] == "pass" and every:
        status, diagnosis = "accepted", ""
    elif doc["status"] == "fail":
        status = "rejected"
        found = doc.get("diagnoses") or []
        if found:
            first = found[0]
            diagnosis = first["mistake"] + (f" (line {first['line']})" if first["line"] else "")
        else:
            failed = next(f for f in doc["families"] if f["status"] == "fail")
            diagnosis = f"{failed['name']}: {failed['message']}"
    else:
        return None
    when = time.strftime("%Y-%m-%d %H:%M", time.localtime(now))
    entry = {"status": status, "when": when, "file": file, "diagnosis": diagnosis,
             "digest": doc.get("digest", "")}
    if doc["status"] == "fail" and doc.get("diagnoses"):
        first = doc["diagnoses"][0]  # what a hint on this file follows
        entry["first"] = {k: first.get(k) for k in ("id", "mistake", "line", "why", "fix")}
    return entry


def key_of(typed, lesson, source):
    """Whose progress a check is: the exercise named, or whose file was judged, else
    the lesson."""
    for exercise in catalogue.exercises():
        if typed == exercise["name"] or os.path.abspath(source) == exercise["path"]:
            return exercise["name"]
    return lesson


def record(name, doc, file):
    """Keeps what the verdict `doc` says of `file` as NAME's progress."""
    entry = entry_of(doc, os.path.abspath(file))
    if entry is None:
        return
    try:
        with build.locked(ledger_path() + ".lock", "keeping progress"):
            entries = read()
            entries[name] = entry
            write_whole(ledger_path(), json.dumps({"version": VERSION, "entries": entries},
                                                  indent=1, ensure_ascii=False) + "\n")
    except Failure as e:  # a ledger that cannot be written costs the student no verdict
        note(f"tour: your progress is not kept: {e.message}")


def next_exercise(entries):
    """The first exercise, in the catalogue's order, not accepted yet; None when all are."""
    return next((e for e in catalogue.exercises()
                 if entries.get(e["name"], {}).get("status") != "accepted"), None)


def state(entry):
    if entry is None:
        return "not tried"
    if entry["status"] == "accepted":
        return f"accepted ({entry['when']})"
    return f"rejected ({entry['when']}): {entry['diagnosis']}"


def show_next(entries):
    tour = shown_path(os.path.join(catalogue.ROOT, "tour"))
    exercise = next_exercise(entries)
    if exercise is None:
        say("next: every exercise is accepted; " + tour + " --list shows the lessons to read again")
        return
    say(f"next: {exercise['name']}: {exercise['summary']}")
    say(f"  {tour} --explain {exercise['name']} gives its task; {tour} --watch "
        f"{exercise['name']} checks it each time you save it")


def show(programs):
    """Every lesson and exercise with what is known of it, then the next exercise."""
    entries = read()
    width = max(len(n) for n in [p["name"] for p in programs]
                + [e["name"] for e in catalogue.exercises()])
    for title, names in (("lessons", [p["name"] for p in programs]),
                         ("exercises", [e["name"] for e in catalogue.exercises()])):
        done = sum(entries.get(n, {}).get("status") == "accepted" for n in names)
        say(f"{BOLD}{title}{OFF} ({done} of {len(names)} accepted)")
        for name in names:
            say(f"  {name:<{width}}  {state(entries.get(name))}")
    show_next(entries)
