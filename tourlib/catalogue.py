"""The catalogue: the one reader of the programs manifest that the build writes
(programs.tsv) and of the exercises' catalogue (exercises/catalogue.json), and the one
place that knows which environment variables belong to the OpenMP runtimes."""
import json
import os

from .term import Failure

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
EXERCISES = os.path.join(ROOT, "exercises")
CATALOGUE = os.path.join(EXERCISES, "catalogue.json")
FAMILIES = ("behaviour", "races", "memory")

# The variables through which the runtimes (GCC's, LLVM's) are configured: a run that
# must show the runtime's defaults starts without any of them.
RUNTIME_PREFIXES = ("OMP_", "GOMP_", "KMP_")

MANIFEST_FIELDS = ("name", "folder", "path", "source", "lesson")
EXERCISE_FIELDS = ("name", "becomes", "family", "also", "sometimes", "summary", "task",
                   "line", "hints")


def runtime_variable(name):
    return name.startswith(RUNTIME_PREFIXES)


def clean_environment(extra=(), base=None):
    """`base` (this process's environment by default) without the runtimes' variables,
    then `extra` (a mapping or pairs)."""
    env = {k: v for k, v in (os.environ if base is None else base).items()
           if not runtime_variable(k)}
    env.update(extra)
    return env


def read_manifest(build_dir):
    """The programs of a build, in lesson order: one dict per program, with its name,
    folder, path of the built executable, source (relative to the clone) and lesson."""
    path = os.path.join(build_dir, "programs.tsv")
    try:
        with open(path) as f:
            rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    except OSError:
        raise Failure(f"no program manifest in {build_dir}") from None
    if any(len(row) != len(MANIFEST_FIELDS) for row in rows):
        raise Failure(f"{path} is damaged: rebuild ({len(MANIFEST_FIELDS)} fields per line)")
    return [dict(zip(MANIFEST_FIELDS, row)) for row in rows]


def exercises(folder=EXERCISES):
    """The exercises, in the catalogue's order: each entry of the folder's catalogue.json
    with the path of its file added."""
    path = os.path.join(folder, "catalogue.json")
    try:
        with open(path) as f:
            entries = json.load(f)["exercises"]
        return [dict(e, path=os.path.join(folder, e["name"] + ".cpp")) for e in entries]
    except OSError:
        return []
    except (ValueError, KeyError, TypeError) as e:
        raise Failure(f"{os.path.relpath(path)} is not a valid catalogue: {e!r}", 1) from e


def exercise(name):
    return next((e for e in exercises() if e["name"] == name), None)


def header(path):
    """The comment lines at the top of a source file, without their //."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError as e:
        raise Failure(f"cannot read {os.path.relpath(path)}: {e.strerror}", 1) from e
    lines = []
    for line in text.splitlines():
        if not line.startswith("//"):
            break
        lines.append(line[3:] if line.startswith("// ") else line[2:])
    return lines


def problems(lessons, folder=EXERCISES):
    """What is wrong between the catalogue and the files of `folder`, given the lessons'
    names: every entry needs its fields, its file and a lesson to become; every file its
    entry; the line it points at must be in the file."""
    found = []
    entries = exercises(folder)
    names = [e.get("name") for e in entries]
    files = sorted(f[:-4] for f in os.listdir(folder) if f.endswith(".cpp"))
    for e in entries:
        missing = [f for f in EXERCISE_FIELDS if f not in e]
        if missing:
            found.append(f"{e.get('name', '?')}: no {', '.join(missing)}")
            continue
        if names.count(e["name"]) > 1:
            found.append(f"{e['name']}: listed twice")
        if e["becomes"] not in lessons:
            found.append(f"{e['name']}: becomes '{e['becomes']}', which is no lesson")
        if e["family"] not in FAMILIES:
            found.append(f"{e['name']}: family '{e['family']}' is none of {', '.join(FAMILIES)}")
        others = e["also"] + e["sometimes"]
        if len(set(others)) < len(others) or not set(others) <= set(FAMILIES) - {e["family"]}:
            found.append(f"{e['name']}: also {e['also']} and sometimes {e['sometimes']} must "
                         "be other families, each named once")
        if not 2 <= len(e["hints"]) <= 3:
            found.append(f"{e['name']}: {len(e['hints'])} hints, not two or three")
        if not os.path.isfile(e["path"]):
            found.append(f"{e['name']}: no file {e['name']}.cpp")
            continue
        with open(e["path"]) as f:
            text = f.read()
        lines = text.splitlines()
        if not 0 < e["line"] <= len(lines) or not lines[e["line"] - 1].strip():
            found.append(f"{e['name']}: line {e['line']} is not a line of code in its file")
        if f"./tour --check {e['becomes']} exercises/{e['name']}.cpp" not in text:
            found.append(f"{e['name']}: its header does not give the command that checks it")
    for name in files:
        if name not in names:
            found.append(f"{name}.cpp: not in the catalogue")
    return found


def did_you_mean(name, names):
    """' (did you mean X?)' for the name among `names` closest to a mistyped `name`, or
    ''."""
    import difflib
    close = difflib.get_close_matches(name, names, n=1, cutoff=0.6)
    return f" (did you mean {close[0]}?)" if close else ""
