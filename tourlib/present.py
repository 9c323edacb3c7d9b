"""Presenting the lessons: running the programs under their headings, listing them and
the exercises, explaining one; and shortening long outputs (a pure function)."""
import os
import re
import subprocess
import textwrap

from . import catalogue
from .build import RUN_TIMEOUT
from .processes import stop
from .term import BOLD, CYAN, DIM, OFF, RED, Failure, flush, say, shown_path

NUMBER = re.compile(r"-?\d+(?:\.\d+)?")
THREAD_TAG = re.compile(r"hilo: (\d+)")


def shorten(lines, limit=40, keep=2, dim=("", "")):
    """Shortens long output so that it can be read without scrolling, yet still shows
    where each thread's block starts and ends: a run of lines of one shape whose first
    number goes up by one (one thread's block of a loop, say) is shown by its first
    `keep` lines and its last, with a line that says what was left out. Lines of other
    threads may interleave with a run; a thread tag ("hilo: N") splits runs. `dim` wraps
    the lines that say what was left out."""
    if len(lines) <= limit:
        return lines
    on, off = dim
    runs, open_runs, run_of = [], {}, []
    for line in lines:
        numbers = NUMBER.findall(line)
        if not numbers:
            run_of.append(None)
            continue
        tag = THREAD_TAG.search(line)
        shape = ("".join(NUMBER.sub("#", line).split()), tag.group(1) if tag else None)
        first = float(numbers[0])
        run = open_runs.pop((shape, first - 1), None)
        if run is None:
            run = {"lines": [], "values": []}
            runs.append(run)
        open_runs[(shape, first)] = run
        run["lines"].append(len(run_of))
        run["values"].append(numbers[0])
        run_of.append(run)
    shown = []
    for k, line in enumerate(lines):
        run = run_of[k]
        if run is None or len(run["lines"]) <= keep + 2:
            shown.append(line)
            continue
        position = run["lines"].index(k)
        if position < keep or position == len(run["lines"]) - 1:
            shown.append(line)
        if position == keep - 1:
            hidden = len(run["lines"]) - keep - 1
            shown.append(f"{on}   ... {hidden} lines not shown: this run goes on from "
                         f"{run['values'][keep]} to {run['values'][-2]} ...{off}")
    if len(shown) > limit:  # no runs to shorten: the first and last lines
        hidden = len(lines) - 20
        shown = lines[:15] + [f"{on}   ... {hidden} lines not shown ...{off}"] + lines[-5:]
    return shown


def run_programs(chosen, threads, full, broken=None, whole=False):
    """Runs each chosen program under its heading; a program in `broken` (the ones that
    do not compile, with the compiler's first error) gets that error instead. The whole
    tour ends saying what to try next."""
    broken = broken or {}
    inherited = sorted(f"{k}={v}" for k, v in os.environ.items() if catalogue.runtime_variable(k))
    if threads:
        inherited = [v for v in inherited if not v.startswith("OMP_NUM_THREADS=")]
    if inherited:
        say(f"note: your shell sets {' '.join(inherited)}; the programs below run with "
            f"{'it' if len(inherited) == 1 else 'them'} (unset to see the runtime's defaults)")
    env = dict(os.environ)
    prefix = ""
    if threads:
        env["OMP_NUM_THREADS"] = threads
        prefix = f"OMP_NUM_THREADS={threads} "
    failures = 0
    for k, p in enumerate(chosen):
        if k > 0 or inherited:
            say()
        say(f"{BOLD}{CYAN}== {p['name']}{OFF}  {DIM}({p['folder']}/){OFF}")
        say(f"   {p['lesson']}")
        if p["name"] in broken:
            say()
            say(f"{RED}!! {p['name']} does not compile:{OFF} {broken[p['name']]}")
            tour = shown_path(os.path.join(catalogue.ROOT, "tour"))
            say(f"   {DIM}the compiler's whole message: {tour} --check {p['name']}{OFF}")
            failures += 1
            continue
        say(f"   {DIM}$ {prefix}{shown_path(p['path'])}{OFF}")
        say()
        flush()
        out, status = run_one(p["path"], env)
        lines = out.decode(errors="replace").splitlines()
        for line in lines if full else shorten(lines, dim=(DIM, OFF)):
            say(line)
        if status is not None:
            say(f"{RED}!! {p['name']} {status}{OFF}")
            failures += 1
    say()
    if whole:
        tour = shown_path(os.path.join(catalogue.ROOT, "tour"))
        say(f"next: {tour} --explain NAME says what to look for in a program's output and "
            f"what to try; {tour} --list shows the exercises, and {tour} --check NAME "
            "judges your own version")
    if failures:
        raise Failure(f"{failures} program(s) failed", 1)


