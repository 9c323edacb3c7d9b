"""The submissions in what a teacher passes to --grade: files, a folder per student, or a
class folder as a platform delivers it (a folder per student, as GitHub Classroom's
download; Moodle's flat files, `Full Name_ID_assignsubmission_file_NAME.cpp`, or its
folders of the same name; a zip unpacked with extra levels), with the platforms' debris
left out. Each submission gets the student's name and, where the platform gives one, an
id, both taken from the folder or file name as text. Nothing is followed through a link,
and nothing found is ever taken for an option or run."""
import collections
import os
import re
import typing

from .check.checker import SOURCE_SUFFIXES
from .term import decoded


class Submission(typing.NamedTuple):
    student: str          # the name shown and written (unique in the class)
    id: str               # the platform's id of the student, or ""
    file: str | None      # the C++ file to judge, or None
    why: str | None       # why there is none
    in_folder: bool       # the file was found in a student's folder


# What archives, file managers and editors leave beside the work: never a student.
DEBRIS = re.compile(r"^(\..*|__MACOSX|Thumbs\.db|desktop\.ini|.*~|#.*#|.*\.(swp|swo|bak|orig))$",
                    re.IGNORECASE)
# Moodle's names for what a student handed in: a file, or a folder of their files.
MOODLE = re.compile(r"^(?P<name>.+?)_(?P<id>\d+)_assign(?:submission|feedback)_"
                    r"(?:file|onlinetext)_?(?P<rest>.*)$")
# How far below a student's folder their file is looked for, and how many entries are
# looked at (a folder of thousands is no submission, and is not walked whole).
DEPTH, ENTRIES = 6, 2000


def is_source(name):
    return name.endswith(SOURCE_SUFFIXES)


def find(name, paths, outside=None):
    """(submissions, debris): the submissions in `paths` for the program `name`, and the
    debris left out (as paths, shown). The folder `outside` (the grades, which a teacher
    may keep in the class folder) is no student's."""
    found, debris = [], []
    outside = os.path.realpath(outside) if outside else None
    for path in paths:
        path = os.path.normpath(path)
        base = os.path.basename(path)
        if os.path.islink(path):
            found.append(_named(base, None, "a link, not a file or folder: hand in the file "
                                "itself", False, path))
        elif os.path.isfile(path):
            found.append(_named(base, path, None, False, path))
        elif not os.path.isdir(path):
            found.append(_named(base, None, "no such file or folder", False, path))
        elif _is_class(name, path):
            found += _class(name, path, debris, outside)
        else:
            found.append(_student(name, path, base, debris))
    _shorten(found, name)
    seen = collections.Counter(s["student"] for s in found)
    out = []
    for s in found:
        student = s["student"]
        if seen[student] > 1:
            student = f"{student} ({decoded(os.path.dirname(s['file'] or s['path'])) or '.'})"
        out.append(Submission(student, s["id"], s["file"], s["why"], s["in_folder"]))
    return out, debris


def _named(base, file, why, in_folder, path, student=None, id=""):
    """A submission as found, before names are made unique: `student` is its name as
    text (by default the file's name without its ending, or the folder's)."""
    if student is None:
        student = decoded(os.path.splitext(base)[0] if file == path else base)
    return {"student": student, "id": id, "file": file, "why": why, "in_folder": in_folder,
            "path": path, "folder_named": file != path}


def _listing(path):
    try:
        return sorted(os.listdir(path))
    except OSError:
        return []


def _is_class(name, path):
    """Whether a folder holds a class, not one student's work: Moodle's names in it, or
    no C++ file of its own but students' folders below, or several C++ files of its own,
    none of them the lesson's (one student's file each)."""
    entries = [e for e in _listing(path) if not DEBRIS.match(e)]
    if any(MOODLE.match(e) for e in entries):
        return True
    sources = [e for e in entries if is_source(e) and _regular(os.path.join(path, e))]
    if sources:
        return len(sources) > 1 and not any(os.path.splitext(e)[0] == name for e in sources)
    # Folders below with C++ files: students' folders, unless just one of them holds the
    # lesson's file (one student's work, with other code beside it: src/ and tests/).
    below = [_sources_below(os.path.join(path, e)) for e in entries
             if _folder(os.path.join(path, e))]
    below = [files for files in below if files]
    named = sum(1 for files in below if any(
        os.path.splitext(os.path.basename(f))[0] == name for f in files))
    return len(below) > 1 and named != 1


def _regular(path):
    return os.path.isfile(path) and not os.path.islink(path)


def _folder(path):
    return os.path.isdir(path) and not os.path.islink(path)


