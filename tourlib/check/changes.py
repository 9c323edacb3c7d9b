"""Which lines of a student's file they changed, and from what: the lesson or exercise it
most resembles (as the clone's last commit holds it, if the file is that very file edited
in place)."""
import difflib
import os
import subprocess

from .. import catalogue


def committed(path):
    """The text of `path` at the clone's last commit, or None (no git, not tracked)."""
    rel = os.path.relpath(os.path.realpath(path), catalogue.ROOT)
    if rel.startswith(".."):
        return None
    try:
        done = subprocess.run(["git", "-C", catalogue.ROOT, "show", f"HEAD:{rel}"],
                              capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return done.stdout if done.returncode == 0 else None


def originals(program, source):
    """(name, text) of what the file may have started from: the file itself as committed,
    the lesson, and the exercises that become it."""
    found = []
    own = committed(source)
    if own is not None:
        found.append((os.path.relpath(source), own))
    paths = [os.path.join(catalogue.ROOT, program["source"])]
    paths += [e["path"] for e in catalogue.exercises() if e["becomes"] == program["name"]]
    for path in paths:
        if os.path.realpath(path) == os.path.realpath(source):
            continue
        try:
            with open(path, errors="replace") as f:
                found.append((os.path.relpath(path), f.read()))
        except OSError:
            pass
    return found


def changed_lines(original, text):
    """The lines of `text` that are not in `original` (numbered from 1)."""
    matcher = difflib.SequenceMatcher(None, original.splitlines(), text.splitlines(),
                                      autojunk=False)
    return [k + 1 for tag, _, _, j1, j2 in matcher.get_opcodes() if tag in ("replace", "insert")
            for k in range(j1, j2)]


def changes(program, source, text):
    """{"from": the file it started from, "lines": the lines changed} or None when it is
    like none of them, or unchanged."""
    best = None
    for name, original in originals(program, source):
        matcher = difflib.SequenceMatcher(None, original, text, autojunk=False)
        # The quick bounds first: the full ratio takes time that grows with the product
        # of the lengths, and a file far longer than a lesson started from none.
        if matcher.real_quick_ratio() <= 0.6 or matcher.quick_ratio() <= 0.6:
            continue
        ratio = matcher.ratio()
        if ratio > 0.6 and (best is None or ratio > best[0]):
            best = (ratio, name, original)
    if best is None or best[2] == text:
        return None
    return {"from": best[1], "lines": changed_lines(best[2], text)}
