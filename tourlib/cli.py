"""The command line: options, the mode they choose, and how the tour ends (its exit
status, interrupts, output that cannot be written)."""
import os
import re
import signal
import sys

from . import build, catalogue, grade, hints, present, processes, progress
from .check import check, platforms
from .check.families import FAMILIES
from .timeline.run import timeline
from .watch import watch
from .term import Failure, OutputLost, flush, note, say, shown_path

USAGE = """\
usage: ./tour [options] [NAME|FOLDER ...]
       ./tour --check NAME [FILE.cpp|FOLDER] [--family FAMILY] [--json PATH] [--verbose]
                      [--format github|gitlab|gradescope [--out DIR] [--scale N]]
       ./tour --watch NAME [FILE.cpp] [--family FAMILY] [--verbose]
       ./tour --progress | --next
       ./tour --hint NAME [FILE.cpp]
       ./tour --grade NAME [--out DIR] [--scale N] [--] PATH...
       ./tour --timeline NAME [FILE.cpp] [--threads N] [--out DIR]

Builds the programs (CMake preset "tour") and runs them in lesson order, each under a
heading with its name, what it shows, and the command that runs it alone.

  NAME|FOLDER       run only these programs, or every program of these folders
  --threads N       run with OMP_NUM_THREADS=N (team size of programs that take the
                    runtime's default; programs that ask for a size ignore it)
  --full            show long outputs whole (otherwise each run of similar lines is
                    shortened to its first and last lines)
  --list            list the programs and their lessons, by folder, then the exercises
  --explain NAME    what to look for in a program's output and what to try next, or an
                    exercise's task
  --check NAME [FILE.cpp|FOLDER]
                    judge FILE (by default NAME's own source, as you edited it; in a
                    FOLDER, its NAME.cpp or only C++ file) as the program NAME, with the
                    test suite's checks (behaviour), the race detector (races) and the
                    memory checkers (memory); exit 0 if every family passed, 1 if one
                    failed, 3 if it could not be judged
  --format FORMAT   with --check, for a course platform's job (classroom/): github
                    (also GitHub's workflow commands, a mistake on its line), gitlab
                    (also junit.xml and gl-code-quality-report.json in --out DIR, by
                    default here) or gradescope (also results.json in --out DIR)
  --family FAMILY   with --check or --watch: only this family (behaviour, races or
                    memory)
  --verbose         with --check or --watch: also what you cannot act on (the cases
                    not run on this machine and why, a missing sandbox)
  --watch NAME [FILE.cpp]
                    check FILE (by default NAME's own source) now, then again each time
                    it is saved; a save during a check starts it again; Ctrl-C ends
  --progress        every lesson and exercise with what your checks found (not tried,
                    rejected with the first mistake, accepted with when), then the next
                    exercise to try
  --next            the next exercise to try
  --json PATH       with --check: also write the verdict as a JSON document to PATH
                    (- : to standard output, instead of the text)
  --grade NAME PATH...
                    judge every submission as NAME, with a line each and a summary: a
                    file, a folder per student, or a class folder as a platform
                    delivers it (a folder per student, Moodle's files); exit 0 if every
                    one could be judged, 3 if not
  --scale N         with --grade or --format gradescope: the score a submission whose
                    every family passed gets (default 100); each family is a third
  --                what follows are names and paths, even those that begin with -
                    (a file or folder here named like an option is refused before it)
  --out DIR         with --grade: write each verdict, gradebook.csv, moodle.csv,
                    junit.xml, summary.md and feedback/STUDENT.md into DIR (a re-run
                    judges only the changed files); with --timeline: write the
                    picture, trace and summary there; with --format: the reports
  --timeline NAME [FILE.cpp]
                    run NAME (or FILE built as NAME) under the suite's recorder, and
                    write what each thread did, when: a picture (SVG), a trace for trace
                    viewers (JSON) and a summary (needs clang and LLVM's runtime); FILE
                    is built and run with your rights, outside the sandbox: use it on
                    your own files, --check and --grade on others' 
  --hint NAME [FILE.cpp]
                    the next hint for the exercise NAME (or for the exercise FILE fixes,
                    as the lesson NAME): from what you see to what to change
  --build-dir DIR   build in DIR (default: build/ in the clone, or, if the clone cannot
                    be written, a folder under $XDG_CACHE_HOME or ~/.cache)
  --help            this text

Environment: SUITE_BUILD_DIR=DIR is --build-dir DIR; a DIR that holds a built tree
(its programs.tsv) runs the programs built there as they are.
"""

