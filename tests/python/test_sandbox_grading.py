"""A class graded as a teacher grades it, with hostile submissions among correct ones.
Each row is an attack, a small file under tests/fixtures/hostile/grading/ (the correct
ranked_sum with the attack added), and what its verdict must be; around them, what must
hold for the whole batch: no secret (the teacher's, a classmate's, one in the clone's
build, /etc/shadow) in any output, the batch complete, the correct submissions before
and after accepted, the reports valid, no process left. Folder names that look like
options or carry control characters, a link to a classmate's file and an oversized file
have rows of their own. As root, it all runs again as an ordinary user.

Each batch builds the check's trees in a folder of its own, which keeps it apart from
any other test (and tells its processes from theirs). Slow (half a minute to build them,
about a minute to grade the class, twice), so it has the sandbox's label."""
import csv
import dataclasses
import json
import os
import re
import secrets
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree

from support import FIXTURES, ROOT, catalogue

TOUR = os.path.join(ROOT, "tour")
ATTACKS = os.path.join(FIXTURES, "hostile", "grading")
LESSON = os.path.join(ROOT, "partial_sums", "ranked_sum.cpp")
ORDINARY = 65534  # the user the batch runs as again, when the test runs as root


@dataclasses.dataclass
class Row:
    attack: str          # its file under tests/fixtures/hostile/grading/, without .cpp
    verdict: str         # accepted, rejected or cannot judge
    said: str = ""       # a pattern its verdict document must hold
    families: dict = dataclasses.field(default_factory=dict)  # family -> status


ROWS = [
    # Compiled again outside the sandbox by a build step, it could read them all. In the
    # sandbox there is none to see, and its assembly, never expanded, is no assembly.
    Row("compile_time_leak", "accepted"),
    Row("detector_off", "rejected", r"checkers' own names \(__tsan_default_options, line 8\)"
        r".*an attribute that hides code from the checkers \(no_sanitize, line 10\)"),
    # Writes a passing result for the harness, then kills and traces it: the total is 0.
    Row("forge_result", "rejected", families={"behaviour": "fail"}),
    # Folders and FIFOs where results are written: the next student must be judged.
    Row("result_paths", "accepted"),
    Row("silenced_race", "rejected", r"kept its report from the check", {"races": "fail"}),
    Row("silenced_bounds", "rejected", r"kept its report from the check", {"memory": "fail"}),
    Row("stop_harness", "accepted"),
    Row("memory_hog", "rejected", r"used more than \d+ MiB of memory"),
    Row("fill_disk", "rejected", families={"behaviour": "fail"}),
    Row("terminal_escapes", "rejected", families={"behaviour": "fail"}),
    Row("spew_stderr", "rejected", r"more on stderr than is kept"),
]

# Names a student can give a folder, each holding a file that does not compile (quick to
# judge), but the one that holds the lesson.
NAMES = [b"--build-dir", b"--out", b"--help", b"-rf", b"--", b'=HYPERLINK("evil.example";"click")',
         b"@SUM(1+1)*cmd|'calc'!A0", b"a\x01b", b"\x1b[2J\x1b[Hall 30 accepted", b"bad\xffbyte",
         b"n" * 250]
ACCEPTED_NAME = b'=HYPERLINK("evil.example";"click")'
# Any control character but a line break, the bytes of an escape sequence included.
CONTROL = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]")


def tour(args, cwd=ROOT, user=None, env=()):
    """The tour's status, stdout and stderr (bytes); as `user` if given."""
    prefix = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] if user else []
    done = subprocess.run(prefix + [TOUR] + args, cwd=cwd, capture_output=True, timeout=1800,
                          stdin=subprocess.DEVNULL, env=catalogue.clean_environment(dict(env)))
    return done.returncode, done.stdout, done.stderr


