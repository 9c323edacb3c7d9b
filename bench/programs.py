"""Running the benchmark's programs: where each runtime's build of them is and building
it, one program's output lines, the constructs it lists, what it was built with, the
scratch folder and the children that the clean-up removes and ends, interrupts, progress
and files written whole. bench/run.py and bench/yardstick.py both measure through it; an
error is a Failure, which each reports in its own name."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from tourlib.catalogue import read_manifest  # noqa: E402
from tourlib.term import Failure  # noqa: E402
from figures import RUNTIMES  # noqa: E402
from machine import first_line  # noqa: E402

BUILD = os.path.join(ROOT, "build", "default")


class Interrupted(Exception):
    """Ctrl-C, SIGTERM or SIGHUP: the run stops, through the clean-up."""


def interrupt(signum, _frame):
    raise Interrupted(signum)


class Scratch:
    """Temporary files and child processes, all removed or ended on exit and on signals."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="bench-run.")
        self.children = []
        self.files = []

    def close(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
                child.wait()
        for path in self.files:
            if os.path.exists(path):
                os.remove(path)
        shutil.rmtree(self.dir, ignore_errors=True)


def progress(text, end=""):
    print(text, end=end, flush=True)


def binary(runtime, name):
    return os.path.join(ROOT, "build", RUNTIMES[runtime][0], "bench", name)


def build(scratch, runtimes):
    """Configures each runtime's build folder if needed and builds the benchmark there,
    and the programs in build/default (not the tests, which the measurements do not need)."""
    log = os.path.join(scratch.dir, "build.log")
    started = time.monotonic()
    progress(f"building bench/ for {', '.join(runtimes)} and the programs ...")

    def run(step):
        with open(log, "w") as f:
            if subprocess.run(step, cwd=ROOT, stdout=f, stderr=subprocess.STDOUT).returncode != 0:
                with open(log) as g:
                    sys.stderr.write("\n" + "".join(g.readlines()[-15:]))
                raise Failure(f"'{' '.join(step)}' failed (its last lines are above)")

    for runtime in ["libgomp"] + [r for r in runtimes if r != "libgomp"]:
        preset = RUNTIMES[runtime][0]
        folder = os.path.join(ROOT, "build", preset)
        if not os.path.exists(os.path.join(folder, "build.ninja")):
            run(["cmake", "--preset", preset])
        if not os.path.exists(os.path.join(folder, "bench")):
            raise Failure(f"build/{preset} has no bench/: configure it with SUITE_BENCHMARKS=ON")
        targets = ["overhead"]
        if runtime == "libgomp":
            targets += ["round_trip", "empty_openmp"] + [p["name"] for p in read_manifest(BUILD)]
        run(["cmake", "--build", "--preset", preset, "--target"] + targets)
    progress(f" {time.monotonic() - started:.0f} s", end="\n")


def constructs(runtime):
    """[(name, what it measures)] from the benchmark itself, the one list of them."""
    out = subprocess.run([binary(runtime, "overhead"), "--describe"], capture_output=True,
                         text=True)
    if out.returncode != 0:
        raise Failure(f"bench/overhead --describe failed: {out.stderr.strip()}")
    return [tuple(line.split("\t", 1)) for line in out.stdout.splitlines()]


def overhead_lines(scratch, command, env):
    """Runs a program of bench/; yields ('#', key, value) for its header lines and
    (construct, team, innerreps, test mean, test sd, reference mean, reference sd)."""
    child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    scratch.children.append(child)
    for line in child.stdout:
        fields = line.rstrip("\n").split("\t")
        if line.startswith("#"):
            yield ("#", fields[0][1:].strip(), "\t".join(fields[1:]))
        else:
            yield (fields[0], int(fields[1]), int(fields[2])) + tuple(float(v) for v in fields[3:7])
    error = child.stderr.read().strip()
    if child.wait() != 0:
        name = os.path.basename(command[0])
        raise Failure(error.splitlines()[-1] if error
                      else f"bench/{name} {' '.join(command[1:])} failed")


def runtime_text(runtime):
    """The compiler and the OpenMP library a runtime's benchmark was built with and loads."""
    compiler_path = "c++"
    with open(os.path.join(ROOT, "build", RUNTIMES[runtime][0], "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler_path = line.split("=", 1)[1].strip()
    library_text = "unknown"
    ldd = subprocess.run(["ldd", binary(runtime, "overhead")], capture_output=True,
                         text=True).stdout
    match = re.search(r"(lib(?:gomp|omp|iomp5)\.so\S*) => (\S+)", ldd)
    if match:
        library = os.path.realpath(match.group(2))
        package = first_line(["dpkg-query", "-S", library]).split(": ")[0]
        version = first_line(["dpkg-query", "-W", "-f=${Version}\n", package]) \
            if package != "unknown" else "unknown"
        library_text = f"{os.path.basename(library)} ({package} {version})"
    return (f"{runtime}: compiler {first_line([compiler_path, '--version'])} ({compiler_path}); "
            f"openmp runtime {library_text}")


def write_all(scratch, out_dir, files):
    """Writes every file whole under a temporary name in `out_dir`, then renames them all:
    a run stopped before the renames leaves the folder as it was (the clean-up removes
    the temporary files)."""
    staged = []
    for name, text in files.items():
        fd, tmp = tempfile.mkstemp(prefix=f".{name}.", dir=out_dir)
        scratch.files.append(tmp)
        with os.fdopen(fd, "w") as f:
            f.write(text)
        os.chmod(tmp, 0o644)
        staged.append((tmp, os.path.join(out_dir, name)))
    # No signal between the first rename and the last: the folder holds one run or the other.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM,
                                                        signal.SIGHUP})
    try:
        for tmp, final in staged:
            os.replace(tmp, final)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
