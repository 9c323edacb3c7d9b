"""The check as a command: which file is judged as which program, the verdict made and
told (as text, or as a document), and its exit status."""
import concurrent.futures
import difflib
import hashlib
import json
import os
import time

from .. import build, catalogue, classfolder, junit, processes, progress, sandbox
from ..build import locked
from ..files import TooLarge, read_regular, write_whole
from ..term import Failure, as_typed, decoded, flush, say, shown_path
from . import platforms, verdict
from .advice import advise
from .checker import SOURCE_SUFFIXES, Checker
from .families import FAMILIES


def resolve(name, file, programs, follow_links=True, in_folder=False):
    """The program NAME, the path of the file to judge as it, how to name that file,
    and its content, read once (a regular file, of a sane size); or one line saying why
    not. Without `follow_links`, a link is refused rather than followed (with
    `in_folder`, a link in place of the file's folder too)."""
    exercise = catalogue.exercise(name)
    if exercise and not any(p["name"] == name for p in programs):
        # An exercise is checked as the lesson it must become: its own file, or yours.
        name, file = exercise["becomes"], file or exercise["path"]
    matches = [p for p in programs if p["name"] == name]
    if not matches:
        names = [p["name"] for p in programs] + [e["name"] for e in catalogue.exercises()]
        raise Failure(f"no program '{name}' to check{catalogue.did_you_mean(name, names)}; "
                      f"valid names: {' '.join(p['name'] for p in programs)}")
    program = matches[0]
    source = os.path.abspath(file) if file else os.path.join(catalogue.ROOT, program["source"])
    shown = decoded(as_typed(source))
    if os.path.isdir(source) and not os.path.islink(source):
        # A student's folder, as a platform hands it over: the file called NAME.cpp in it
        # or below it, else its only C++ file.
        found, why = classfolder.student_file(program["name"], source)
        if found is None:  # like a path that is no C++ source: nothing to check
            raise Failure(f"{shown}: {why}")
        source, shown = os.path.abspath(found), decoded(as_typed(found))
    if not os.path.lexists(source):
        raise Failure(f"no file {shown} to check")
    if not source.endswith(SOURCE_SUFFIXES):
        raise Failure(f"{shown} is not a C++ source: the check builds files named "
                      f"{', '.join('*' + s for s in SOURCE_SUFFIXES)}")
    try:
        content = read_regular(source, follow_links=follow_links, in_folder=in_folder)
    except TooLarge as e:  # a hundred times the longest lesson
        raise Failure(e.message.replace(source, shown) + ": that is no version of a lesson") from e
    except Failure as e:
        raise Failure(e.message.replace(source, shown)) from e
    return program, source, shown, content


def exercise_of(content, lesson):
    """The exercise whose file this is, or nearly (a student's copy being put right),
    when it becomes another lesson than `lesson`; else None."""
    if len(content) > 20000:  # ten times the longest exercise
        return None
    text = content.decode(errors="replace")
    for e in catalogue.exercises():
        if e["becomes"] == lesson:
            continue
        with open(e["path"], errors="replace") as f:
            theirs = f.read()
        match = difflib.SequenceMatcher(None, theirs, text)
        if match.quick_ratio() >= 0.9 and match.ratio() >= 0.9:
            return e
    return None


def judge(program, source, families, text=True, sandboxed=False, shown=None, content=None,
          keep=False):
    """The verdict document on `content` (read from `source` if not given) as `program`
    by `families`; with `text`, each family's verdict is printed as it comes; with
    `sandboxed`, every build and run of the file is in the sandbox; with `keep`, each
    family's build is left for the student to run."""
    shown = shown or decoded(as_typed(source))
    content = read_regular(source) if content is None else content
    with locked(os.path.join(build.BUILD, "check", "lock"), "checking"), \
            sandbox.identity() as uid:
        Checker.clear_leftovers()
        checker = Checker(program, shown, content, show_warnings=text, sandboxed=sandboxed,
                          keep=keep, uid=uid)
        start = time.monotonic()
        processes.STOPPING.clear()

        def judged(family):
            compiler = FAMILIES[family]["compiler"]
            if compiler in checker.uncompiled:
                doc = verdict.family_doc(family, "error", f"the file does not compile "
                                         f"with {compiler}", reason="compile")
            else:
                doc = checker.judge(family)
            doc["seconds"] = round(time.monotonic() - start, 1)
            if text and not processes.STOPPING.is_set():  # interrupted: no verdict to tell
                with checker.lock:
                    for line in verdict.render_family(doc):
                        say(line)
                    flush()
            return doc

        parsing = concurrent.futures.ThreadPoolExecutor(1)
        parsed = parsing.submit(checker.dump)  # beside the builds: it takes a fraction
        try:
            checker.prepare(families)
            # The behaviour family first, alone: its verdict is the one a student waits
            # for, and the first build tells whether the file compiles at all. The others
            # then side by side, each told as soon as it is known.
            first = families[:1] if families[0] == "behaviour" else []
            docs = [judged(family) for family in first]
            rest = families[len(first):]
            if rest:
                with concurrent.futures.ThreadPoolExecutor(len(rest)) as pool:
                    try:
                        done = [pool.submit(judged, family) for family in rest]
                        docs += [d.result() for d in done]
                    except BaseException:  # interrupted: the other families stop too
                        processes.STOPPING.set()
                        raise
            dump = parsed.result()
        except BaseException:  # interrupted: the parse stops too
            processes.STOPPING.set()
            raise
        finally:
            parsing.shutdown(cancel_futures=True)
            checker.close()
    doc = verdict.document(program["name"], shown, docs, time.monotonic() - start)
    with open(os.path.join(catalogue.ROOT, program["source"]), errors="replace") as f:
        lesson = f.read()
    student = "\n".join(checker.lines)
    doc["digest"] = checker.digest
    doc["sandboxed"] = sandboxed
    doc["warnings"] = checker.warnings
    lesson_path = os.path.join(catalogue.ROOT, program["source"])
    advice, why = advise(doc, student, lesson, checker.warnings, program, source,
                         (*dump, checker.content, checker.compiled_as, lesson_path)
                         if dump else None)
    doc.update(advice)
    if why:
        doc["unadvised"] = why
    doc["seconds"] = round(time.monotonic() - start, 1)  # the advice's time included
    return doc