def _sources_below(path, debris=None):
    """The C++ files in `path` and below it, within DEPTH levels and ENTRIES entries, as
    paths; the debris met on the way is added to `debris`. Links are neither files nor
    folders here."""
    found, looked = [], 0
    stack = [(path, 0)]
    while stack:
        folder, depth = stack.pop()
        for entry in _listing(folder):
            looked += 1
            if looked > ENTRIES:
                return found
            full = os.path.join(folder, entry)
            if DEBRIS.match(entry):
                if debris is not None:
                    debris.append(decoded(full))
            elif _folder(full):
                if depth + 1 < DEPTH:
                    stack.append((full, depth + 1))
            elif is_source(entry) and _regular(full):
                found.append(full)
    return sorted(found, key=lambda f: (f.count(os.sep), f))


def _choose(name, files, where):
    """The file to judge among a student's C++ files: the one called NAME (the one
    nearest the top, if several are), else the only one; or why none can be."""
    named = [f for f in files if os.path.splitext(os.path.basename(f))[0] == name]
    if named:
        nearest = [f for f in named if f.count(os.sep) == named[0].count(os.sep)]
        if len(nearest) == 1:
            return nearest[0], None
        files = nearest
    elif len(files) == 1:
        return files[0], None
    if not files:
        return None, f"no C++ file in {where}: hand in {name}.cpp"
    shown = ", ".join(decoded(os.path.basename(f)) for f in files[:4])
    return None, (f"several C++ files ({shown}{', ...' if len(files) > 4 else ''}) and "
                  f"none alone called {name}.cpp: keep the one to judge, named {name}.cpp")


def student_file(name, folder):
    """(the file to judge in one student's folder, or None; why not): the file called
    NAME, or the only C++ file, in it or below it."""
    found = _student(name, os.path.normpath(folder), os.path.basename(folder), [])
    return found["file"], found["why"]


def _student(name, path, base, debris, student=None, id=""):
    """One student's folder: their file, searched below it."""
    try:
        os.listdir(path)
    except OSError as e:
        return _named(base, None, f"cannot read the folder: {e.strerror}", True, path, student,
                      id)
    files = _sources_below(path, debris)
    file, why = _choose(name, files, "it or below it")
    if file is None and not files and any(
            is_source(e) and os.path.islink(os.path.join(path, e)) for e in _listing(path)):
        why = "its C++ file is a link: hand in the file itself"
    return _named(base, file, why, True, path, student, id)


def _class(name, path, debris, outside=None):
    """The students of a class folder: Moodle's (a name and id per student, from flat
    files or folders), else one per folder or C++ file in it."""
    entries = _listing(path)
    moodle = collections.defaultdict(list)
    found = []
    for entry in entries:
        full = os.path.join(path, entry)
        if DEBRIS.match(entry):
            debris.append(decoded(full))
            continue
        if outside and os.path.realpath(full) == outside:
            continue
        match = MOODLE.match(entry)
        if match:
            moodle[(match["name"], match["id"])].append((full, match["rest"]))
        elif _folder(full):
            found.append(_student(name, full, entry, debris))
        elif os.path.islink(full):
            found.append(_named(entry, None, "a link, not a file or folder: hand in the file "
                                "itself", False, full))
        elif is_source(entry):
            found.append(_named(entry, full, None, False, full))
    for (student, id), parts in sorted(moodle.items()):
        files = []
        for full, rest in parts:
            if _folder(full):
                files += _sources_below(full, debris)
            elif is_source(rest or full) and _regular(full):
                files.append(full)
        named = [f for f in files if _moodle_file(f) == name]
        file, why = (named[0], None) if len(named) == 1 else _choose(name, files,
                                                                     "what they handed in")
        found.append({"student": decoded(student), "id": decoded(id), "file": file,
                      "why": why, "in_folder": file is not None and _folder(parts[0][0]),
                      "path": parts[0][0], "folder_named": False})
    return found


def _moodle_file(path):
    """The name a student gave their file, before Moodle put theirs in front of it."""
    match = MOODLE.match(os.path.basename(path))
    return os.path.splitext(match["rest"] if match else os.path.basename(path))[0]


def _shorten(found, name):
    """Names taken from folders, as a platform makes them: GitHub Classroom names each
    repository ASSIGNMENT-USERNAME, so the prefix that every such name shares (ending at
    a dash) is left out; a file named after the lesson takes its folder's name."""
    for s in found:
        if not s["folder_named"] and s["file"] and s["student"] == name and s["path"] == s["file"]:
            s["student"] = decoded(os.path.basename(os.path.dirname(os.path.abspath(s["file"]))))
            s["folder_named"] = True
    named = [s for s in found if s["folder_named"]]
    if len(named) < 2:
        return
    prefix = os.path.commonprefix([s["student"] for s in named])
    prefix = prefix[:prefix.rfind("-") + 1]
    rest = [s["student"][len(prefix):] for s in named]
    if prefix and all(rest) and len(set(rest)) == len(rest):
        for s, r in zip(named, rest):
            s["student"] = r