def run_one(path, env):
    """What the program printed, and None, or what went wrong: it failed, or it did not
    end in time (it and all it started are stopped then)."""
    try:
        process = subprocess.Popen([path], env=env, stdout=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, start_new_session=True)
    except OSError as e:
        raise Failure(f"cannot run {path}: {e.strerror}", 1) from e
    try:
        out, _ = process.communicate(timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        stop(process)
        out, _ = process.communicate()
        return out, f"did not end within {RUN_TIMEOUT} s, and was stopped"
    finally:
        stop(process)
    if process.returncode < 0:
        return out, f"was killed by signal {-process.returncode}"
    if process.returncode > 0:
        return out, f"exited with status {process.returncode}"
    return out, None


def list_all(programs):
    last = None
    for p in programs:
        if p["folder"] != last:
            last = p["folder"]
            say(f"{BOLD}{last}/{OFF}")
        say(f"  {p['name']:<20} {p['lesson']}")
    found = catalogue.exercises()
    if found:
        say(f"{BOLD}exercises/{OFF}  (find the bug: ./tour --explain NAME gives the task)")
        for e in found:
            say(f"  {e['name']:<20} {e['summary']}")


def caught_by(e):
    """Which families catch an exercise: its own every time, others in some runs only."""
    always = " and ".join([e["family"]] + e["also"])
    if not e["sometimes"]:
        return always + (", every time" if e["also"] else "")
    return f"{always}, every time; {' and '.join(e['sometimes'])} may catch it too"


def exercise_lines(e, programs):
    """An exercise told as its header tells it: summary, task, what it becomes, and the
    command that checks it."""
    folder = next((p["folder"] for p in programs if p["name"] == e["becomes"]), "?")
    return [e["summary"], e["task"],
            f"Becomes: {e['becomes']} ({folder}/). Caught by: {caught_by(e)}.",
            f"Check it: ./tour --check {e['becomes']} exercises/{e['name']}.cpp"]


def explain(name, programs):
    for p in programs:
        if p["name"] == name:
            path = os.path.join(catalogue.ROOT, p["source"])
            lines = catalogue.header(path)
            if not lines:
                raise Failure(f"{os.path.relpath(path)} has no header comment to explain it", 1)
            say(f"{BOLD}{name}{OFF} ({p['folder']}/)")
            for line in explanation(lines, programs):
                say(line)
            return
    e = catalogue.exercise(name)
    if e is None:
        known = [p["name"] for p in programs] + [e["name"] for e in catalogue.exercises()]
        raise Failure(f"no program or exercise '{name}'{catalogue.did_you_mean(name, known)}; "
                      f"valid names: {' '.join(known)}")
    say(f"{BOLD}{name}{OFF} (exercises/): find the bug")
    for line in explanation(exercise_lines(e, programs), programs, exercise=True):
        say(line)


def explanation(lines, programs, exercise=False):
    """A header made fit to read and to copy from: its commands rewritten to run from
    here, each "Try:" command on a line of its own (its comment wrapped below it), and
    every other paragraph wrapped to the terminal's usual width. An exercise's first line
    is its summary, a paragraph of its own."""
    paragraphs = []
    for k, line in enumerate(lines):
        if k <= 1 and exercise or not paragraphs or re.match(r"(Try|Becomes|Check it):", line):
            paragraphs.append(line)
        else:
            paragraphs[-1] += " " + line
    out = []
    for paragraph in paragraphs:
        paragraph = runnable(paragraph, programs)
        command, gap, comment = paragraph.partition("  (")
        if paragraph.startswith(("Try:", "Check it:")) and (gap or "Check" in paragraph):
            out.append(command)
            if gap:
                out += textwrap.wrap("(" + comment, 88, initial_indent="  ",
                                     subsequent_indent="   ", break_on_hyphens=False)
        else:
            out += textwrap.wrap(paragraph, 88, break_on_hyphens=False)
    return out


def runnable(text, programs):
    """Rewrites the commands of a header so that they run as printed from here: ./NAME
    becomes the built program's path, ./tour and exercises/ the paths of the tour's."""
    paths = {p["name"]: p["path"] for p in programs}
    text = re.sub(r"\./tour\b", lambda m: shown_path(os.path.join(catalogue.ROOT, "tour")), text)
    text = re.sub(r"(?<![\w/.])exercises/(\w+\.cpp)",
                  lambda m: shown_path(os.path.join(catalogue.EXERCISES, m.group(1))), text)
    return re.sub(r"(?<![\w/])\./(\w+)\b",
                  lambda m: shown_path(paths[m.group(1)]) if m.group(1) in paths else m.group(0),
                  text)
