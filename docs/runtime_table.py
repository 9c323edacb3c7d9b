#!/usr/bin/env python3
"""Writes the guide's table of what GCC's and LLVM's OpenMP runtimes do differently.

It runs the same programs built by GCC (libgomp) and by clang (LLVM's libomp) under
the environments the table lists and writes the table into docs/lessons.md, between
its marker comments.

    python3 docs/runtime_table.py            # build what is missing, run, rewrite the table
    python3 docs/runtime_table.py --print    # the same, but print the table instead

The programs come from build/default (GCC) and build/clang (clang): each tree is
configured with its preset if it does not exist, and the programs used are brought up
to date. Runs that LLVM's runtime 14 may not survive are made with the address space
capped and a time limit, several times each, and reported as counts of outcomes.
"""
import argparse
import glob
import os
import platform
import re
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import date

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from tourlib import catalogue  # noqa: E402
from tourlib.term import Failure  # noqa: E402
GUIDE = os.path.join(HERE, "lessons.md")
BEGIN = "<!-- runtime-table:begin (written by docs/runtime_table.py) -->"
END = "<!-- runtime-table:end -->"
TREES = (("default", "build/default"), ("clang", "build/clang"))
PROGRAMS = ("greet_ids", "greet_eight", "hello_team", "env_report", "env_report_eight",
            "fill_pairs_tagged")
PROBE_MEMORY = 2 << 30  # address-space cap for the runs that may grow without bound
PROBE_TIMEOUT = 30      # seconds
GREETING = re.compile(r"Hola, soy el hilo: (\d+)")
TAGGED = re.compile(r"P\[i\] = (\d+) \t s\[i\] = \d+ \(hilo: (\d+)\) ")


def fail(message):
    sys.exit(f"runtime_table.py: {message}")


def progress(message):
    print(message, file=sys.stderr, flush=True)


class Tree:
    """One build of the suite: its compiler, its OpenMP runtime and its programs."""

    def __init__(self, preset, build):
        self.preset, self.dir = preset, os.path.join(ROOT, build)
        if not os.path.exists(os.path.join(self.dir, "CMakeCache.txt")):
            progress(f"configuring {build} (cmake --preset {preset})")
            self.cmake(["--preset", preset], f"cmake --preset {preset}")
        progress(f"building the programs in {build}")
        self.cmake(["--build", "--preset", preset, "--target", *PROGRAMS],
                   f"cmake --build --preset {preset}")
        try:
            self.paths = {p["name"]: p["path"] for p in catalogue.read_manifest(self.dir)}
        except Failure as e:
            fail(e.message)
        self.compiler = self.compiler_name()
        self.runtime = self.runtime_library()

    def cmake(self, args, shown):
        r = subprocess.run(["cmake", *args], cwd=ROOT, capture_output=True, text=True)
        if r.returncode != 0:
            fail(f"'{shown}' failed; run it yourself to see why")

    def compiler_name(self):
        for path in glob.glob(os.path.join(self.dir, "CMakeFiles", "*", "CMakeCXXCompiler.cmake")):
            with open(path) as f:
                text = f.read()
            ident = re.search(r'set\(CMAKE_CXX_COMPILER_ID "([^"]*)"\)', text)
            version = re.search(r'set\(CMAKE_CXX_COMPILER_VERSION "([^"]*)"\)', text)
            if ident and version:
                return f"{'GCC' if ident.group(1) == 'GNU' else ident.group(1)} {version.group(1)}"
        fail(f"no compiler recorded in {self.dir}; remove it and run again")

    def runtime_library(self):
        r = subprocess.run(["readelf", "-d", "-W", self.paths["greet_ids"]],
                           capture_output=True, text=True)
        for lib in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", r.stdout):
            if lib.startswith(("libgomp", "libomp", "libiomp")):
                return lib
        fail(f"no OpenMP runtime among the libraries of {self.paths['greet_ids']}"
             " (is readelf installed?)")

    def run(self, program, env=None, memory=None, timeout=PROBE_TIMEOUT):
        """One run with a clean OpenMP environment: (status, stdout, stderr). The status
        is the exit code, a negative signal number, or None after the time limit."""
        clean = catalogue.clean_environment(env or {})

        def limit():
            if memory:
                resource.setrlimit(resource.RLIMIT_AS, (memory, memory))

        try:
            r = subprocess.run([self.paths[program]], env=clean, capture_output=True,
                               text=True, errors="replace", timeout=timeout, preexec_fn=limit)
        except subprocess.TimeoutExpired:
            return None, "", ""
        return r.returncode, r.stdout, r.stderr

    def ok(self, program, env=None):
        """A run that must succeed: (stdout, stderr)."""
        status, out, err = self.run(program, env)
        if status != 0:
            shown = " ".join(f"{k}={v}" for k, v in (env or {}).items())
            fail(f"{program} failed in {os.path.relpath(self.dir, ROOT)} with "
                 f"{shown or 'no variables'}; run cmake --workflow --preset {self.preset} "
                 "to see what is wrong")
        return out, err


