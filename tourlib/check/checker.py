"""Checking a student's version: each family compiles the file in the sandbox, runs the
test suite's cases of the program against that build, and judges them; the verdict
document is made, rendered and, if asked, written.

Where trust ends: the family's tree (the test harness, the libraries a program links
with) is configured and built from the suite's own sources, by the caller, and no
sandbox can write it. The student's file is read once; its copy is compiled inside the
sandbox into a folder of this check's own, and the harness, outside the sandbox, starts
each run of the program inside one. Nothing the student's file produced is compiled or
run anywhere else."""
import concurrent.futures
import dataclasses
import hashlib
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import threading

from .. import build, catalogue, processes, sandbox
from ..build import configure, configure_error, open_log, run_logged
from ..term import DIM, OFF, flush, indent, say
from . import advice, forbidden, harness, model, reports, verdict
from .families import FAMILIES, RUN_TIMEOUT

SOURCE_SUFFIXES = (".cpp", ".cc", ".cxx", ".C")
# A compile of one lesson takes a second or two; a template bomb is stopped here.
COMPILE_TIMEOUT = 60
# Where the sandbox sees the student's file, their program and the compiler's output.
INSIDE = "/submission"
# The compiler's messages kept for the verdict, in lines.
MESSAGE_LINES = 200
# Reading the preprocessed text of a file with every header of the C++ library takes
# about a second.
SCAN_SECONDS = 20
# The builds left for the student to run (a verdict's "run it:"), for this many files.
KEPT = 8
# Said before the linker's messages when they say the file has no main.
NO_MAIN = "your file has no main(): a program starts there"
# What a case of a program that hung says: the run that did not end, and the runs the
# harness did not start after it.
HUNG = {"ran": "it did not end in time and was killed",
        "not started": "not run: an earlier run of the program did not end in time"}


