"""Runs the test suite's harness on the cases of one program and reads back what each
case did, as the harness recorded it (gtest's JSON results with the properties the test
support adds: what the program printed, its environment, whether it hung, its status and
whether a detector ended it).

The harness is trusted (built from the suite's own sources) and runs outside the
sandbox: the program it judges cannot signal, trace or write anything of it. It runs
the build the check names (its own manifest, SUITE_MANIFEST), each run through the
sandbox's prefix (SUITE_RUN_PREFIX), and writes its results where no sandbox can see."""
import concurrent.futures
import dataclasses
import json
import os
import shutil
import subprocess
import threading
from typing import Optional

from .. import catalogue, processes
from ..files import read_regular
from ..term import Failure, printable
from .families import RUN_TIMEOUT

# One harness process runs a program's cases, each run with its own deadline
# (RUN_TIMEOUT, after which no later run of the program is started); together they end
# well within this.
HARNESS_TIMEOUT = 300
# A harness's results: each case keeps at most some 20 KB of what the program printed.
RESULTS_CAP = 64 << 20


@dataclasses.dataclass
class Launcher:
    """How the harness runs the build being judged: the manifest that names it, and
    the words of the sandbox each run goes through (None: run directly, a student's own
    check where there is no sandbox)."""
    manifest: str
    prefix: Optional[list] = None


# The most characters kept of each recorded fact: the test support records at most 200,
# and a few more for saying how many were cut.
FACT_LENGTH = 240


@dataclasses.dataclass
class Compared:
    """A failed check of a program's run, as its test recorded it."""
    what: str
    got: str
    want: str
    when: str


class Case:
    """One test case of a harness's results; `order` is its place in the table."""

    def __init__(self, test, order):
        self.name = f"{test.get('classname', '')}.{test['name']}"
        self.order = order.get(self.name, len(order))
        self.failures = [f["failure"] for f in test.get("failures", [])]
        self.skipped = test.get("result") == "SKIPPED"
        self.skip_reason = test.get("skipped", "")
        self.stdout = test.get("stdout", "")
        self.stdout_tail = test.get("stdout_tail", "")
        self.stdout_lines = int(test.get("stdout_lines", 0))
        self.stderr = test.get("stderr", "")
        self.path = test.get("path", "")
        self.arguments = test.get("arguments", "").split("\n") if test.get("arguments") else []
        self.environment = test.get("environment", "").split()
        self.processors = int(test.get("processors", 0))
        # The variables that told the program of more processors than it runs on.
        self.told = test.get("told", "").split()
        for word in self.told:
            if word.startswith("SUITE_PROCESSORS="):
                self.processors = int(word.split("=", 1)[1])
        # "ran": it ran past its deadline; "not started": an earlier run of the program by
        # the same harness had, and this case's was not started.
        self.hung = test.get("hung", "")
        # The first failed check of the program's run, as the test recorded it (the
        # support's facts.hpp): what was checked, the value the program gave and the one
        # the lesson gives (both "" for a condition), and the scopes it failed in.
        self.compared = Compared(*(printable(test.get("compared_" + k, ""))[:FACT_LENGTH]
                                   for k in ("what", "got", "want", "when"))) \
            if "compared_what" in test else None
        # A detector (a sanitizer, valgrind) ended the program with its own status.
        self.detected = test.get("detected") == "yes"

    @property
    def generic(self):
        """A case of the tables every program shares (arguments, failed writes, invalid
        variables), instantiated as Suite/, as against the program's own table."""
        return self.name.startswith("Suite/")


def owned_cases(binary, name):
    """The names of the harness's cases that belong to program `name`, in table order, as
    the harness itself lists them."""
    try:
        listing = subprocess.run([binary, "--suite_cases"], capture_output=True, text=True)
    except OSError as e:
        raise Failure(f"cannot run {binary}: {e.strerror}", 3) from e
    if listing.returncode != 0:
        raise Failure(f"{binary} --suite_cases failed: {listing.stderr.strip()}", 3)
    rows = (line.split("\t") for line in listing.stdout.splitlines())
    return [row[0] for row in rows if len(row) == 2 and row[1] == name]


def run_cases(binary, name, prefix, launcher, limits, shards=2):
    """Runs the cases of `name` in `binary`, `shards` harness processes at once (one per
    core of a small machine), each watched by the sandbox's `limits` (its whole tree's
    memory) and a deadline. Returns the cases in table order and "", or no cases and
    why a harness was stopped. The harnesses' files are named from `prefix`, a path."""
    names = owned_cases(binary, name)
    if not names:
        return [], ""
    harness = os.path.basename(binary)
    jobs = []
    for index in range(shards):
        output = f"{prefix}-{harness}-{index}.json"
        env = {"GTEST_TOTAL_SHARDS": str(shards), "GTEST_SHARD_INDEX": str(index),
               "SUITE_RUN_TIMEOUT": str(RUN_TIMEOUT), "SUITE_MANIFEST": launcher.manifest}
        jobs.append(([binary, "--gtest_filter=" + ":".join(names),
                      f"--gtest_output=json:{output}"], env, output))
    cancel = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(shards) as pool:
        try:
            stopped = [r for r in pool.map(lambda j: run_one(*j, launcher, limits, cancel),
                                           jobs) if r]
        except BaseException:  # interrupted: end every harness before going
            cancel.set()
            raise
    if stopped:
        return [], stopped[0]
    return read_results([output for _, _, output in jobs], names, binary), ""


def run_one(argv, env, output, launcher, limits, cancel):
    """One harness process, watched; why it was stopped, or ""."""
    if launcher.prefix is None:
        env = catalogue.clean_environment(env)
    else:
        # The harness passes its environment on to every program: it gets nothing of
        # the caller's.
        prefix = output + ".prefix"
        with open(prefix, "wb") as f:
            f.write(b"\0".join(os.fsencode(w) for w in launcher.prefix))
        env = dict(env, PATH="/usr/bin:/bin", LANG="C.UTF-8", HOME=os.path.dirname(output),
                   SUITE_RUN_PREFIX=prefix)
    if shutil.which("setpriv"):
        # The harness dies with the thread that waits for it, even when the tour is
        # killed outright; the sandboxes it started die with it.
        argv = [shutil.which("setpriv"), "--pdeathsig", "KILL", "--"] + argv
    try:
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
    except OSError as e:
        raise Failure(f"cannot run {argv[0]}: {e.strerror}", 3) from e
    return processes.watch(process, timeout=HARNESS_TIMEOUT, limits=limits, cancel=cancel)[2]


def read_results(outputs, names, binary="the harness"):
    """The cases the harness reported, read once each from files no sandbox could
    write; a harness that did not report on every case it was asked to run has not
    passed them."""
    order = {name: k for k, name in enumerate(names)}
    cases = []
    for output in outputs:
        try:
            data = json.loads(read_regular(output, RESULTS_CAP).decode(errors="replace"))
        except Failure as e:
            raise Failure(f"the test harness's results cannot be read ({e.message}): run "
                          f"{binary} to see why", 3) from None
        except ValueError:
            raise Failure(f"the test harness wrote no results: run {binary} to see why",
                          3) from None
        os.remove(output)
        cases += parse_results(data, order)
    missing = set(names) - {c.name for c in cases}
    if missing:
        raise Failure(f"the test harness did not report on {len(missing)} of the "
                      f"{len(names)} cases it ran (first: {min(missing)})", 3)
    return sorted(cases, key=lambda c: c.order)


def parse_results(data, order):
    """The cases of one gtest JSON document."""
    return [Case(test, order) for suite in data.get("testsuites", [])
            for test in suite.get("testsuite", [])]