def first_line(err):
    lines = [line for line in err.splitlines() if line.strip()]
    if not lines:
        return "nothing"
    return f"`{lines[0].strip()}`" + (" …" if len(lines) > 1 else "")


def outcome(status, out, err):
    """What one run of greet_ids came to, in a few words."""
    if status is None:
        return f"still running after {PROBE_TIMEOUT} s"
    if "Out of heap memory" in err:
        return "out of heap memory (capped at 2 GB)"
    if "Assertion failure" in err:
        return "aborted on an assertion in the runtime"
    if status < 0:
        return f"killed by {signal.Signals(-status).name}"
    if status != 0:
        return f"exit status {status}"
    return f"team of {len(GREETING.findall(out))}" + (", with a warning" if err.strip() else "")


def outcomes(tree, env, runs):
    counts = {}
    for _ in range(runs):
        what = outcome(*tree.run("greet_ids", env, memory=PROBE_MEMORY))
        counts[what] = counts.get(what, 0) + 1
    ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    if len(ranked) == 1:
        return f"{ranked[0][0]} ({runs} of {runs} runs)"
    return "; ".join(f"{n} of {runs}: {what}" for what, n in ranked)


def static_division(tree):
    teams, off = (3, 7, 8, 30, 64), []
    counts3 = None
    for team in teams:
        out, _ = tree.ok("fill_pairs_tagged", {"OMP_NUM_THREADS": str(team)})
        owner = {int(m.group(1)) - 1: int(m.group(2)) for m in TAGGED.finditer(out)}
        q, r = divmod(100, team)
        rule = [t for t in range(team) for _ in range(q + 1 if t < r else q)]
        if [owner.get(i) for i in range(100)] != rule:
            off.append(team)
        if team == 3:
            counts3 = [sum(1 for t in owner.values() if t == k) for k in range(3)]
    verdict = "the block rule at every size" if not off else \
        "differs from the block rule at " + ", ".join(map(str, off))
    return f"{verdict}; 3 threads: {' + '.join(map(str, counts3))}"


def env_values(tree, program, env):
    """Team size, dynamic adjustment and nesting as env_report writes them."""
    out, _ = tree.ok(program, env)
    return dict(re.findall(r"^(.*?): ?(\d+) ?$", out, re.M))


def timing(tree, env, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        tree.ok("hello_team", env)
        times.append((time.perf_counter() - start) * 1000)
    return f"{statistics.median(times):.1f} ms ({min(times):.1f}–{max(times):.1f})"


def team_under_limit(tree):
    out, _ = tree.ok("greet_eight", {"OMP_THREAD_LIMIT": "3"})
    return f"team of {out.count('hilo: ')}"


def no_threads(tree):
    """greet_ids when its threads' stacks do not fit in the address space."""
    status, out, err = tree.run("greet_ids", {"OMP_NUM_THREADS": "64", "OMP_STACKSIZE": "64M"},
                                memory=1 << 30)
    if status is None:
        ended = f"still running after {PROBE_TIMEOUT} s"
    elif status < 0:
        ended = "killed by " + signal.Signals(-status).name
    else:
        ended = f"exit status {status}"
    return f"{ended}, {len(GREETING.findall(out))} greetings; {first_line(err)}"


def rows(gcc, llvm, runs, timing_runs):
    """(behaviour, what was run, GCC's cell, clang's cell, comparable?) for every row."""
    table = []

    def both(behaviour, run, measure, comparable=True):
        progress(f"measuring: {behaviour}: {run}".replace("`", ""))
        table.append((behaviour, run, measure(gcc), measure(llvm), comparable))

    def stderr_of(program, env=None):
        return lambda tree: first_line(tree.ok(program, env)[1])

    def report(program, line, env=None):
        return lambda tree: env_values(tree, program, env or {}).get(line, "?")

    both("Static division of 100 iterations",
         "`fill_pairs_tagged`, `OMP_NUM_THREADS` = 3, 7, 8, 30, 64", static_division)
    both("Team under a thread limit", "`greet_eight` (asks for 8), `OMP_THREAD_LIMIT=3`",
         team_under_limit)
    both("Default dynamic adjustment", "`env_report`, no variables",
         report("env_report", "hilos dinamicos habilitados"))
    both("Default nesting", "`env_report`, no variables",
         report("env_report", "Soporte de anidacion en paralelo?"))
    both("Team with dynamic adjustment on", "`env_report_eight` (asks for 8), `OMP_DYNAMIC=true`",
         lambda tree: "team of " + report("env_report_eight", "Numero de hilos",
                                          {"OMP_DYNAMIC": "true"})(tree))
    for value in ("abc", "-3", "0", ""):
        both("Invalid `OMP_NUM_THREADS`", f"`greet_ids`, `OMP_NUM_THREADS=\"{value}\"`",
             lambda tree, v=value: outcomes(tree, {"OMP_NUM_THREADS": v}, runs))
    both("stderr, invalid value", "`greet_ids`, `OMP_NUM_THREADS=abc`",
         lambda tree: first_line(tree.run("greet_ids", {"OMP_NUM_THREADS": "abc"},
                                          memory=PROBE_MEMORY)[2]))
    both("stderr, a plain run", "`env_report`, no variables", stderr_of("env_report"))
    both("stderr, team capped by a limit", "`greet_eight`, `OMP_THREAD_LIMIT=3`",
         stderr_of("greet_eight", {"OMP_THREAD_LIMIT": "3"}))
    both("stderr, `OMP_NESTED` set", "`env_report`, `OMP_NESTED=true`",
         stderr_of("env_report", {"OMP_NESTED": "true"}))
    both("Threads cannot be created",
         "`greet_ids`, 64 threads of 64 MB stack in 1 GB of address space", no_threads)
    both("Whole-program time, two threads",
         f"`hello_team`, `OMP_NUM_THREADS=2`, median (min–max) of {timing_runs}",
         lambda tree: timing(tree, {"OMP_NUM_THREADS": "2"}, timing_runs), comparable=False)
    both("The same, passive waiting", "as above, `OMP_WAIT_POLICY=passive`",
         lambda tree: timing(tree, {"OMP_NUM_THREADS": "2", "OMP_WAIT_POLICY": "passive"},
                             timing_runs), comparable=False)
    return table


def machine():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            found = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M)
            if found:
                model = found.group(1).strip()
    except OSError:
        pass
    return f"{model}, {len(os.sched_getaffinity(0))} logical processors, Linux {platform.release()}"


