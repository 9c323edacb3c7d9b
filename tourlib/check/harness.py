"""Runs the test suite's harness on the cases of one program and reads back what each
case did, as the harness recorded it (gtest's JSON results with the properties the test
support adds: what the program printed, its environment, whether it hung)."""
import concurrent.futures
import json
import os
import subprocess

from .. import catalogue
from ..build import stop
from ..term import Failure
from .families import RUN_TIMEOUT


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
        self.hung = test.get("hung", "")  # "ran": it ran past its deadline

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


def run_cases(binary, name, workdir, shards=2, runner=None):
    """Runs the cases of `name` in `binary`, `shards` harness processes at once (one per
    core of a small machine). Returns them in table order, and why the harness was
    stopped if it was ("" if not). `runner(argv, env, output)`, if given, runs one
    harness process (in a sandbox) and returns why it stopped it, or ""."""
    names = owned_cases(binary, name)
    if not names:
        return [], ""
    harness = os.path.basename(binary)
    outputs, commands = [], []
    for index in range(shards):
        output = os.path.join(workdir, f"{harness}-{index}.json")
        if os.path.exists(output):
            os.remove(output)
        outputs.append(output)
        env = {"GTEST_TOTAL_SHARDS": str(shards), "GTEST_SHARD_INDEX": str(index),
               "SUITE_RUN_TIMEOUT": str(RUN_TIMEOUT)}
        commands.append(([binary, "--gtest_filter=" + ":".join(names),
                          f"--gtest_output=json:{output}"], env, output))
    if runner is None:
        stopped = run_directly(commands)
    else:
        with concurrent.futures.ThreadPoolExecutor(shards) as pool:
            stopped = next((r for r in pool.map(lambda c: runner(*c), commands) if r), "")
    if stopped and not all(os.path.exists(o) for o in outputs):
        return [], stopped
    return read_results(outputs, names, binary), stopped


def run_directly(commands):
    processes = [subprocess.Popen(argv, env=catalogue.clean_environment(env),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  start_new_session=True) for argv, env, _ in commands]
    try:
        for process in processes:
            process.wait()
    finally:  # interrupted: stop the harness, which ends the program it runs
        for process in processes:
            stop(process)
    return ""


def read_results(outputs, names, binary="the harness"):
    order = {name: k for k, name in enumerate(names)}
    cases = []
    for output in outputs:
        try:
            with open(output) as f:
                data = json.load(f)
        except (OSError, ValueError):
            raise Failure(f"the test harness wrote no results: run {binary} to see why",
                          3) from None
        os.remove(output)
        cases += parse_results(data, order)
    return sorted(cases, key=lambda c: c.order)


def parse_results(data, order):
    """The cases of one gtest JSON document."""
    return [Case(test, order) for suite in data.get("testsuites", [])
            for test in suite.get("testsuite", [])]