def check(name, file, only, programs, json_path=None, verbose=False, form="text", out=None,
          scale=100):
    """Judges FILE as the program NAME; prints the verdict, writes it as a document to
    `json_path` ("-": standard output, and no text), keeps it as the student's progress,
    and fails with the verdict's status unless it passed. Lines a student cannot act on
    (cases not run on this machine, the sandbox's absence) are shown with `verbose`, and
    otherwise folded into one line or left to the document. `form` adds what a course
    platform reads (platforms.py): GitHub's workflow commands after the text, or GitLab's
    reports or Gradescope's results written into `out`."""
    if form in ("gitlab", "gradescope"):
        try:
            os.makedirs(out, exist_ok=True)
        except OSError as e:
            raise Failure(f"cannot create {out}: {e.strerror}", 3) from e
    if form == "gradescope":
        try:
            resolved = resolve(name, file, programs)
        except Failure as e:  # nothing to judge: Gradescope is told so, with no score
            doc = {"status": "error", "message": e.message, "families": []}
            write_whole(os.path.join(out, "results.json"),
                        platforms.dumps(platforms.gradescope(doc, scale)))
            raise
    else:
        resolved = resolve(name, file, programs)
    typed = name
    program, source, shown, content = resolved
    name = program["name"]  # an exercise's is the lesson it becomes
    families = [only] if only else list(FAMILIES)
    text = json_path != "-"
    if json_path and text and not os.access(os.path.dirname(os.path.abspath(json_path)) or ".",
                                            os.W_OK):
        raise Failure(f"--json {json_path}: its folder does not exist or cannot be written")
    if text:
        say(f"checking {shown} as {name} ({program['folder']}/): "
            + ", ".join(families))
        other = exercise_of(content, name)
        if other:
            say(f"this file is the exercise {other['name']}, which becomes "
                f"{other['becomes']}, not {name}: ./tour --check {other['name']} "
                f"{shown_path(source)} judges it as that lesson")
        flush()
    sandboxed, why = sandbox.available()
    if text and not sandboxed and form != "text":
        say(f"not sandboxed: {why}; the platform's job is the sandbox the file runs in")
    elif text and verbose and not sandboxed:
        say(f"not sandboxed: {why}; your own file runs with your rights")
    token = None
    if form == "github":  # nothing the file or its program prints is a workflow command
        token = hashlib.sha256(os.urandom(16)).hexdigest()[:24]
        say(f"::stop-commands::{token}")
    doc = judge(program, source, families, text, sandboxed, shown, content, keep=True)
    if text:
        for line in verdict.render_diagnoses(doc) + verdict.render_notes(doc):
            say(line)
        for line in verdict.render_skips(doc["families"], verbose):
            say(line)
        say(f"{name}: {doc['message']}, in {doc['seconds']:.0f} s")
    key = progress.key_of(typed, name, source)
    if text and doc["status"] == "fail" and any(
            e["becomes"] == name for e in catalogue.exercises()):
        tour = shown_path(os.path.join(catalogue.ROOT, "tour"))
        say(f"stuck? {tour} --hint {key} {shown_path(source)} gives a hint, one step at a time")
    progress.record(key, doc, source)
    if token:
        say(f"::{token}::")
        for line in platforms.github(doc):
            say(line)
    elif form == "gitlab":
        write_whole(os.path.join(out, "junit.xml"), junit.junit(name, [(shown, doc)]))
        write_whole(os.path.join(out, "gl-code-quality-report.json"),
                    platforms.dumps(platforms.code_quality(doc)))
    elif form == "gradescope":
        write_whole(os.path.join(out, "results.json"),
                    platforms.dumps(platforms.gradescope(doc, scale)))
    if json_path == "-":
        # Every character past ASCII escaped: nothing in the document can act on a
        # terminal, and say() has nothing left to write out.
        say(json.dumps(doc, indent=2, ensure_ascii=True))
    elif json_path:
        write_whole(json_path, json.dumps(doc, indent=2, ensure_ascii=False) + "\n")
    if doc["status"] != "pass":
        raise Failure(None, verdict.EXIT[doc["status"]])
