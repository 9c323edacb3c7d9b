"""Building: the tour's trees under build/, one tour at a time in each (a lock), configured
from the presets, with every command's output in a log, and everything a command started
ended when the tour is interrupted."""
import contextlib
import fcntl
import hashlib
import os
import re
import shutil
import subprocess
import sys

from . import catalogue
from .processes import STOPPING, stop
from .term import Failure, indent, note

BUILD = os.path.join(catalogue.ROOT, "build")  # where the tour builds: see choose_root
BUILT = None  # a tree whose programs are built already, run as they are (no build)

# How long one run of a program may take before it counts as never ending, in the tour
# and in the check (the slowest lesson's slowest run, under valgrind, takes a few seconds).
RUN_TIMEOUT = 20


def choose_root(option=None):
    """Where the tour builds its trees: the folder given (--build-dir, else
    SUITE_BUILD_DIR), else build/ in the clone, else, for a clone that cannot be written
    (a shared install), a folder of the user's cache that belongs to this clone. A folder
    given that holds a built tree's manifest is a build whose programs are run as they
    are."""
    global BUILD, BUILT, GIVEN
    given = option or os.environ.get("SUITE_BUILD_DIR")
    GIVEN = bool(given)
    if given:
        BUILD = os.path.abspath(given)
        if os.path.isfile(os.path.join(BUILD, "programs.tsv")):
            BUILT = BUILD
        return
    default = os.path.join(catalogue.ROOT, "build")
    if os.access(default if os.path.isdir(default) else catalogue.ROOT, os.W_OK):
        BUILD = default
        return
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    clone = hashlib.sha256(catalogue.ROOT.encode()).hexdigest()[:12]
    BUILD = os.path.join(cache, "openmp-lessons", clone)


GIVEN = False  # whether the build folder was given (--build-dir, SUITE_BUILD_DIR)


def elsewhere():
    """What to add to a build folder's error: where else to build, unless one was given."""
    return ("" if GIVEN else "; build in a folder you can write with --build-dir DIR "
            "(or SUITE_BUILD_DIR=DIR)")


