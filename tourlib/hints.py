"""The hint ladder of an exercise: each ./tour --hint climbs one step, from the symptom
to the concept to the construct, and remembers where the student is (in the build
directory; a clone that cannot be written starts from the first step each time)."""
import difflib
import json
import os

from . import catalogue
from . import build
from .files import read_regular
from .term import BOLD, OFF, Failure, say



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


def hint(name, file=None):
    e = exercise_for(name, file)
    try:
        with open(os.path.join(build.BUILD, "hints.json")) as f:
            steps = json.load(f)
    except (OSError, ValueError):
        steps = {}
    step = min(steps.get(e["name"], 0), len(e["hints"]) - 1)
    for k in range(step + 1):
        mark = BOLD if k == step else ""
        say(f"{mark}hint {k + 1} of {len(e['hints'])} ({e['name']}):{OFF} {e['hints'][k]}")
    if step + 1 < len(e["hints"]):
        say(f"(./tour --hint {e['name']} again for the next one)")
    else:
        say("(that was the last hint: the check's diagnosis names the line and the way out)")
    steps[e["name"]] = step + 1
    try:
        os.makedirs(build.BUILD, exist_ok=True)
        temporary = os.path.join(build.BUILD, "hints.json.tmp")
        with open(temporary, "w") as f:
            json.dump(steps, f)
        os.replace(temporary, os.path.join(build.BUILD, "hints.json"))
    except OSError:
        pass
