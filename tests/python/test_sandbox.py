"""The sandbox against hostile submissions. Each is compiled and run through
tourlib.sandbox as the check does it (the compiler with COMPILE limits as the caller,
the program with RUN limits), and must be refused or stopped, say why, and leave
nothing behind. A lesson at its largest teams, and under each runtime and sanitizer the
check uses, shows that the limits leave real work alone."""

import dataclasses
import os
import re
import secrets
import shutil
import socket
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, HERE)
from tourlib import sandbox  # noqa: E402

CXX = os.environ.get("SUITE_CXX", "g++")
FLAGS = ["-std=c++17", "-O2"]
STOPPED_COMPILER = r"out of memory|memory exhausted|did not end within 3 s"
LESSON = "two_phase/fill_then_square.cpp"  # the most threads: 10010


@dataclasses.dataclass
class Row:
    source: str                # under tests/fixtures/hostile/, or a lesson's FOLDER/NAME.cpp
    expect: list               # patterns the reason, stdout and stderr must show
    args: tuple = ()           # {port}, {home}, {clone}, {sibling}, {marker} filled in
    compiles: bool = True
    env: dict = dataclasses.field(default_factory=dict)
    limits: sandbox.Limits = sandbox.RUN
    timeout: int = 20          # of the run, or of the compiler when it must not compile
    ok: bool = False           # a lesson: must end by itself with status 0
    compiler: tuple = (CXX, "-fopenmp")


ROWS = [
    Row("connect_out.cpp", [r"socket failed: Operation not permitted|connect failed: "
                            r"(Network is unreachable|Connection refused)"],
        args=("{port}",)),
    Row("write_outside.cpp", [r"cannot write {home}/{marker}: No such file",
                              r"cannot write {clone}/{marker}: No such file",
                              r"cannot write /submission/{marker}: Permission denied"],
        args=("{home}/{marker}", "{clone}/{marker}", "/submission/{marker}")),
    Row("read_outside.cpp", [r"cannot read {sibling}/secret.txt: No such file",
                             r"cannot read /etc/shadow: No such file",
                             r"cannot read {clone}/README.md: No such file"],
        args=("{sibling}/secret.txt", "/etc/shadow", "{clone}/README.md")),
    Row("reach_past.cpp", [rf"{what}: Operation not permitted" for what in (
        "ptrace", "user namespace", "mount namespace", "shared memory", "memfd", "socket pair")]),
    Row("fork_children.cpp", [r"forked 200\n", r"did not end within 10 s"], timeout=10),
    # As root too the task limit holds: the program runs as nobody.
    Row("fork_children.cpp", [r"forked [1-4]?\d\n", r"did not end within 10 s"], timeout=10,
        limits=dataclasses.replace(sandbox.RUN, tasks=50)),
    Row("print_forever.cpp", [r"wrote more than 1 MiB on stdout"],
        limits=dataclasses.replace(sandbox.RUN, output=sandbox.MIB)),
    Row("allocate_10gb.cpp", [r"killed by SIGABRT", r"std::bad_alloc"]),
    # Under the sanitizers no address-space limit: the watch on resident memory stops it.
    Row("allocate_10gb.cpp", [r"used more than 256 MiB of memory"],
        limits=dataclasses.replace(sandbox.SANITIZED, rss=256 * sandbox.MIB)),
    Row("include_shadow.cpp", [r"/etc/shadow: No such file or directory"], compiles=False),
    Row("include_zero.cpp", [STOPPED_COMPILER], compiles=False, timeout=3),
    Row("template_bomb.cpp", [STOPPED_COMPILER], compiles=False, timeout=3),
    Row(LESSON, [], ok=True, env={"OMP_NUM_THREADS": "256"}),
    Row(LESSON, [], ok=True, env={"OMP_NUM_THREADS": "10010", "OMP_STACKSIZE": "16K"}),
    # AddressSanitizer reserves terabytes of address space: SANITIZED sets no limit on it.
    # (Its leak checker traces the program's own threads, which the sandbox refuses: the
    # check finds leaks with valgrind.)
    Row(LESSON, [], ok=True, env={"OMP_NUM_THREADS": "4", "ASAN_OPTIONS": "detect_leaks=0"},
        compiler=(CXX, "-fopenmp", "-fsanitize=address"), limits=sandbox.SANITIZED),
    # LLVM's runtime, as the race detector's build uses it, needs a /dev/shm.
    Row(LESSON, [], ok=True, env={"OMP_NUM_THREADS": "4"},
        compiler=("clang++", "-fopenmp=libomp")),
]