def left_behind(build):
    """Processes still alive that this batch started: its harnesses and sandboxes name
    its own build folder (a sandbox's program dies with its sandbox, whose first
    process does)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                words = f.read()
        except OSError:
            continue
        if os.fsencode(build) in words:
            found.append((pid, words[:80]))
    return found


class Batch(unittest.TestCase):
    """The class is made in a folder of its own, with the secrets its attacks look for."""

    user = None  # None: the caller (root in CI); else the uid the batch runs as

    @classmethod
    def setUpClass(cls):
        # A build of its own, for the class's tests: what it leaves running, it can tell
        # from other tests'.
        cls.builds = tempfile.mkdtemp(prefix="hostile_build_")
        os.chmod(cls.builds, 0o755)
        cls.build_dir = os.path.join(cls.builds, "build")
        os.mkdir(cls.build_dir)
        if cls.user is not None:
            os.chown(cls.build_dir, cls.user, -1)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.builds)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="hostile_class_")
        os.chmod(self.dir, 0o755)
        self.secrets = {}
        teacher = os.path.join(self.dir, "teacher")
        os.mkdir(teacher, 0o700)
        self.secrets["teacher"] = self.secret(os.path.join(teacher, "secret"))
        self.secrets["clone"] = self.secret(os.path.join(ROOT, "build",
                                                         f"secret-{secrets.token_hex(4)}"))
        self.clone_secret = self.secrets["clone"][0]
        self.klass = os.path.join(self.dir, "class")
        os.mkdir(self.klass)
        mate = os.path.join(self.klass, "mate")
        os.mkdir(mate)
        with open(LESSON) as f:
            self.lesson = f.read()
        self.secrets["classmate"] = self.secret(os.path.join(mate, "ranked_sum.cpp"),
                                                self.lesson)
        try:
            with open("/etc/shadow") as f:
                self.shadow = [line.strip().encode() for line in f if ":" in line
                               and len(line.split(":")[1]) > 2]
        except OSError:
            self.shadow = []
        self.out = os.path.join(self.dir, "out")
        if self.user is not None:
            for folder, _, _ in os.walk(self.dir):
                os.chown(folder, self.user, -1)
            os.chown(self.secrets["teacher"][0], self.user, -1)
            os.chown(self.secrets["classmate"][0], self.user, -1)
            os.chown(teacher, self.user, -1)

    def tearDown(self):
        shutil.rmtree(self.dir)
        os.remove(self.clone_secret)

    def secret(self, path, before=""):
        """A token in a new file at `path` (after `before`) that only its owner reads."""
        token = f"SECRET-{secrets.token_hex(12)}"
        with open(path, "w") as f:
            f.write(f"{before}// {token}\n")
        os.chmod(path, 0o600)
        return path, token.encode()

    def student(self, name, text, klass=None):
        folder = os.path.join(os.fsencode(klass or self.klass), name)
        os.mkdir(folder)
        with open(os.path.join(folder, b"ranked_sum.cpp"), "w") as f:
            f.write(text)
        if self.user is not None:
            os.chown(folder, self.user, -1)
            os.chown(os.path.join(folder, b"ranked_sum.cpp"), self.user, -1)

    def grade(self, args, cwd=None):
        args = ["--grade", "ranked_sum", "--out", self.out, "--build-dir", self.build_dir] + args
        status, out, err = tour(args, cwd=cwd or ROOT, user=self.user)
        self.assertEqual(left_behind(self.build_dir), [], "processes outlived the batch")
        return status, out, err

    def outputs(self):
        """Every byte the batch wrote or said: the out folder's files."""
        found = b""
        for folder, _, files in os.walk(self.out):
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    found += f.read()
        return found

    def assert_nothing_leaked(self, *said):
        everything = b"".join(said) + self.outputs()
        for where, (_, token) in self.secrets.items():
            self.assertNotIn(token, everything, f"the {where}'s secret got out")
        for line in self.shadow:
            self.assertNotIn(line, everything, "/etc/shadow got out")

    def documents(self):
        with open(os.path.join(self.out, "gradebook.csv"), encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
        junit = xml.etree.ElementTree.parse(os.path.join(self.out, "junit.xml"))
        return rows, junit

    def test_attacks_change_no_verdict_and_leak_nothing(self):
        fill = {"@TEACHER@": self.secrets["teacher"][0],
                "@CLASSMATE@": self.secrets["classmate"][0], "@CLONE@": self.clone_secret}
        self.student(b"aa_first", self.lesson)
        for row in ROWS:
            with open(os.path.join(ATTACKS, row.attack + ".cpp")) as f:
                text = f.read()
            for key, value in fill.items():
                text = text.replace(key, value)
            self.student(row.attack.encode(), text)
        self.student(b"result_paths_next", self.lesson)
        self.student(b"zz_last", self.lesson)
        # A link to a classmate's file, and a file far larger than any lesson.
        os.mkdir(os.path.join(self.klass, "linked"))
        os.symlink(self.secrets["classmate"][0],
                   os.path.join(self.klass, "linked", "ranked_sum.cpp"))
        self.student(b"huge", self.lesson + "//" + "x" * (5 << 20) + "\n")
        names = sorted(os.listdir(self.klass))
        status, out, err = self.grade(["--"] + [os.path.join(self.klass, n) for n in names])
        self.assertEqual(status, 3, err)  # the link and the huge file could not be judged
        self.assert_nothing_leaked(out, err)
        rows, _ = self.documents()
        verdicts = {r["student"]: r for r in rows}
        self.assertEqual(sorted(verdicts), names, "the batch is not complete")
        expected = {"aa_first": "accepted", "result_paths_next": "accepted",
                    "zz_last": "accepted", "mate": "accepted", "linked": "cannot judge",
                    "huge": "cannot judge"}
        expected.update({row.attack: row.verdict for row in ROWS})
        self.assertEqual({s: r["verdict"] for s, r in verdicts.items()}, expected)
        self.assertRegex(verdicts["linked"]["first_diagnosis"], "link")
        self.assertRegex(verdicts["huge"]["first_diagnosis"], "larger than")
        for row in ROWS:
            with open(os.path.join(self.out, row.attack + ".json"), encoding="utf-8") as f:
                doc = json.load(f)
            with self.subTest(attack=row.attack):
                if row.said:
                    self.assertRegex(json.dumps(doc), row.said)
                families = {f["name"]: f["status"] for f in doc["families"]}
                self.assertEqual({k: families.get(k) for k in row.families}, row.families)
        # The lesson is still judged as it is.
        where = ["--build-dir", self.build_dir]
        status, out, err = tour(["--check", "ranked_sum"] + where, user=self.user)
        self.assertEqual(status, 0, out + err)
        # The program's own output, shown by a check, cannot act on the terminal.
        status, out, err = tour(["--check", "ranked_sum", os.path.join(
            self.klass, "terminal_escapes", "ranked_sum.cpp"), "--family", "behaviour"] + where,
            user=self.user)
        self.assertEqual(status, 1, out + err)
        self.assertIn(rb"\x1b[2J", out)
        self.assertIsNone(CONTROL.search(out + err), "a control character reached the terminal")

    def test_no_name_is_an_option_and_every_name_is_written_safely(self):
        klass = os.path.join(self.dir, "names")
        os.mkdir(klass)
        if self.user is not None:
            os.chown(klass, self.user, -1)
        for name in NAMES:
            self.student(name, self.lesson if name == ACCEPTED_NAME
                         else "int main() { return 0 }\n", klass)
        # What a --build-dir folder would run, were it taken as the tour's build.
        marker = os.path.join(self.dir, "ran")
        with open(os.path.join(klass, "--build-dir", "build.ninja"), "w") as f:
            f.write(f"rule run\n  command = touch {marker}\nbuild all: run\ndefault all\n")
        names = sorted(os.listdir(os.fsencode(klass)))
        # As from `./tour --grade NAME *` in the class folder: refused, with the way out.
        status, out, err = self.grade(names, cwd=klass)
        self.assertEqual((status, out), (2, b""), err)
        self.assertEqual(err.count(b"\n"), 1, err)
        self.assertIn(b"-- *", err)
        self.assertFalse(os.path.exists(self.out) or os.path.exists(marker))
        # With -- before the names, every one is graded.
        status, out, err = self.grade([b"--"] + names, cwd=klass)
        self.assertEqual(status, 0, err)
        self.assertFalse(os.path.exists(marker))
        self.assertIsNone(CONTROL.search(out + err), "a control character reached the terminal")
        rows, junit = self.documents()
        self.assertEqual(len(rows), len(NAMES))
        self.assertEqual([r["verdict"] for r in rows].count("accepted"), 1)
        for row in rows:
            for cell in row.values():
                self.assertFalse(cell.startswith(("=", "+", "-", "@")), f"a formula: {cell}")
                self.assertNotRegex(cell, r"[\x00-\x1f\x7f]")
        self.assertEqual(len(junit.findall(".//testcase")), 3 * len(NAMES))
        documents = [f for f in os.listdir(self.out) if f.endswith(".json")]
        self.assertEqual(len(documents), len(NAMES))
        for name in documents:
            self.assertLessEqual(len(name.encode()), 120)
            with open(os.path.join(self.out, name), encoding="utf-8") as f:
                json.load(f)
        with open(os.path.join(self.out, "gradebook.csv"), "rb") as f:
            self.assertIsNone(CONTROL.search(f.read().replace(b"\n", b"")))


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                     "needs root and setpriv (util-linux) to run as an ordinary user")
class BatchAsAnOrdinaryUser(Batch):
    """The same, by a teacher who is not root: the sandboxes run as that user, in user
    namespaces, and the check's trees are built in a folder of theirs."""

    user = ORDINARY


if __name__ == "__main__":
    unittest.main()