def markdown(gcc, llvm, table, runs):
    def cell(text):
        return text.replace("|", "\\|")

    out = [f"Measured on: {machine()}, {date.today().isoformat()}. Runs that may not end are "
           f"capped at 2 GB of address space and {PROBE_TIMEOUT} s, {runs} runs each.",
           "",
           f"| Behaviour | Run | {gcc.compiler}, `{gcc.runtime}` "
           f"| {llvm.compiler}, `{llvm.runtime}` | Same? |",
           "|---|---|---|---|---|"]
    for behaviour, run, a, b, comparable in table:
        same = ("yes" if a == b else "**no**") if comparable else ""
        out.append(f"| {behaviour} | {run} | {cell(a)} | {cell(b)} | {same} |")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--print", action="store_true", help="print the table; change no file")
    parser.add_argument("--runs", type=int, default=5, metavar="N",
                        help="runs per invalid OMP_NUM_THREADS value (default 5)")
    parser.add_argument("--timing-runs", type=int, default=21, metavar="N",
                        help="runs of the timed program (default 21)")
    parser.error = lambda message: fail(f"{message} (see --help)")
    args = parser.parse_args()
    if args.runs < 1 or args.timing_runs < 1:
        fail("--runs and --timing-runs take a whole number of at least 1")
    with open(GUIDE) as f:
        guide = f.read()
    if not args.print and (guide.count(BEGIN) != 1 or guide.count(END) != 1
                           or guide.index(BEGIN) > guide.index(END)):
        fail(f"{os.path.relpath(GUIDE, ROOT)} needs one '{BEGIN}' line "
             f"and one '{END}' line after it")

    gcc, llvm = (Tree(preset, build) for preset, build in TREES)
    table = markdown(gcc, llvm, rows(gcc, llvm, args.runs, args.timing_runs), args.runs)
    if args.print:
        print(table, end="")
        return

    with open(GUIDE) as f:  # as it is now, should it have been edited meanwhile
        guide = f.read()
    if guide.count(BEGIN) != 1 or guide.count(END) != 1:
        fail(f"{os.path.relpath(GUIDE, ROOT)} lost its table markers while the programs ran")
    head, rest = guide.split(BEGIN)
    tail = rest.split(END, 1)[1]
    fd, tmp = tempfile.mkstemp(dir=HERE, prefix=".lessons.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w") as f:
            f.write(f"{head}{BEGIN}\n{table}{END}{tail}")
        os.chmod(tmp, os.stat(GUIDE).st_mode & 0o777)
        os.replace(tmp, GUIDE)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    print(f"wrote the runtime table in {os.path.relpath(GUIDE, ROOT)}")


if __name__ == "__main__":
    # SIGTERM and SIGHUP end the script as Ctrl-C does, so the temporary file is removed.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, frame: fail(f"stopped by signal {number}"))
    try:
        main()
    except FileNotFoundError as missing:
        fail(f"{missing.filename} not found; install it (README, Prerequisites)")
    except KeyboardInterrupt:
        sys.exit("runtime_table.py: interrupted; docs/lessons.md is unchanged")