class Checker:
    """Judges one file's content as one program. `content` is the file as read once;
    `shown_as` is how the student names it. With `sandboxed`, every compile and run of
    the content goes through the sandbox; `keep` leaves the last build of each family
    where the student can run it (build/check/last/DIGEST/FAMILY/NAME)."""

    def __init__(self, program, shown_as, content=None, show_warnings=True, sandboxed=False,
                 keep=False, uid=None):
        self.program, self.shown_as = program, shown_as
        # As root, the uid every sandbox of this check runs as (sandbox.identity()): its
        # task limit bounds the submission's sandboxes together.
        self.uid = uid
        self.name = program["name"]
        self.sandboxed, self.keep = sandboxed, keep
        if content is None:
            with open(shown_as, "rb") as f:
                content = f.read()
        self.content = content
        self.digest = hashlib.sha256(content).hexdigest()
        # The lines as they were judged.
        self.lines = content.decode(errors="replace").splitlines()
        self.work = None  # the check's own folder, made on first use
        self.show_warnings = show_warnings
        self.quiet = not show_warnings  # no text at all: the verdict goes out as a document
        self.uncompiled = set()  # the compilers that rejected the file
        self.warnings = []  # what the first compiler said of the file that it built
        self.compiled_as = (os.path.join(INSIDE, self.name + ".cpp") if sandboxed
                            else None)  # set with the work folder when not sandboxed
        # Families may be judged side by side: what they share is made and told under it.
        self.lock = threading.RLock()

    # -- the check's own folder ------------------------------------------------------

    def workdir(self):
        """A folder of this check's own, which only the caller may enter: the copy of
        the file, each family's build of it, the harness's instructions and results."""
        with self.lock:
            return self._workdir()

    def _workdir(self):
        if self.work is None:
            parent = os.path.join(build.BUILD, "check", "work")
            os.makedirs(parent, exist_ok=True)
            self.work = tempfile.mkdtemp(prefix=f"{self.name}-", dir=parent)
            source = os.path.join(self.work, self.name + ".cpp")
            with open(source, "wb") as f:
                f.write(self.content)
            os.chmod(source, 0o644)  # read by the compiler, as the sandbox's uid
            if self.compiled_as is None:
                self.compiled_as = source
        return self.work

    def close(self):
        if self.work:
            shutil.rmtree(self.work, ignore_errors=True)
            self.work = None

    @staticmethod
    def clear_leftovers():
        """Removes what checks that were killed (not interrupted: those clean up) left:
        their folders, with a copy of someone's file and its builds, and the folder where
        files were once staged for the trees. Called under the check's lock, when no
        other check runs in this tree."""
        check = os.path.join(build.BUILD, "check")
        shutil.rmtree(os.path.join(check, "work"), ignore_errors=True)
        shutil.rmtree(os.path.join(check, "student"), ignore_errors=True)

    def tree(self, family):
        return os.path.join(build.BUILD, "check", family)

    def definitions(self):
        """What configures a tree to declare this program alone, from its own source."""
        return [f"SUITE_CHECK_PROGRAM={self.name}", "SUITE_CHECK_SOURCE="]

    def told(self, text):
        """Compiler messages about the copy, told as about the student's file."""
        return text.replace(self.compiled_as, self.shown_as)

    # -- the compiler's reading of the file ------------------------------------------

    def dump(self):
        """clang's parse of the copy as its JSON dump (bytes), made in the sandbox when
        so chosen, beside the families' builds, with the precompiled headers it used:
        (dump, their path), or None where there is none (no clang, a parse that failed
        or said too much). What it holds is read apart, by the advice (model.read)."""
        if shutil.which("clang++") is None:
            return None
        try:
            with self.lock:
                # Whole paths without links: the sandbox binds the folder where it is,
                # and the precompiled header names its header by the path it was made at.
                pch = model.precompiled(os.path.realpath(os.path.join(build.BUILD, "check",
                                                                      "model")))
                work = self.workdir()
        except (OSError, subprocess.CalledProcessError):
            return None
        done = self.parse(pch, work)
        if not done.stdout and not done.reason and not model.usable(pch):
            # A header the precompiled one was made from has changed since: made again.
            try:
                with self.lock:
                    pch = model.precompiled(os.path.dirname(pch), again=True)
            except (OSError, subprocess.CalledProcessError):
                return None
            done = self.parse(pch, work)
        return (done.stdout, pch) if not done.reason and done.stdout else None

    def parse(self, pch, work):
        argv = model.parse_argv(self.compiled_as, pch)
        limits = dataclasses.replace(sandbox.COMPILE, output=model.DUMP_CAP)
        if not self.sandboxed:
            return direct(argv, work, limits, COMPILE_TIMEOUT)
        # The precompiled header names the header it was made from: both are read.
        folder = os.path.dirname(pch)
        return sandbox.run(argv, read_only=[(os.path.join(work, self.name + ".cpp"),
                                             self.compiled_as), (folder, folder)],
                           cwd=INSIDE, uid=self.uid, limits=limits, timeout=COMPILE_TIMEOUT)

    # -- the trusted trees -----------------------------------------------------------

    def harness_built(self, family):
        return all(os.path.exists(os.path.join(self.tree(family), "tests", h))
                   for h in FAMILIES[family]["harness"])

    def trusted_build(self, family, log):
        """Configures the family's tree and builds its harness and what the program
        links with, from the suite's own sources: True if it could."""
        tree = self.tree(family)
        return (configure(FAMILIES[family]["preset"], tree, log, self.definitions())
                and run_logged(["cmake", "--build", tree, "--target", "suite_stdout_check",
                                "suite_processors"] + FAMILIES[family]["harness"], log))

    def prepare(self, families):
        """Builds the trees whose harness is not built yet, all at once (the first
        check's long wait, shortened by doing the families side by side). What fails here
        is told by each family's own build, which follows."""
        todo = [f for f in families if not self.harness_built(f)
                and all(shutil.which(c) for c in FAMILIES[f]["tools"])]
        if not todo:
            return
        if not self.quiet:
            say(f"{DIM}   building the test harness of {', '.join(todo)} (once; about a minute)..."
                f"{OFF}")
            flush()

        def one(family):
            with open_log(self.tree(family) + ".first.log") as log:
                self.trusted_build(family, log)

        with concurrent.futures.ThreadPoolExecutor(len(todo)) as pool:
            try:
                list(pool.map(one, todo))
            except BaseException:  # interrupted: the other builds stop too
                processes.STOPPING.set()
                raise

    def recipe(self, family, log):
        """The commands the tree compiles and links the program with, as argument lists
        run from the tree: (compile, link), or None."""
        tree = self.tree(family)
        done = subprocess.run(["ninja", "-C", tree, "-t", "commands", self.name],
                              capture_output=True, text=True, cwd=tree)
        lines = [shlex.split(line) for line in done.stdout.splitlines()] \
            if done.returncode == 0 else []
        own = self.name + ".cpp"
        compiled = next((w for w in lines if "-c" in w and "-o" in w and w.index("-c") + 1 < len(w)
                         and os.path.basename(w[w.index("-c") + 1]) == own), None)
        if compiled is None:
            log.write(f"no compile command for {own} in {tree}: {done.stderr}\n")
            return None
        # The link is one shell line, wrapped in ": && ... && :".
        return compiled, [w for w in lines[-1] if w not in (":", "&&")]

    # -- the student's build ---------------------------------------------------------

    def build(self, family):
        """Builds the family's tree and compiles the file with its commands; returns
        None when the program is built, or a family document when the family cannot go
        on."""
        setup = FAMILIES[family]
        for command in setup["tools"]:
            if shutil.which(command) is None:
                return verdict.family_doc(family, "error", f"{command} not found (this check "
                                          f"needs: apt-get install {setup['packages']})")
        tree = self.tree(family)
        log_path = tree + ".log"
        with open_log(log_path) as log:
            os.chmod(log_path, 0o600)  # the compiler's messages quote the file's code
            if not self.trusted_build(family, log):
                log.flush()
                if not os.path.exists(os.path.join(tree, "CMakeCache.txt")):
                    return verdict.family_doc(
                        family, "error", f"its build cannot be configured: "
                        f"{configure_error(log_path)} (this check needs: apt-get install "
                        f"{setup['packages']})")
                return verdict.family_doc(family, "error", f"its test harness did not build "
                                          f"(log: {os.path.relpath(log_path)})")
            recipe = self.recipe(family, log)
            if recipe is None:
                return verdict.family_doc(family, "error", f"the tree has no commands for "
                                          f"{self.name} (log: {os.path.relpath(log_path)})")
            ok, messages, refused = self.compile(family, recipe, log)
        messages = "\n".join(self.told(messages).splitlines()[:MESSAGE_LINES])
        if not ok:
            self.uncompiled.add(setup["compiler"])
            missing = no_main(messages)
            return verdict.family_doc(family, "fail", f"{self.shown_as} does not compile "
                                      f"with {setup['compiler']}",
                                      details=((NO_MAIN + "\n" if missing else "")
                                               + messages).splitlines(),
                                      reason="no_main" if missing else "compile")
        if refused:
            said = [r["what"] + "".join(f" ({w})" for w in [", ".join(
                filter(None, [r["name"], f"line {r['line']}" if r["line"] else ""]))] if w)
                for r in refused]
            return verdict.family_doc(
                family, "fail", f"{self.shown_as} holds {said[0]}: the check takes C++ "
                "alone, and its checkers watch all of it", details=said[1:], reason="refused")
        with self.lock:
            if messages and not self.warnings:
                self.warnings = messages.splitlines()
            if messages and self.show_warnings:
                say(f"the compiler warns ({family} build):")
                say(indent("\n".join(verdict.one(line) for line in messages.splitlines())))
                self.show_warnings = False
        return None

    def compile(self, family, recipe, log):
        """Preprocesses, compiles and links the copy with the tree's commands, in the
        sandbox when so chosen, into the family's output folder: the compiler builds
        from the text it preprocessed once, which is what forbidden.found() reads. Then
        takes the program from there, a regular file and nothing else. (True if built,
        the compiler's messages, what the text holds that the check does not take)."""
        tree, work = self.tree(family), self.workdir()
        out = os.path.join(work, family + "-out")
        os.mkdir(out, 0o700)
        here = os.path.join(INSIDE, "build") if self.sandboxed else out
        objects = {self.object_of(recipe[0])}
        compile_argv, link_argv, read_only = [], [], []
        words = iter(recipe[0])
        for word in words:  # no dependency file: the object is made once
            if word in ("-MD", "-MMD"):
                continue
            if word in ("-MT", "-MF"):
                next(words, None)
                continue
            compile_argv.append(word)
        source = compile_argv[compile_argv.index("-c") + 1]
        text = os.path.join(work, f"{family}-{self.name}.ii")
        text_as = os.path.join(INSIDE, self.name + ".ii") if self.sandboxed else text
        preprocess = [w for w in compile_argv if w != "-c"]
        k = preprocess.index("-o")
        preprocess[k:k + 2] = ["-E"]
        preprocess = [self.compiled_as if w == source else w for w in preprocess]
        compile_argv = [text_as if w == source
                        else os.path.join(here, "program.o") if w in objects else w
                        for w in compile_argv]
        binary = os.path.join(tree, self.program["folder"], self.name)
        for word in recipe[1]:
            if word in objects:
                link_argv.append(os.path.join(here, "program.o"))
            elif os.path.join(tree, word) == binary:
                link_argv.append(os.path.join(here, "program"))
            elif not word.startswith(("-", "/")) and os.path.isfile(os.path.join(tree, word)):
                link_argv.append(os.path.join(tree, word))  # the tree's own, read-only
                read_only.append(os.path.join(tree, word))
            else:
                link_argv.append(word)
        if self.sandboxed and self.uid is not None:
            os.chown(out, self.uid, -1)
        bound = [(os.path.join(work, self.name + ".cpp"), self.compiled_as)] + read_only
        # The preprocessed text comes back on stdout, whole up to the largest file.
        whole = dataclasses.replace(sandbox.COMPILE, output=sandbox.COMPILE.file_size)
        messages = []
        for argv, limits in ((preprocess, whole), (compile_argv, sandbox.COMPILE),
                             (link_argv, sandbox.COMPILE)):
            log.write(f"$ {shlex.join(argv)}" + ("   (sandboxed)\n" if self.sandboxed
                                                  else "\n"))
            if self.sandboxed:
                done = sandbox.run(argv, read_only=bound, writable=[(out, here)], cwd=here,
                                   uid=self.uid, limits=limits, timeout=COMPILE_TIMEOUT)
            else:
                done = direct(argv, out, limits, COMPILE_TIMEOUT)
            said = (done.stderr if argv is preprocess else done.stdout + done.stderr
                    ).decode(errors="replace")
            log.write(said)
            messages.append(said.strip("\n"))
            if done.reason:
                messages.append(f"error: the compiler was stopped: it {done.reason}")
            if done.returncode != 0 or done.reason:
                log.flush()
                return False, "\n".join(m for m in messages if m), []
            if argv is preprocess:
                with open(text, "wb") as f:
                    f.write(done.stdout)
                os.chmod(text, 0o644)  # read by the compiler, as the sandbox's uid
                bound.append((text, text_as))
        log.flush()
        refused = self.look_inside(text)
        return self.take(out, family), "\n".join(m for m in messages if m), refused

    def look_inside(self, text):
        """What the text the file was built from holds that the check does not take
        (forbidden.found), read apart within SCAN_SECONDS: a text made to make its
        reading slow is refused as such."""
        with open(text, "rb") as f:
            preprocessed = f.read().decode(errors="replace")
        found, why = advice.apart(lambda: forbidden.found(preprocessed, self.compiled_as),
                                  SCAN_SECONDS)
        if why:
            return [{"line": 0, "name": "", "what": f"a text the check could not read "
                     f"({why})"}]
        return found

    @staticmethod
    def object_of(compile_words):
        k = compile_words.index("-o")
        return compile_words[k + 1]

    def take(self, out, family):
        """Moves the program the sandboxed compiler left in `out` to a place no sandbox
        can write, if it is a regular file of one link and a sane size; `out` goes."""
        made = os.path.join(out, "program")
        try:
            info = os.lstat(made)
        except OSError:
            info = None
        ok = (info is not None and stat.S_ISREG(info.st_mode) and info.st_nlink == 1
              and info.st_size <= sandbox.COMPILE.file_size)
        if ok:
            os.replace(made, self.binary(family))
            if os.geteuid() == 0:
                os.chown(self.binary(family), 0, 0)
            os.chmod(self.binary(family), 0o755)
        shutil.rmtree(out, ignore_errors=True)
        return ok

    def binary(self, family):
        """Where the family's build of the file is kept for the check."""
        return os.path.join(self.workdir(), family + "-" + self.name)

    def last(self, family):
        """Where the family's build of this very file is left for the student to run: a
        folder per content judged, so that the command a verdict shows runs the build of
        the file it judged, whatever was checked since."""
        return os.path.join(build.BUILD, "check", "last", self.digest[:12], family, self.name)

    def keep_build(self, family):
        """Leaves the family's build where last() says, and clears the builds of all but
        the KEPT files judged most recently (under the check's lock)."""
        kept = self.last(family)
        os.makedirs(os.path.dirname(kept), exist_ok=True)
        shutil.copy(self.binary(family), kept + ".new")
        os.replace(kept + ".new", kept)
        folder = os.path.join(build.BUILD, "check", "last")
        own = os.path.basename(os.path.dirname(os.path.dirname(kept)))
        others = []
        for entry in os.scandir(folder):
            if not re.fullmatch(r"[0-9a-f]{12}", entry.name):  # not a file's builds
                shutil.rmtree(entry.path, ignore_errors=True)
            elif entry.name != own:
                others.append((entry.stat(follow_symlinks=False).st_mtime, entry.path))
        for _, path in sorted(others, reverse=True)[KEPT - 1:]:
            shutil.rmtree(path, ignore_errors=True)

    # -- running and judging ---------------------------------------------------------

    def judge(self, family):
        """The family's document."""
        blocked = self.build(family)
        if blocked:
            return blocked
        if self.keep:
            with self.lock:
                self.keep_build(family)
        cases = []
        for name in FAMILIES[family]["harness"]:
            binary = os.path.join(self.tree(family), "tests", name)
            found, stopped = harness.run_cases(
                binary, self.name, os.path.join(self.workdir(), family), self.launcher(family),
                sandbox.SANITIZED if family == "races" else sandbox.RUN)
            if stopped:
                return verdict.family_doc(family, "fail", f"stopped by the sandbox ({stopped})",
                                          reason="sandbox")
            cases += found
            if any(c.hung for c in found):
                break  # the next harness would only wait out the same hang again
        return self.judged(family, cases)

    def launcher(self, family):
        """harness.Launcher: how the harness runs this family's build of the file."""
        tree = self.tree(family)
        manifest = os.path.join(self.workdir(), family + ".tsv")
        inside = os.path.join(INSIDE, self.name) if self.sandboxed else self.binary(family)
        with open(os.path.join(tree, "programs.tsv")) as f:
            rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
        with open(manifest, "w") as f:
            for row in rows:
                if row[0] == self.name:
                    row[2] = inside
                f.write("\t".join(row) + "\n")
        if not self.sandboxed:
            return harness.Launcher(manifest, None)
        support = [os.path.join(tree, "tests", "libsuite_processors.so"),
                   os.path.join(catalogue.ROOT, "tests", "memcheck.supp")]

        return harness.Launcher(manifest, sandbox.sandboxed(
            [], read_only=[(self.binary(family), inside)] + support, uid=self.uid,
            limits=sandbox.SANITIZED if family == "races" else sandbox.RUN))

    def judged(self, family, cases):
        """The family's document from the cases the harness ran."""
        ran = [c for c in cases if not c.skipped]
        skipped = verdict.skipped_groups(cases)
        if not ran:
            return verdict.family_doc(family, "error", f"no case of the test suite runs "
                                      f"{self.name} here", skipped=skipped)
        for c in ran:
            self.shown_paths(c, family)
        counted = f"{len(ran)} cases" + (f" ({sum(s['count'] for s in skipped)} more skipped)"
                                         if skipped else "")
        # The program's own table first: its failures say more than the generic cases
        # every program shares (arguments, failed writes, invalid variables).
        ran.sort(key=lambda c: (c.generic, c.order))
        # A hang fails the family whatever else it judges: a detector sees no end of a run
        # that never ends. After a hang the harness starts no run of the program again,
        # so the cases after it fail as not run, and are told so.
        hung = [c for c in ran if c.hung]
        if hung:
            ended = sum(c.hung == "ran" for c in hung)
            not_run = len(hung) - ended
            return verdict.family_doc(
                family, "fail", f"the program did not end within {RUN_TIMEOUT} s "
                + (f"in {ended} of {len(ran)} cases" if ended else "in an earlier case")
                + (f", and {not_run} more were not run after it" if not_run else ""),
                self.cases(ran, {c.name: (HUNG[c.hung], []) for c in hung}), skipped,
                reason="hang")
        reports_of = FAMILIES[family]["reports"]
        if reports_of is None:
            failed = {c.name: (verdict.said(c), None) for c in ran if c.failures}
            if not failed:
                return verdict.family_doc(family, "pass", counted, self.cases(ran, {}), skipped)
            return verdict.family_doc(family, "fail", f"{len(failed)} of {len(ran)} cases failed",
                                      self.cases(ran, failed), skipped)
        found = {}
        for c in ran:
            report = reports.report(c.stderr, self.name + ".cpp") if c.failures else None
            if report is not None:
                found[c.name] = (report["headline"], self.places(report), report["kind"])
            elif c.detected:
                # The detector ended the program, but its report is not on stderr: the
                # program closed or moved it.
                found[c.name] = (f"{reports_of} reported, and the program kept its report "
                                 "from the check (it closed or moved its standard error)", [])
        if not found and all(c.failures for c in ran):
            # A detector reports on a run that happened: a program that ended well in no
            # case was not seen by it.
            return verdict.family_doc(family, "error", f"{reports_of} saw no run of the "
                                      "program end well, and reported nothing",
                                      self.cases(ran, {}), skipped)
        if not found:
            return verdict.family_doc(family, "pass", f"{counted}, no report",
                                      self.cases(ran, {}), skipped)
        return verdict.family_doc(
            family, "fail", f"{reports_of} reported in {len(found)} of {len(ran)} cases",
            self.cases(ran, found), skipped)

    def shown_paths(self, case, family):
        """A case's program as the student can run it: the family's last build, kept for
        them, or, for a file judged for someone else, the program's name alone."""
        builds = {os.path.join(INSIDE, self.name)}
        if self.work:
            builds.add(self.binary(family))
        shown = self.last(family) if self.keep else self.name
        case.path = shown if case.path in builds else case.path
        case.arguments = [shown if a in builds else a for a in case.arguments]

    @staticmethod
    def cases(ran, failed):
        """Every case that ran, the failing ones with what went wrong (`failed`: name ->
        (message, places or None)); first the one to show: the program's own table's
        before the generic cases, and of those the one that printed least, which is the
        easiest to read."""
        first = min((c for c in ran if c.name in failed), default=None,
                    key=lambda c: (c.hung == "not started", c.generic, c.stdout_lines,
                                   c.order))
        ordered = ([first] if first else []) + [c for c in ran if c is not first]
        docs = []
        for c in ordered:
            if c.name in failed:
                message, places, *kind = failed[c.name]
                docs.append(verdict.case_doc(c, True, message, places or (),
                                             stderr=not places, report=kind[0] if kind else None))
            else:
                docs.append(verdict.case_doc(c, False))
        return docs

    def places(self, report):
        """The report's places in the checked file, each with the text of its line."""
        source = self.lines
        return [dict(place, file=self.shown_as,
                     text=source[place["line"] - 1].strip()
                     if 0 < place["line"] <= len(source) else "")
                for place in report["where"]]


def direct(argv, cwd, limits, timeout):
    """`argv` run outside any sandbox (a student's check of their own file where there
    is none), watched as a sandboxed run is."""
    process = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    stdout, stderr, reason = processes.watch(process, timeout=timeout, limits=limits)
    return processes.Outcome(process.returncode, stdout, stderr, reason)


def no_main(messages):
    """Whether the linker's messages say the program has no main."""
    return re.search(r"undefined reference to [`']main'", messages) is not None