VALUES = {"--threads": "a number: a team size from 1 to 4096",
          "--explain": "a program or exercise name (see ./tour --list)",
          "--check": "a program name (see ./tour --list)",
          "--family": "one of " + ", ".join(FAMILIES),
          "--watch": "a program or exercise name (see ./tour --list)",
          "--json": "a file name, or - for standard output",
          "--hint": "an exercise name (see ./tour --list)",
          "--grade": "a program name (see ./tour --list)",
          "--timeline": "a program or exercise name (see ./tour --list)",
          "--build-dir": "a folder",
          "--out": "a folder",
          "--format": "one of github, gitlab, gradescope",
          "--scale": "a number: the score of a submission whose every family passed"}


def parse(argv):
    options = {"threads": None, "list": False, "explain": None, "full": False, "check": None,
               "hint": None, "grade": None, "out": None, "build_dir": None, "timeline": None,
               "file": None, "family": None, "json": None, "selection": [], "help": False,
               "watch": None, "verbose": False, "progress": False, "next": False,
               "format": None, "scale": None}

    def value(k, what):
        if k + 1 >= len(argv) or argv[k + 1] == "":
            raise Failure(f"{argv[k]} needs {what}")
        return argv[k + 1]

    def once(key, given):
        if options[key] not in (None, False):
            raise Failure(f"--{key} is given twice (see ./tour --help)")
        options[key] = given

    if argv.count("--") == 1 and os.path.lexists("--"):
        # One --, and a file or folder here has that name: typed, or from a *?
        raise Failure("'--' is a file or folder here: name it ./-- , or put a -- of your own "
                      "before the names (./tour --grade NAME --out DIR -- *)")
    k = 0
    while k < len(argv):
        arg = argv[k]
        if arg == "--":  # what follows are names and paths, whatever they look like
            rest = argv[k + 1:]
            if options["file"] is None and len(rest) == 1 and any(
                    options[m] for m in ("check", "hint", "timeline", "watch")):
                options["file"] = rest[0]
            else:
                options["selection"] += rest
            break
        if arg.startswith("-") and arg != "-" and "--" not in argv and os.path.lexists(arg):
            # A file or folder named like an option, most likely from a * in a folder of
            # submissions: taken as an option, it would change what the command does.
            # (Before a --, options are taken as typed: the names come after it.)
            raise Failure(f"'{arg}' is a file or folder here, and also looks like an option: "
                          f"put the names after -- (./tour --grade NAME --out DIR -- *), or "
                          f"write ./{arg}")
        if arg in ("-h", "--help"):
            options["help"] = True
        elif arg in ("--list", "--full", "--verbose", "--progress", "--next"):
            once(arg[2:], True)
        elif arg.startswith("--threads="):
            once("threads", arg.split("=", 1)[1])
        elif arg in VALUES:
            once(arg[2:].replace("-", "_"), value(k, VALUES[arg]))
            k += 1
            if arg in ("--check", "--hint", "--timeline", "--watch") and k + 1 < len(argv) \
                    and not argv[k + 1].startswith("-"):
                options["file"] = argv[k + 1]
                k += 1
        elif arg.startswith("-") and arg != "-":
            raise Failure(f"unknown option '{arg}' (see ./tour --help)")
        elif arg == "":
            raise Failure("an empty program name (see ./tour --list)")
        else:
            options["selection"].append(arg)
        k += 1
    # One thing at a time: listing, explaining, checking, or running programs.
    modes = [m for m in ("list", "explain", "check", "watch", "hint", "grade", "timeline",
                         "progress", "next") if options[m]]
    if len(modes) > 1:
        raise Failure(f"--{modes[0]} and --{modes[1]} do not go together (see ./tour --help)")
    if modes and (options["threads"] and modes != ["timeline"] or options["full"]):
        raise Failure(f"--threads and --full go with running programs, not with --{modes[0]}")
    if options["grade"]:
        if not options["selection"]:
            raise Failure("--grade needs the submissions: files, or a folder per student")
        options["paths"], options["selection"] = options["selection"], []
    form = options["format"]
    if form is not None and form not in platforms.FORMATS[1:]:
        raise Failure(f"--format takes one of {', '.join(platforms.FORMATS[1:])}, not '{form}'")
    if form and not options["check"]:
        raise Failure("--format goes with --check")
    if options["out"] and not (options["grade"] or options["timeline"] or form in (
            "gitlab", "gradescope")):
        raise Failure("--out goes with --grade, --timeline, or --check's --format gitlab or "
                      "gradescope")
    if form in ("gitlab", "gradescope") and not options["out"]:
        options["out"] = "."
    if options["scale"] is not None:
        if not (options["grade"] or form == "gradescope"):
            raise Failure("--scale goes with --grade or --format gradescope")
        if not re.fullmatch(r"[0-9]{1,6}(\.[0-9]{1,2})?", options["scale"]) or \
                float(options["scale"]) <= 0:
            raise Failure(f"--scale takes a number above 0, such as 10 or 2.5, not "
                          f"'{options['scale']}'")
        value = float(options["scale"])
        options["scale"] = int(value) if value == int(value) else value
    else:
        options["scale"] = 100
    if modes and options["selection"]:
        raise Failure(f"--{modes[0]} takes no further names, not "
                      f"'{' '.join(options['selection'])}'")
    threads = options["threads"]
    if threads is not None and not (re.fullmatch(r"[1-9][0-9]{0,3}", threads)
                                     and int(threads) <= 4096):
        raise Failure(f"--threads takes a whole number from 1 to 4096, not '{threads}'")
    if options["family"] and options["family"] not in FAMILIES:
        raise Failure(f"--family takes one of {', '.join(FAMILIES)}, not '{options['family']}'")
    for option in ("family", "verbose"):
        if options[option] and not (options["check"] or options["watch"]):
            raise Failure(f"--{option} goes with --check or --watch")
    if options["json"] and not options["check"]:
        raise Failure("--json goes with --check")
    if options["json"] == "-" and form:
        raise Failure("--json - takes the place of the text, which --format adds to")
    return options


