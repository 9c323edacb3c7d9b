"""The hint ladder of an exercise: each ./tour --hint climbs one step, from the symptom
to the concept to the construct, and remembers where the student is (in the build
directory; a clone that cannot be written starts from the first step each time).

A hint follows the file: when the student's last check of it (their progress) is of
this very content, an accepted file gets no hint, and a rejected one climbs its own
diagnosis (the mistake and its line, why, the way out) instead of the exercise's fixed
ladder. The ladder starts again when the file or its diagnosis changes."""
import difflib
import glob
import hashlib
import json
import os

from . import build, catalogue, progress
from .files import read_regular
from .term import BOLD, OFF, Failure, printable, say


def exercise_for(name, file):
    """The exercise NAME, or the exercise whose fix FILE is, as the lesson NAME."""
    e = catalogue.exercise(name)
    if e:
        return e
    candidates = [x for x in catalogue.exercises() if x["becomes"] == name]
    if not candidates:
        names = [x["name"] for x in catalogue.exercises()]
        raise Failure(f"no hints for '{name}'{catalogue.did_you_mean(name, names)}: hints "
                      "belong to the exercises (./tour --list)")
    lessons = [p for p in glob.glob(os.path.join(catalogue.ROOT, "*", name + ".cpp"))
               if os.path.dirname(p) != catalogue.EXERCISES]
    if file and any(os.path.realpath(file) == os.path.realpath(p) for p in lessons):
        raise Failure(f"{file} is the lesson {name} itself, which is right as it stands: "
                      "hints belong to the exercises (./tour --list)")
    if len(candidates) == 1 or not file:
        if len(candidates) > 1:
            raise Failure(f"'{name}' is what several exercises become "
                          f"({', '.join(x['name'] for x in candidates)}): name the exercise")
        return candidates[0]
    text = read_regular(file).decode(errors="replace")

    def likeness(x):
        with open(x["path"], errors="replace") as f:
            return difflib.SequenceMatcher(None, f.read(), text).ratio()
    return max(candidates, key=likeness)


def ladder(e, file):
    """(the steps, what they follow) for exercise `e`: the diagnosis of the student's
    last check of `file` when that check judged this very content, else the exercise's
    own hints. None when that check accepted it."""
    path = os.path.abspath(file or e["path"])
    entry = progress.read().get(e["name"])
    try:
        digest = hashlib.sha256(read_regular(path)).hexdigest()
    except (Failure, OSError):
        digest = None
    if not entry or entry.get("file") != path or entry.get("digest") != digest:
        return e["hints"], "exercise"
    if entry["status"] == "accepted":
        return None, "accepted"
    first = entry.get("first")
    if not isinstance(first, dict) or not all(isinstance(first.get(k), str)
                                              for k in ("id", "mistake", "why", "fix")):
        return e["hints"], "exercise"
    where = f" (line {first['line']})" if isinstance(first.get("line"), int) else ""
    steps = [f"your last check says: {first['mistake']}{where}. What does that line do "
             "when several threads run it?", f"why: {first['why']}",
             f"the way out: {first['fix']}"]
    return [printable(step) for step in steps], f"{first['id']}:{digest}"


def hint(name, file=None):
    e = exercise_for(name, file)
    try:
        with open(os.path.join(build.BUILD, "hints.json")) as f:
            steps = json.load(f)
    except (OSError, ValueError):
        steps = {}
    hints, follows = ladder(e, file)
    if hints is None:
        say(f"your last check accepted {file or e['path']}: no hint needed")
        steps.pop(e["name"], None)
        hints = []
    else:
        # The ladder climbed so far, if it is this one; else its first step.
        kept = steps.get(e["name"])
        at = kept.get("step", 0) if isinstance(kept, dict) and kept.get("follows") == follows \
            else 0
        step = min(at, len(hints) - 1)
        for k in range(step + 1):
            mark = BOLD if k == step else ""
            say(f"{mark}hint {k + 1} of {len(hints)} ({e['name']}):{OFF} {hints[k]}")
        if step + 1 < len(hints):
            say(f"(./tour --hint {e['name']} again for the next one)")
        elif follows == "exercise":
            say("(that was the last hint: the check's diagnosis names the line and the way out)")
        else:
            say("(that was the last hint: put it right, and check again)")
        steps[e["name"]] = {"step": step + 1, "follows": follows}
    try:
        os.makedirs(build.BUILD, exist_ok=True)
        temporary = os.path.join(build.BUILD, "hints.json.tmp")
        with open(temporary, "w") as f:
            json.dump(steps, f)
        os.replace(temporary, os.path.join(build.BUILD, "hints.json"))
    except OSError:
        pass