def running_from(path):
    """Processes whose command line mentions `path`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if path.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


class HostileSubmissions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ok, why = sandbox.available()
        if not ok:
            raise unittest.SkipTest(why)
        cls.listener = socket.socket()
        cls.listener.bind(("127.0.0.1", 0))
        cls.listener.listen()
        cls.listener.setblocking(False)
        try:
            with open("/etc/shadow") as f:
                cls.shadow = [line.strip() for line in f if line.strip()]
        except OSError:
            cls.shadow = []

    @classmethod
    def tearDownClass(cls):
        cls.listener.close()

    def attempt(self, row):
        home = os.path.expanduser("~")
        with tempfile.TemporaryDirectory(prefix="hostile-") as root:
            scratch, sibling = os.path.join(root, "mine"), os.path.join(root, "theirs")
            os.mkdir(scratch)
            os.mkdir(sibling)
            secret = secrets.token_hex(16)
            with open(os.path.join(sibling, "secret.txt"), "w") as f:
                f.write(secret)
            fill = {"port": str(self.listener.getsockname()[1]), "home": home, "clone": HERE,
                    "sibling": sibling, "marker": f"hostile-{secrets.token_hex(8)}"}
            before = sorted(os.listdir(home))
            folder = HERE if "/" in row.source else os.path.join(HERE, "tests", "fixtures",
                                                                   "hostile")
            source = os.path.join(folder, row.source)
            # As the check does it: the file alone, bound where the sandbox sees it; the
            # compiler writes one folder, the program is bound read-only.
            with sandbox.identity() as uid:
                if uid is not None:
                    os.chown(scratch, uid, -1)
                compiled = sandbox.run(list(row.compiler) + FLAGS + [
                    "-o", "/submission/build/program", "/submission/program.cpp"],
                    read_only=[(source, "/submission/program.cpp")],
                    writable=[(scratch, "/submission/build")], uid=uid,
                    limits=sandbox.COMPILE, timeout=60 if row.compiles else row.timeout)
                outcome = compiled
                if row.compiles:
                    self.assertEqual((compiled.returncode, compiled.reason), (0, ""),
                                     compiled.stderr.decode(errors="replace"))
                    binary = os.path.join(scratch, "program")
                    outcome = sandbox.run(["/submission/program"] +
                                          [a.format(**fill) for a in row.args],
                                          read_only=[(binary, "/submission/program")],
                                          env=row.env, uid=uid, limits=row.limits,
                                          timeout=row.timeout)
            said = "\n".join([outcome.reason, outcome.stdout.decode(errors="replace"),
                              outcome.stderr.decode(errors="replace")])
            left = running_from("/submission/program")
            written = [p for p in (os.path.join(home, fill["marker"]),
                                   os.path.join(HERE, fill["marker"])) if os.path.exists(p)]
            for path in written:
                os.remove(path)
        self.assertEqual(left, [], "processes outlived the run")
        self.assertEqual(written, [], "files written outside the sandbox's own folders")
        self.assertEqual(sorted(os.listdir(home)), before, "the home directory changed")
        with self.assertRaises(BlockingIOError, msg="the listener got a connection"):
            self.listener.accept()[0].close()
        self.assertNotIn(secret, said, "a sibling's file was read")
        for line in self.shadow:
            self.assertNotIn(line, said, "/etc/shadow was read")
        if row.ok:
            self.assertEqual((outcome.returncode, outcome.reason), (0, ""), said[-2000:])
            self.assertEqual(outcome.stderr, b"")
            self.assertIn(b"\n", outcome.stdout)
        else:
            self.assertNotEqual(outcome.returncode, 0, said[-2000:])
        for pattern in row.expect:
            pattern = pattern.format(**{k: re.escape(v) for k, v in fill.items()})
            self.assertRegex(said, pattern)
        return outcome

    def test_each_attempt_is_stopped_and_leaves_nothing(self):
        for row in ROWS:
            with self.subTest(source=row.source, env=row.env, limits=row.limits):
                if shutil.which(row.compiler[0]) is None:
                    self.skipTest(f"{row.compiler[0]} not found (apt-get install clang libomp-dev)")
                outcome = self.attempt(row)
                if row.limits.output < sandbox.RUN.output:
                    self.assertEqual(len(outcome.stdout), row.limits.output)


class Limits(unittest.TestCase):
    """Each limit, reached by a one-line command: what the outcome says, and what the
    program got to write."""

    def test_each_limit_stops_the_program_and_says_which(self):
        small = dataclasses.replace(sandbox.RUN, output=sandbox.MIB, cpu_s=1,
                                    file_size=sandbox.MIB, open_files=64)
        rows = [  # command, reason, bytes on stdout, timeout
            ("head -c 1048576 /dev/zero", "", sandbox.MIB, 10),
            ("head -c 1048577 /dev/zero", "wrote more than 1 MiB on stdout", sandbox.MIB, 10),
            ("head -c 1048577 /dev/zero >&2", "wrote more than 1 MiB on stderr", 0, 10),
            ("head -c 1048576 /dev/zero > f; head -c 1048577 /dev/zero > f",
             "killed by SIGXFSZ: its file size limit (1 MiB)", 0, 10),
            ("while :; do :; done", "killed by SIGXCPU: its CPU time limit (1 s)", 0, 120),
            ("ulimit -n; ulimit -p; exit 3", "", 9, 10),  # "64\n12288\n": the limits set
            ("echo $$; sleep 60", "did not end within 2 s", 2, 2),  # the first of its namespace
        ]
        for script, reason, out, timeout in rows:
            with self.subTest(script=script):
                outcome = sandbox.run(["sh", "-c", script], limits=small, timeout=timeout)
                self.assertEqual(outcome.reason, reason)
                self.assertEqual(len(outcome.stdout), out, outcome.stdout[:100])
                self.assertEqual(running_from(script), [])


class Availability(unittest.TestCase):
    def tearDown(self):
        sandbox._trial = None

    def test_refuses_in_one_line_without_a_working_bwrap(self):
        # What PATH holds: no bwrap at all, or one that fails as bwrap does where the
        # kernel allows no namespaces.
        failing = "#!/bin/sh\necho 'bwrap: No permissions to creating new namespace' >&2\nexit 1\n"
        for bwrap, expected in ((None, "not installed: apt-get install bubblewrap"),
                                (failing, "(bwrap: No permissions to creating new namespace); "
                                          "it needs bubblewrap 0.5 or later and namespaces")):
            with self.subTest(bwrap=bwrap), tempfile.TemporaryDirectory() as folder:
                os.symlink(shutil.which("prlimit"), os.path.join(folder, "prlimit"))
                if bwrap:
                    with open(os.path.join(folder, "bwrap"), "w") as f:
                        f.write(bwrap)
                    os.chmod(os.path.join(folder, "bwrap"), 0o755)
                sandbox._trial = None
                saved = os.environ["PATH"]
                os.environ["PATH"] = folder
                try:
                    ok, why = sandbox.available()
                finally:
                    os.environ["PATH"] = saved
                self.assertFalse(ok)
                self.assertIn(expected, why)
                self.assertNotIn("\n", why)


if __name__ == "__main__":
    unittest.main()