def choose(programs, selection):
    """The programs named (by program or by folder, as typed or tab-completed), in
    lesson order."""
    wanted = set()
    for want in selection:
        want = os.path.normpath(want)
        hits = [k for k, p in enumerate(programs) if want in (p["name"], p["folder"])]
        if not hits:
            exercise = catalogue.exercise(want)
            if exercise:
                tour = shown_path(os.path.join(catalogue.ROOT, "tour"))
                raise Failure(f"'{want}' is an exercise: {tour} --explain {want} gives its task, "
                              f"and {tour} --check {exercise['becomes']} "
                              f"{shown_path(exercise['path'])} judges your fix")
            names = [p["name"] for p in programs] + sorted({p["folder"] for p in programs})
            raise Failure(f"no program or folder '{want}'"
                          f"{catalogue.did_you_mean(want, names)}; valid names: "
                          f"{' '.join(p['name'] for p in programs)}")
        wanted.update(hits)
    return [programs[k] for k in sorted(wanted)]


def main(argv):
    options = parse(argv)
    if options["help"]:
        say(USAGE.rstrip("\n"))
        return
    build.choose_root(options["build_dir"])
    if options["hint"]:
        hints.hint(options["hint"], options["file"])
        return
    programs = build.tour_programs()
    if options["list"]:
        present.list_all(programs)
    elif options["explain"]:
        present.explain(options["explain"], programs)
    elif options["timeline"]:
        status = timeline(options["timeline"], options["file"], options["threads"],
                          options["out"], programs)
        if status:
            raise Failure(None, status)
    elif options["grade"]:
        grade.grade(options["grade"], options["paths"], options["out"], programs,
                    options["scale"])
    elif options["check"]:
        check(options["check"], options["file"], options["family"], programs, options["json"],
              options["verbose"], options["format"] or "text", options["out"], options["scale"])
    elif options["watch"]:
        watch(options["watch"], options["file"], options["family"], programs,
              options["verbose"])
    elif options["progress"]:
        progress.show(programs)
    elif options["next"]:
        progress.show_next(progress.read())
    else:
        chosen = choose(programs, options["selection"]) if options["selection"] else programs
        broken = build.build_programs(chosen, every=not options["selection"])
        present.run_programs(chosen, options["threads"], options["full"], broken,
                             whole=not options["selection"])


def interrupted(*_):
    # Later signals are ignored, so that stopping what runs is not itself interrupted.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    raise KeyboardInterrupt


def silence_stdout():
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except OSError:
        pass


def entry(argv):
    """Runs the tour; returns its exit status."""
    # SIGTERM, and SIGHUP (the terminal gone), end the tour like Ctrl-C, so that
    # whatever it holds is released and whatever it started is ended.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupted)
    if sys.stdout is None:
        print("tour: standard output is closed: nothing could be shown", file=sys.stderr)
        return 1
    # Whatever a command started and lost (a process whose parent was killed first) comes
    # back to the tour, which ends it before it goes.
    processes.adopt_orphans()
    try:
        return run(argv)
    finally:
        processes.end_orphans()


def run(argv):
    try:
        main(argv)
        flush()
        return 0
    except Failure as e:
        if e.message is not None:
            note(f"tour: {e.message}")
        return e.status
    except BrokenPipeError:
        # The reader went away (| head): stop, quietly, without success.
        silence_stdout()
        return 141
    except OutputLost as e:
        silence_stdout()
        print(f"tour: cannot write the output: {e.__cause__.strerror}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        silence_stdout()
        print("tour: interrupted", file=sys.stderr)
        return 130