def run_logged(command, log):
    """Runs `command` with its output appended to the open file `log`; True on success.
    It runs in a session of its own, so that the tour, when interrupted, can end it and
    everything it started (a compiler, a test harness) and not only its first process."""
    log.write(f"$ {' '.join(command)}\n")
    log.flush()
    try:
        process = subprocess.Popen(command, cwd=catalogue.ROOT, stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
    except OSError as e:
        raise Failure(f"cannot run {command[0]}: {e.strerror}") from e
    try:
        while True:  # ended early when another thread was interrupted
            try:
                return process.wait(timeout=0.05) == 0
            except subprocess.TimeoutExpired:
                if STOPPING.is_set():
                    return False
    finally:
        stop(process)


def build_directory():
    """build/, created if need be; one clear line if it cannot be."""
    if os.path.exists(BUILD) and not os.path.isdir(BUILD):
        raise Failure(f"{os.path.relpath(BUILD)} is not a directory: the tour builds the "
                      "programs there; move it away")
    try:
        os.makedirs(BUILD, exist_ok=True)
    except OSError as e:
        raise Failure(f"cannot create {os.path.relpath(BUILD)}/: {e.strerror}{elsewhere()}"
                      ) from e


def open_log(path):
    build_directory()
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return open(path, "w")
    except OSError as e:
        raise Failure(f"cannot write {os.path.relpath(path)}: {e.strerror}; the tour builds "
                      f"the programs under {os.path.relpath(BUILD)}/ and needs to write there"
                      f"{elsewhere()}") from e


@contextlib.contextmanager
def locked(path, what):
    """Holds the lock file `path` for the block: two tours never build one tree at once."""
    build_directory()
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        lock = open(path, "a")
    except OSError as e:
        raise Failure(f"cannot write {os.path.relpath(path)}: {e.strerror}{elsewhere()}"
                      ) from e
    with lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            note(f"tour: another tour is {what} in this tree; waiting for it to end")
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def cached(tree, variable):
    try:
        with open(os.path.join(tree, "CMakeCache.txt")) as cache:
            for line in cache:
                if line.startswith(variable + ":"):
                    return line.rstrip("\n").split("=", 1)[1]
    except OSError:
        pass
    return None


def generated(tree):
    """Whether `tree` holds a whole configuration (an interrupted one lacks the build
    files, which are written last)."""
    return os.path.exists(os.path.join(tree, "CMakeCache.txt")) and any(
        os.path.exists(os.path.join(tree, f)) for f in ("build.ninja", "Makefile"))


def belongs(tree):
    """Whether the configured `tree` was configured here, for this clone and this very
    folder: a clone copied with its build (cp -a) or moved keeps trees that name the old
    places, and would run the old clone's programs or fail on the cache."""
    home, made_in = cached(tree, "CMAKE_HOME_DIRECTORY"), cached(tree, "CMAKE_CACHEFILE_DIR")
    return (home is not None and os.path.realpath(home) == os.path.realpath(catalogue.ROOT)
            and made_in is not None and os.path.realpath(made_in) == os.path.realpath(tree))


def configure(preset, tree, log, definitions=()):
    """Configures `tree` from `preset` unless it is configured already with the same
    definitions. A failed configuration is removed whole, so that the next run starts
    afresh (with whatever compiler is there by then) instead of failing forever; so is a
    tree that belongs to another clone or folder."""
    if os.path.exists(os.path.join(tree, "CMakeCache.txt")) and not belongs(tree):
        log.write(f"# {tree} was configured elsewhere (a copied or moved clone): removed\n")
        shutil.rmtree(tree, ignore_errors=True)
    fresh = generated(tree) and all(
        cached(tree, d.split("=", 1)[0]) == d.split("=", 1)[1] for d in definitions)
    if fresh:
        return True
    if shutil.which("cmake") is None:
        raise Failure("cmake not found: install CMake 3.25 or later (see README.md)")
    command = ["cmake", "--preset", preset, "-B", tree] + [f"-D{d}" for d in definitions]
    if run_logged(command, log):
        return True
    shutil.rmtree(os.path.join(tree, "CMakeFiles"), ignore_errors=True)
    try:
        os.remove(os.path.join(tree, "CMakeCache.txt"))
    except OSError:
        pass
    return False


def configure_error(path):
    """The first error CMake wrote in the log at `path`, on one line."""
    try:
        with open(path, errors="replace") as f:
            text = f.read()
    except OSError:
        text = ""
    # "CMake Error: what" or "CMake Error at FILE:LINE (message):" then an indented block.
    m = re.search(r"CMake Error(?: at [^\n]*\(\w+\))?:?([^\n]*)\n((?:[ \t]+[^\n]*\n|\n)*)", text)
    if not m:
        return "CMake could not configure it"
    message = " ".join((m.group(1) + " " + m.group(2)).split())
    message = message.split(" It fails with the following output")[0]
    return message if len(message) < 300 else message[:297] + "..."


def log_tail(path, lines=15):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def diagnostics(log_text):
    """The compiler's messages in a ninja log: without progress lines, the FAILED line
    and the command line that follows it."""
    out, skip_command = [], False
    for line in log_text.splitlines():
        if skip_command:
            skip_command = False
            continue
        if line.startswith("FAILED: "):
            skip_command = True
            continue
        if re.match(r"\[\d+/\d+\] |ninja: |\$ cmake |-- |Re-running CMake", line):
            continue  # progress, and CMake configuring the tree again
        out.append(line)
    return "\n".join(out).strip("\n")


def tour_programs():
    """The manifest of the tour's build (SUITE_BUILD_DIR's, if set), configuring the
    tour's tree first if need be: the manifest needs no build."""
    if BUILT:
        return catalogue.read_manifest(BUILT)
    tree, log_path = os.path.join(BUILD, "tour"), os.path.join(BUILD, "tour.log")
    with locked(os.path.join(BUILD, "tour.lock"), "building"):
        with open_log(log_path) as log:
            ok = configure("tour", tree, log)
        if not ok:
            raise Failure(f"the programs cannot be configured: {configure_error(log_path)} "
                          f"(whole log: {os.path.relpath(log_path)})", 1)
    return catalogue.read_manifest(tree)


def build_programs(chosen, every):
    """Brings the chosen programs of the tour's tree up to date (all of them when
    `every`), building every one that compiles. Returns the programs that do not, each
    with the compiler's first error: those are not run, so no stale program ever is. A
    failure that is no one program's stops the tour."""
    if BUILT:
        return {}
    tree, log_path = os.path.join(BUILD, "tour"), os.path.join(BUILD, "tour.log")
    command = ["cmake", "--build", tree]
    if not every:
        command += ["--target"] + [p["name"] for p in chosen]
    # Go on past a program that does not compile (ninja and make both take -k).
    command += ["--", "-k", "0"] if os.path.exists(os.path.join(tree, "build.ninja")) else ["--", "-k"]
    with locked(os.path.join(BUILD, "tour.lock"), "building"), open_log(log_path) as log:
        if not any(os.path.exists(p["path"]) for p in chosen):
            note(f"tour: building the programs into {os.path.relpath(tree)} (once; it takes a "
                 "moment)")
        ok = run_logged(command, log)
    if ok:
        return {}
    with open(log_path, errors="replace") as f:
        failed = failed_programs(f.read(), chosen)
    if not failed:
        sys.stderr.write(indent(diagnostics(log_tail(log_path, 40))) + "\n")
        raise Failure(f"the build failed (whole log: {os.path.relpath(log_path)})", 1)
    return failed


def failed_programs(log_text, programs):
    """The programs a keep-going build log (ninja's or make's) says failed, each with the
    compiler's first error about its source, or the linker's, on one line; or None if
    something that is no one program's failed."""
    lines = log_text.splitlines()
    failures = [line for line in lines if line.startswith("FAILED: ") or "*** [" in line]
    owners = {m.group(1) for line in failures
              for m in [re.search(r"CMakeFiles/(\w+)\.dir/", line)] if m}
    names = {p["name"] for p in programs}
    if not owners or not owners <= names or any(
            not re.search(r"CMakeFiles/\w+\.dir/", line) and line.startswith("FAILED: ")
            and os.path.basename(line.split()[1]) not in names for line in failures):
        return None
    first = {}
    for p in programs:
        if p["name"] not in owners:
            continue
        error = next((line for line in lines if p["source"] + ":" in line and "error" in line),
                     next((line for line in lines if "ld returned" in line or
                           "undefined reference" in line), "it did not build"))
        first[p["name"]] = error.replace(catalogue.ROOT + "/", "").strip()
    return first
