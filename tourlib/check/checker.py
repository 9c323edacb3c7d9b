"""Checking a student's version: each family builds the file into its tree, runs the test
suite's cases of the program, and judges them; the verdict document is made, rendered
and, if asked, written."""
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import tempfile

from .. import build, catalogue, sandbox
from ..build import configure, configure_error, diagnostics, open_log, run_logged
from ..term import DIM, OFF, flush, indent, say
from . import harness, reports, verdict, words
from .families import FAMILIES, RUN_TIMEOUT

SOURCE_SUFFIXES = (".cpp", ".cc", ".cxx", ".C")
# A compile of one lesson takes a second or two; a template bomb is stopped here.
COMPILE_TIMEOUT = 60
# One harness process runs a program's cases, each with its own deadline; together
# they end well within this.
HARNESS_TIMEOUT = 600


class Checker:
    """Judges one file as one program. The file's content is copied to one place per
    program (check/student/NAME.cpp), which the trees build: a new file costs no new
    configuration, and the sandboxed build sees that copy and no other file of anyone's.
    With `sandboxed`, every build and run of the file goes through the sandbox."""

    def __init__(self, program, source, show_warnings=True, sandboxed=False):
        self.program, self.source = program, source
        self.name = program["name"]
        self.sandboxed = sandboxed
        self.compiled = os.path.join(build.BUILD, "check", "student", self.name + ".cpp")
        self.scratch = None
        self.show_warnings = show_warnings
        self.quiet = not show_warnings  # no text at all: the verdict goes out as a document
        self.uncompiled = set()  # the compilers that rejected the file
        self.warnings = []  # what the first compiler said of the file that it built
        with open(source, "rb") as f:
            content = f.read()
        self.content = content
        self.digest = hashlib.sha256(content).hexdigest()
        # The lines as they were judged, even if the file changes during the check.
        self.lines = content.decode(errors="replace").splitlines()

    def definitions(self):
        """What configures a tree to build this program alone, from the staged copy."""
        return [f"SUITE_CHECK_PROGRAM={self.name}", f"SUITE_CHECK_SOURCE={self.compiled}"]

    def tree(self, family):
        return os.path.join(build.BUILD, "check", family)

    def record_path(self, tree):
        """Where the tree records what the program's file held when it was last compiled
        and what the compiler said then."""
        return os.path.join(tree, "compiled", self.name + ".json")

    def stage(self, content):
        """Puts `content` where the trees build the program from, if it is not there
        already (an unchanged copy keeps its time, and its objects stay valid)."""
        try:
            with open(self.compiled, "rb") as f:
                if f.read() == content:
                    return
        except OSError:
            pass
        os.makedirs(os.path.dirname(self.compiled), exist_ok=True)
        with open(self.compiled + ".tmp", "wb") as f:
            f.write(content)
        os.replace(self.compiled + ".tmp", self.compiled)

    def told(self, text):
        """Compiler messages about the copy, told as about the student's file."""
        return text.replace(self.compiled, os.path.relpath(self.source))

    def compile(self, tree, log):
        """Builds the program in `tree`, sandboxed if so chosen: True if it compiled.
        What the compiler printed goes to the log; a compiler stopped by a limit is said."""
        command = ["cmake", "--build", tree, "--target", self.name]
        if not self.sandboxed:
            return run_logged(command, log)
        log.write(f"$ {' '.join(command)}   (sandboxed)\n")
        done = sandbox.run(command, scratch=self.scratch_dir(), cwd=catalogue.ROOT,
                           read_only=[catalogue.ROOT, os.path.dirname(self.compiled)],
                           writable=[tree], limits=sandbox.COMPILE, unprivileged=False,
                           timeout=COMPILE_TIMEOUT)
        log.write((done.stdout + done.stderr).decode(errors="replace"))
        if done.reason:
            log.write(f"error: the compiler was stopped: it {done.reason}\n")
        log.flush()
        return done.returncode == 0 and not done.reason

    def scratch_dir(self):
        """The check's own writable folder for what runs sandboxed, made on first use."""
        if self.scratch is None:
            os.makedirs(os.path.join(build.BUILD, "check"), exist_ok=True)
            self.scratch = tempfile.mkdtemp(prefix="scratch-",
                                            dir=os.path.join(build.BUILD, "check"))
        return self.scratch

    def close(self):
        if self.scratch:
            shutil.rmtree(self.scratch, ignore_errors=True)
            self.scratch = None

    def compiled_before(self, tree):
        """The compiler's messages if the tree compiled this very content before, else
        None, after removing the object: the build compiles a file again only when it is
        newer than its object, and a file put in place with an older time (mv, cp -p, a
        tar) would otherwise be judged by the old object."""
        try:
            with open(self.record_path(tree)) as f:
                record = json.load(f)
            if record["digest"] == self.digest:
                return record["messages"]
        except (OSError, ValueError, KeyError):
            pass
        objects = os.path.join(tree, self.program["folder"], "CMakeFiles", f"{self.name}.dir")
        for folder, _, files in os.walk(objects):
            for file in files:
                if file.endswith(".o"):
                    os.remove(os.path.join(folder, file))
        return None

    def build(self, family):
        """Configures and builds the family's tree; returns None when it is ready, or a
        family document when the family cannot go on."""
        setup = FAMILIES[family]
        for command in setup["tools"]:
            if shutil.which(command) is None:
                return verdict.family_doc(family, "error", f"{command} not found (this check "
                                          f"needs: apt-get install {setup['packages']})")
        tree = self.tree(family)
        log_path = tree + ".log"
        definitions = self.definitions()
        self.stage("\n".join(self.lines).encode() + b"\n" if self.content is None
                   else self.content)
        with open_log(log_path) as log:
            if not configure(setup["preset"], tree, log, definitions):
                log.flush()
                return verdict.family_doc(
                    family, "error", f"its build cannot be configured: "
                    f"{configure_error(log_path)} (this check needs: apt-get install "
                    f"{setup['packages']})")
            # An unchanged file is not compiled again: its messages are those recorded.
            messages = self.compiled_before(tree)
            log.flush()
            start = log.tell()
            ok = self.compile(tree, log)
            if messages is None:
                with open(log_path, errors="replace") as f:
                    f.seek(start)
                    messages = self.told(diagnostics(f.read()))
            if not ok:
                self.uncompiled.add(setup["compiler"])
                return verdict.family_doc(family, "fail", f"{os.path.relpath(self.source)} "
                                          f"does not compile with {setup['compiler']}",
                                          details=no_main(messages).splitlines())
            os.makedirs(os.path.dirname(self.record_path(tree)), exist_ok=True)
            with open(self.record_path(tree), "w") as f:
                json.dump({"digest": self.digest, "messages": messages}, f)
            if messages and not self.warnings:
                self.warnings = messages.splitlines()
            if messages and self.show_warnings:
                say(f"the compiler warns ({family} build):")
                say(indent(messages))
                self.show_warnings = False
            if not run_logged(["cmake", "--build", tree, "--target"] + setup["harness"], log):
                return verdict.family_doc(family, "error", f"its test harness did not build "
                                          f"(log: {os.path.relpath(log_path)})")
        return None

    def harness_built(self, family):
        return all(os.path.exists(os.path.join(self.tree(family), "tests", h))
                   for h in FAMILIES[family]["harness"])

    def prepare(self, families):
        """Configures the trees whose harness is not built yet and builds them, all at
        once (the first check's long wait, shortened by doing the families side by side).
        What fails here is told by each family's own build, which follows."""
        todo = [f for f in families if not self.harness_built(f)
                and all(shutil.which(c) for c in FAMILIES[f]["tools"])]
        if not todo:
            return
        if not self.quiet:
            say(f"{DIM}   building the test harness of {', '.join(todo)} (once; about a minute)..."
                f"{OFF}")
            flush()

        # The harnesses depend on the program: while they are built, outside any sandbox,
        # the program is built from the lesson's own file, never from the student's.
        with open(os.path.join(catalogue.ROOT, self.program["source"]), "rb") as f:
            self.stage(f.read())

        def one(family):
            tree = self.tree(family)
            definitions = self.definitions()
            with open_log(tree + ".first.log") as log:
                if configure(FAMILIES[family]["preset"], tree, log, definitions):
                    run_logged(["cmake", "--build", tree, "--target"]
                               + FAMILIES[family]["harness"], log)

        with concurrent.futures.ThreadPoolExecutor(len(todo)) as pool:
            list(pool.map(one, todo))

    def judge(self, family):
        """The family's document."""
        blocked = self.build(family)
        if blocked:
            return blocked
        cases = []
        for name in FAMILIES[family]["harness"]:
            binary = os.path.join(self.tree(family), "tests", name)
            found, stopped = harness.run_cases(binary, self.name, self.tree(family),
                                               runner=self.runner(family))
            if stopped and not found:
                return verdict.family_doc(family, "fail",
                                          f"stopped by the sandbox ({stopped})")
            cases += found
        return self.judged(family, cases)

    def runner(self, family):
        """How the harness is run: None (directly), or through the sandbox, the tree
        read-only and the results in the scratch folder."""
        if not self.sandboxed:
            return None
        tree = self.tree(family)
        limits = sandbox.SANITIZED if family == "races" else sandbox.RUN

        def run(argv, env, output):
            scratch = self.scratch_dir()
            inside = os.path.join(scratch, os.path.basename(output))
            argv = [a.replace(output, inside) for a in argv]
            done = sandbox.run(argv, scratch=scratch, read_only=[catalogue.ROOT, tree],
                               env=env, limits=limits, timeout=HARNESS_TIMEOUT)
            if os.path.exists(inside):
                shutil.move(inside, output)
            return done.reason
        return run

    def judged(self, family, cases):
        """The family's document from the cases the harness ran."""
        ran = [c for c in cases if not c.skipped]
        skipped = verdict.skipped_groups(cases)
        if not ran:
            return verdict.family_doc(family, "error", f"no case of the test suite runs "
                                      f"{self.name} here", skipped=skipped)
        counted = f"{len(ran)} cases" + (f" ({sum(s['count'] for s in skipped)} more skipped)"
                                         if skipped else "")
        # The program's own table first: its failures say more than the generic cases
        # every program shares (arguments, failed writes, invalid variables).
        ran.sort(key=lambda c: (c.generic, c.order))
        hung = [c for c in ran if c.hung == "ran"]
        if hung:
            return verdict.family_doc(
                family, "fail", f"the program did not end within {RUN_TIMEOUT} s in "
                f"{len(hung)} of {len(ran)} cases",
                self.cases(ran, {c.name: ("it did not end in time and was killed", [])
                                 for c in hung}), skipped)
        reports_of = FAMILIES[family]["reports"]
        if reports_of is None:
            failed = {c.name: (words.plain(c.failures[0]), None) for c in ran if c.failures}
            if not failed:
                return verdict.family_doc(family, "pass", counted, self.cases(ran, {}), skipped)
            return verdict.family_doc(family, "fail", f"{len(failed)} of {len(ran)} cases failed",
                                      self.cases(ran, failed), skipped)
        found = {}
        for c in ran:
            report = reports.report(c.stderr, self.compiled) if c.failures else None
            if report is not None:
                found[c.name] = (report["headline"], self.places(report))
        if not found:
            return verdict.family_doc(family, "pass", f"{counted}, no report",
                                      self.cases(ran, {}), skipped)
        return verdict.family_doc(
            family, "fail", f"{reports_of} reported in {len(found)} of {len(ran)} cases",
            self.cases(ran, found), skipped)

    @staticmethod
    def cases(ran, failed):
        """Every case that ran, the failing ones with what went wrong (`failed`: name ->
        (message, places or None)); first the one to show: the program's own table's
        before the generic cases, and of those the one that printed least, which is the
        easiest to read."""
        first = min((c for c in ran if c.name in failed), default=None,
                    key=lambda c: (c.generic, c.stdout_lines, c.order))
        ordered = ([first] if first else []) + [c for c in ran if c is not first]
        docs = []
        for c in ordered:
            if c.name in failed:
                message, places = failed[c.name]
                docs.append(verdict.case_doc(c, True, message, places or (),
                                             stderr=not places))
            else:
                docs.append(verdict.case_doc(c, False))
        return docs

    def places(self, report):
        """The report's places in the checked file, each with the text of its line."""
        source = self.lines
        return [dict(place, file=os.path.relpath(self.source),
                     text=source[place["line"] - 1].strip()
                     if 0 < place["line"] <= len(source) else "")
                for place in report["where"]]


def no_main(messages):
    """The linker's complaint about a missing main, said plainly before it."""
    if re.search(r"undefined reference to [`']main'", messages):
        return "your file has no main(): a program starts there\n" + messages
    return messages
