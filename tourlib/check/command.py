"""The check as a command: which file is judged as which program, the verdict made and
told (as text, or as a document), and its exit status."""
import json
import os
import re
import time

from .. import build, catalogue, sandbox
from ..build import locked
from ..files import write_whole
from ..term import Failure, flush, say, shown_path
from . import changes, diagnose, slow, verdict
from .checker import SOURCE_SUFFIXES, Checker
from .families import FAMILIES


def resolve(name, file, programs):
    """The program NAME and the path of the file to judge as it, or one line saying why
    not."""
    matches = [p for p in programs if p["name"] == name]
    if not matches:
        exercise = catalogue.exercise(name)
        if exercise:
            raise Failure(f"'{name}' is an exercise, not a program: check your fix with "
                          f"{shown_path(os.path.join(catalogue.ROOT, 'tour'))} --check "
                          f"{exercise['becomes']} {shown_path(exercise['path'])}")
        raise Failure(f"no program '{name}' to check; valid names: "
                      f"{' '.join(p['name'] for p in programs)}")
    program = matches[0]
    if file and re.search(r"[\\\n\r]", file):
        raise Failure("a file name with a backslash or a line break cannot be built: rename "
                      "the file")
    source = os.path.realpath(file) if file else os.path.join(catalogue.ROOT, program["source"])
    if os.path.isdir(source):
        raise Failure(f"{file} is a folder: give the file in it to check, for instance "
                      f"{os.path.join(file, name + '.cpp')}")
    if not os.path.isfile(source):
        raise Failure(f"no file {file or source} to check")
    if not source.endswith(SOURCE_SUFFIXES):
        raise Failure(f"{file} is not a C++ source: the check builds files named "
                      f"{', '.join('*' + s for s in SOURCE_SUFFIXES)}")
    if ";" in source:
        raise Failure(f"{file}: CMake cannot build a file whose path holds a ';': "
                      "rename it or copy it elsewhere")
    try:
        with open(source, "rb"):
            pass
    except OSError as e:
        raise Failure(f"cannot read {file or source}: {e.strerror}") from e
    return program, source


def judge(program, source, families, text=True, sandboxed=False):
    """The verdict document on `source` as `program` by `families`; with `text`, each
    family's verdict is printed as it comes; with `sandboxed`, every build and run of the
    file is in the sandbox."""
    docs = []
    with locked(os.path.join(build.BUILD, "check", "lock"), "checking"):
        checker = Checker(program, source, show_warnings=text, sandboxed=sandboxed)
        start = time.monotonic()
        try:
            checker.prepare(families)
            for family in families:
                compiler = FAMILIES[family]["compiler"]
                if compiler in checker.uncompiled:
                    doc = verdict.family_doc(family, "error", f"the file does not compile "
                                             f"with {compiler}")
                else:
                    doc = checker.judge(family)
                docs.append(doc)
                if text:
                    for line in verdict.render_family(doc):
                        say(line)
                    flush()
        finally:
            checker.close()
    doc = verdict.document(program["name"], os.path.relpath(source), docs,
                           time.monotonic() - start)
    with open(os.path.join(catalogue.ROOT, program["source"]), errors="replace") as f:
        lesson = f.read()
    student = "\n".join(checker.lines)
    doc["digest"] = checker.digest
    doc["sandboxed"] = sandboxed
    doc["warnings"] = checker.warnings
    doc["diagnoses"] = diagnose.diagnose(doc, student, lesson, checker.warnings)
    doc["notes"] = slow.notes(student, lesson) if doc["status"] == "pass" else []
    doc["changed"] = changes.changes(program, source, student) if doc["status"] == "fail" else None
    return doc


def check(name, file, only, programs, json_path=None):
    """Judges FILE as the program NAME; prints the verdict, writes it as a document to
    `json_path` ("-": standard output, and no text), and fails with the verdict's status
    unless it passed."""
    program, source = resolve(name, file, programs)
    families = [only] if only else list(FAMILIES)
    text = json_path != "-"
    if json_path and text and not os.access(os.path.dirname(os.path.abspath(json_path)) or ".",
                                            os.W_OK):
        raise Failure(f"--json {json_path}: its folder does not exist or cannot be written")
    if text:
        say(f"checking {os.path.relpath(source)} as {name} ({program['folder']}/): "
            + ", ".join(families))
        flush()
    sandboxed, why = sandbox.available()
    if text and not sandboxed:
        say(f"not sandboxed: {why}; your own file runs with your rights")
    doc = judge(program, source, families, text, sandboxed)
    if text:
        for line in verdict.render_diagnoses(doc) + verdict.render_notes(doc):
            say(line)
        for line in verdict.render_skips(doc["families"]):
            say(line)
        say(f"{name}: {doc['message']}, in {doc['seconds']:.0f} s")
    if text and doc["status"] == "fail" and any(
            e["becomes"] == name for e in catalogue.exercises()):
        tour = shown_path(os.path.join(catalogue.ROOT, "tour"))
        say(f"stuck? {tour} --hint {name} {shown_path(source)} gives a hint, one step at a time")
    if json_path == "-":
        say(json.dumps(doc, indent=2, ensure_ascii=False))
    elif json_path:
        write_whole(json_path, json.dumps(doc, indent=2, ensure_ascii=False) + "\n")
    if doc["status"] != "pass":
        raise Failure(None, verdict.EXIT[doc["status"]])
