"""What a student runs to be judged, end to end: ./tour --check rejects every exercise by
the families its catalogue entry names and accepts the lesson the exercise must become;
odd student files (old times, never ending, forking) are judged as they are; the course
platforms' jobs (Gradescope's autograder, GitHub's annotations, GitLab's reports) give
what their readers take; and the tour's own build recovers from a failed first
configuration and stops when it cannot write. Slow (each check builds the program under
the race detector and the memory checkers), so it has its own label (ctest -L check)."""
import csv
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree

from support import ROOT, catalogue

TOUR = os.path.join(ROOT, "tour")
# The checks here keep their progress apart from the student's, in the clone's build/.
PROGRESS = os.path.join(tempfile.mkdtemp(prefix="progress_"), "progress.json")


def environment(env=()):
    return catalogue.clean_environment(dict(env, SUITE_PROGRESS_FILE=PROGRESS))


def run(args, env=(), cwd=ROOT, timeout=900):
    """The tour's exit status, stdout and stderr, run with the runtimes' variables cleared."""
    done = subprocess.run([TOUR] + args, cwd=cwd, capture_output=True, text=True,
                          timeout=timeout, env=environment(env), stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr


def verdict(args):
    """The exit status and the verdict document of a check."""
    status, out, err = run(["--check"] + args + ["--json", "-"])
    try:
        return status, json.loads(out)
    except ValueError:
        raise AssertionError(f"no verdict document (status {status}): {out}{err}") from None


def families(doc):
    return {f["name"]: f["status"] for f in doc["families"]}


class Exercises(unittest.TestCase):
    def test_each_is_caught_as_its_entry_says_and_its_lesson_accepted(self):
        # Its families reject it every time, a family it names as "sometimes" may or may
        # not, and any other family passes it.
        accepted = set()
        for e in catalogue.exercises():
            with self.subTest(exercise=e["name"]):
                status, doc = verdict([e["becomes"], e["path"]])
                self.assertEqual((status, doc["status"]), (1, "fail"), doc)
                for family, got in families(doc).items():
                    if family in [e["family"]] + e["also"]:
                        self.assertEqual(got, "fail", doc)
                    elif family not in e["sometimes"]:
                        self.assertEqual(got, "pass", doc)
                if e["becomes"] in accepted:
                    continue
                status, doc = verdict([e["becomes"]])
                self.assertEqual((status, doc["status"]), (0, "pass"), doc)
                self.assertEqual(set(families(doc).values()), {"pass"}, doc)
                accepted.add(e["becomes"])


class StudentFile(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="student_")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, text, age=0):
        """`text` as the student's file, `age` seconds old."""
        path = os.path.join(self.dir, "mine.cpp")
        with open(path, "w") as f:
            f.write(text)
        when = time.time() - age
        os.utime(path, (when, when))
        return path

    @staticmethod
    def read(relative):
        with open(os.path.join(ROOT, relative)) as f:
            return f.read()

    def test_is_judged_as_it_is_whatever_its_time(self):
        # A file put in place with an older time (mv, cp -p, a tar) is judged as it is
        # now, not by what an earlier check compiled.
        path = self.write(self.read("partial_sums/shared_accumulator.cpp"))
        status, doc = verdict(["shared_accumulator", path, "--family", "races"])
        self.assertEqual(status, 0, doc)
        self.write(self.read("exercises/lost_adds.cpp"), 3600)
        status, doc = verdict(["shared_accumulator", path, "--family", "races"])
        self.assertEqual((status, families(doc)), (1, {"races": "fail"}), doc)

    def test_that_never_ends_fails_every_family_in_one_deadline_each(self):
        # A hang in every run (greet_ids), and one on thread 1 alone (ranked_sum), judged
        # by the race detector alone. Each loop reads a volatile: clang drops an endless
        # loop that does nothing (a C++ program may assume it ends), and the race build
        # would crash instead of hanging.
        text = self.read("greetings/greet_ids.cpp")
        text = text[:text.rindex("return 0;")] + (
            "volatile bool spin = true;\n  while (spin) {\n  }\n}\n")
        for args, judged in (
                (["greet_ids", self.write(text)], ["behaviour", "races", "memory"]),
                (["ranked_sum", os.path.join(ROOT, "tests/fixtures/harness/spins_on_thread_one.cpp"),
                  "--family", "races"], ["races"])):
            with self.subTest(args=args[0]):
                status, doc = verdict(args)
                self.assertEqual(status, 1, doc)
                self.assertEqual(families(doc), {f: "fail" for f in judged}, doc)
                for family in doc["families"]:
                    self.assertEqual(family.get("reason"), "hang", family)
                    self.assertIn("did not end", family["message"])
                    first = family["cases"][0]
                    self.assertEqual(first["message"], "it did not end in time and was killed")
                    self.assertTrue(first["command"].endswith(args[0]), family)
                    # The harness's own note is never told as what the program wrote.
                    self.assertNotIn("not started", json.dumps(family))

    def test_that_forks_is_judged_and_leaves_nothing(self):
        text = self.read("greetings/greet_ids.cpp")
        text = text.replace("int main", "#include <unistd.h>\n\nint main")
        text = text[:text.rindex("return 0;")] + (
            "std::fflush(stdout);\n  if (fork() == 0) pause();\n  return 0;\n}\n")
        status, doc = verdict(["greet_ids", self.write(text), "--family", "behaviour"])
        self.assertEqual(status, 0, doc)


class Grading(unittest.TestCase):
    """A class folder graded at once: the four outputs parse and agree with the verdicts,
    and a re-run judges again only what changed."""

    def test_a_small_class(self):
        folder = tempfile.mkdtemp(prefix="class_")
        out = os.path.join(folder, "out")
        try:
            for student, source in (("ana", "partial_sums/shared_accumulator.cpp"),
                                    ("ben", "exercises/lost_adds.cpp")):
                os.makedirs(os.path.join(folder, student))
                shutil.copy(os.path.join(ROOT, source),
                            os.path.join(folder, student, "shared_accumulator.cpp"))
            os.makedirs(os.path.join(folder, "carla"))  # handed in nothing
            students = [os.path.join(folder, s) for s in ("ana", "ben", "carla")]
            status, text, err = run(["--grade", "shared_accumulator"] + students + ["--out", out])
            self.assertEqual(status, 3, err)  # one could not be judged
            self.assertIn("1 accepted, 1 rejected, 1 could not be judged", text)
            self.assertIn("- 1 of 3: unprotected update of suma", text)
            with open(os.path.join(out, "gradebook.csv")) as f:
                rows = {r["student"]: r for r in csv.DictReader(f)}
            self.assertEqual({s: r["verdict"] for s, r in rows.items()},
                             {"ana": "accepted", "ben": "rejected", "carla": "cannot judge"})
            self.assertEqual(rows["ben"]["races"], "rejected")
            tree = xml.etree.ElementTree.parse(os.path.join(out, "junit.xml"))
            cases = tree.findall(".//testcase")
            self.assertEqual(len(cases), 3 + 3 + 1)
            self.assertEqual(len(tree.findall(".//testcase/failure")), int(
                tree.find("testsuite").get("failures")))
            for student in ("ana", "ben", "carla"):
                with open(os.path.join(out, student + ".json")) as f:
                    json.load(f)
            self.assertTrue(os.path.getsize(os.path.join(out, "summary.md")))
            # Again, with ben's file fixed: only ben is judged again.
            shutil.copy(os.path.join(ROOT, "partial_sums/shared_accumulator.cpp"),
                        os.path.join(folder, "ben", "shared_accumulator.cpp"))
            status, text, err = run(["--grade", "shared_accumulator"] + students + ["--out", out])
            self.assertIn("ana: accepted, unchanged", text)
            self.assertRegex(text, r"ben: accepted, \d+ s")
            self.assertEqual([f for f in os.listdir(out) if f.startswith(".")], [])
            # Other people's files are no part of the teacher's own progress.
            self.assertFalse(os.path.exists(PROGRESS))
        finally:
            shutil.rmtree(folder)


def descendants(root):
    """{pid: command line} of the running processes under `root` (every one, for None)."""
    parents, lines = {}, {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                state, parent = f.read().rsplit(b")", 1)[1].split()[:2]
            if state == b"Z":  # ended, not yet reaped: nothing runs
                continue
            parents[int(pid)] = int(parent)
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                lines[int(pid)] = f.read()
        except (OSError, IndexError, ValueError):
            continue
    if root is None:
        return lines
    found, grew = {root}, True
    while grew:
        more = {pid for pid, parent in parents.items() if parent in found} - found
        found |= more
        grew = bool(more)
    return {pid: lines[pid] for pid in found - {root} if pid in lines}


class Watch(unittest.TestCase):
    """./tour --watch through a pipe, as a student's editor saves: every save judged, a
    save during a check ends it, and Ctrl-C ends the watch leaving nothing running. Its
    lesson is one no other group checks, so that the check trees' work folders of that
    lesson, which it counts at the end, are its own."""

    def test_saves_are_judged_and_ctrl_c_leaves_nothing(self):
        folder = tempfile.mkdtemp(prefix="watch_")
        path = os.path.join(folder, "ranked_sum_large.cpp")
        with open(os.path.join(ROOT, "partial_sums/ranked_sum_large.cpp")) as f:
            good = f.read()
        hangs = good.replace("int main() {", "int main() {\n  for (;;) {\n  }")
        self.assertNotEqual(hangs, good)
        with open(path, "w") as f:
            f.write(good)
        watch = subprocess.Popen([TOUR, "--watch", "ranked_sum_large", path, "--family",
                                  "behaviour"], cwd=folder, env=environment(),
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, bufsize=0)
        seen, started, pending = [], {}, b""

        def until(pattern, timeout=30):
            """Reads the watch's lines until one holds `pattern`; fails at the deadline
            even when the watch says nothing more."""
            nonlocal pending
            deadline = time.monotonic() + timeout
            while True:
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    seen.append(line.decode(errors="replace") + "\n")
                    if pattern in seen[-1]:
                        return
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([watch.stdout], [], [], left)[0]:
                    break
                chunk = os.read(watch.stdout.fileno(), 65536)
                if not chunk:
                    break
                pending += chunk
            self.fail(f"no '{pattern}' in: {''.join(seen)}")

        def save(text, by_rename):
            if by_rename:
                with open(path + ".new", "w") as f:
                    f.write(text)
                os.replace(path + ".new", path)
            else:
                with open(path, "w") as f:
                    f.write(text)

        try:
            until("ranked_sum_large: accepted", timeout=600)  # the first check may build the trees
            save("int main( {\n", by_rename=False)
            until("does not compile")
            until("ranked_sum_large: not accepted")
            # A save that hangs the program, fixed before its check can end (a hung run is
            # killed at 20 s): that check is ended and the fix is judged at once.
            start = time.monotonic()
            save(hangs, by_rename=True)
            until("save 2")
            until("checking")
            save(good, by_rename=True)
            until("that check is ended")
            until("ranked_sum_large: accepted")
            self.assertLess(time.monotonic() - start, 20, "".join(seen))
            # Ctrl-C while the hanging version runs: everything the watch started ends.
            save(hangs, by_rename=False)
            until("save 4")
            until("checking")
            # Saved again unchanged before that check ended: the text has no verdict yet,
            # so it is checked again (not "its verdict stands").
            time.sleep(0.5)
            os.utime(path, ns=(time.time_ns(), time.time_ns() + 10**9))
            until("that check is ended")
            until("save 5")
            until("checking")
            self.assertNotIn("verdict stands", "".join(seen))
            time.sleep(2)
            started = descendants(watch.pid)
            self.assertTrue(any(b"/submission/ranked_sum" in c or b"ranked_sum" in c
                                for c in started.values()), started)
            watch.send_signal(signal.SIGINT)
            self.assertEqual(watch.wait(timeout=15), 0, "".join(seen))
            until("stopped watching")
        finally:
            if watch.poll() is None:
                watch.kill()
            watch.wait()
            watch.stdout.close()
            shutil.rmtree(folder)
        left = {pid: c for pid, c in descendants(None).items()
                if pid in started and started[pid] == c}
        self.assertEqual(left, {})
        work = os.path.join(ROOT, "build", "check", "work")
        self.assertEqual([w for w in os.listdir(work) if w.startswith("ranked_sum_large-")]
                         if os.path.isdir(work) else [], [])


class Platforms(unittest.TestCase):
    """classroom/: Gradescope's run_autograder against a folder laid out as Gradescope
    lays it out, and the check's GitHub and GitLab formats on a real rejection."""

    def autograde(self, files):
        """results.json of run_autograder on a submission holding `files` (name: text)."""
        root = tempfile.mkdtemp(prefix="autograder_")
        try:
            source = os.path.join(root, "source")
            os.makedirs(os.path.join(root, "submission"))
            os.makedirs(os.path.join(root, "results"))
            os.makedirs(source)
            os.symlink(ROOT, os.path.join(source, "openmp-lessons"))
            with open(os.path.join(source, "lesson"), "w") as f:
                f.write("ranked_sum\n")
            with open(os.path.join(source, "scale"), "w") as f:
                f.write("10\n")
            shutil.copy(os.path.join(ROOT, "classroom", "gradescope", "run_autograder"), root)
            for name, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, "submission", name)),
                            exist_ok=True)
                with open(os.path.join(root, "submission", name), "w") as f:
                    f.write(text)
            done = subprocess.run([os.path.join(root, "run_autograder")], capture_output=True,
                                  text=True, timeout=900, stdin=subprocess.DEVNULL,
                                  env=environment({"AUTOGRADER_ROOT": root}))
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(root, "results", "results.json")) as f:
                return json.load(f)
        finally:
            shutil.rmtree(root)

    def test_gradescope_scores_the_correct_file_fully_and_a_faulty_one_less(self):
        with open(os.path.join(ROOT, "partial_sums", "ranked_sum.cpp")) as f:
            lesson = f.read()
        with open(os.path.join(ROOT, "exercises", "total_too_soon.cpp")) as f:
            faulty = f.read()
        rows = [  # the submission's files, its score of 10, the tests passed, a diagnosis
            ({"src/ranked_sum.cpp": lesson, "README.md": "mine"}, 10, 3, None),
            ({"ranked_sum.cpp": faulty}, None, 1, "(line 29)"),
            ({"main.cpp": "int main( {\n"}, 0, 0, "does not compile"),
            ({"notes.txt": "forgot it"}, 0, 0, "no C++ file"),
        ]
        for files, score, passed, said in rows:
            with self.subTest(files=sorted(files)):
                results = self.autograde(files)
                tests = results["tests"]
                self.assertEqual(sum(t["status"] == "passed" for t in tests), passed, results)
                self.assertAlmostEqual(results["score"], sum(t["score"] for t in tests), 1)
                if score is not None:
                    self.assertEqual(results["score"], score)
                else:
                    self.assertTrue(0 < results["score"] < 10, results)
                if said:
                    self.assertIn(said, json.dumps(results))

    def test_github_and_gitlab_name_the_mistakes_line(self):
        out = tempfile.mkdtemp(prefix="reports_")
        try:
            status, text, err = run(["--check", "ranked_sum", "exercises/total_too_soon.cpp",
                                     "--format", "github"])
            self.assertEqual(status, 1, err)
            commands = [line for line in text.splitlines() if line.startswith("::error ")]
            self.assertTrue(commands, text)
            self.assertTrue(all(c.startswith("::error file=exercises/total_too_soon.cpp,"
                                             "line=29,") for c in commands), commands)
            # Nothing the program printed comes between ::stop-commands:: and its end.
            lines = text.splitlines()
            stop = lines[0 if lines[0].startswith("::stop") else 1]
            self.assertRegex(stop, r"^::stop-commands::[0-9a-f]{24}$")
            self.assertIn(f"::{stop.rsplit('::', 1)[1]}::", lines)
            status, text, err = run(["--check", "ranked_sum", "exercises/total_too_soon.cpp",
                                     "--format", "gitlab", "--out", out])
            self.assertEqual(status, 1, err)
            with open(os.path.join(out, "gl-code-quality-report.json")) as f:
                issues = json.load(f)
            self.assertEqual({(i["location"]["path"], i["location"]["lines"]["begin"])
                              for i in issues}, {("exercises/total_too_soon.cpp", 29)})
            cases = xml.etree.ElementTree.parse(os.path.join(out, "junit.xml")).findall(
                ".//testcase")
            self.assertEqual(len(cases), 3)
        finally:
            shutil.rmtree(out)


class TourCopy(unittest.TestCase):
    """A copy of the source tree without its builds, to try the tour's own build on."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tour_copy_")
        for name in os.listdir(ROOT):
            if name not in ("build", ".git"):
                source = os.path.join(ROOT, name)
                copy = shutil.copytree if os.path.isdir(source) else shutil.copy2
                copy(source, os.path.join(self.dir, name))

    def tearDown(self):
        shutil.rmtree(self.dir)

    def tour(self, args, env=()):
        done = subprocess.run([os.path.join(self.dir, "tour")] + args, capture_output=True,
                              text=True, timeout=600, stdin=subprocess.DEVNULL,
                              env=catalogue.clean_environment(dict(env)))
        return done.returncode, done.stdout, done.stderr

    def test_recovers_from_a_failed_first_build(self):
        status, out, err = self.tour(["greet_ids"], {"CXX": "/bin/false"})
        self.assertNotEqual(status, 0)
        self.assertNotIn("Hola", out, "a program ran without a build")
        self.assertIn("tour: the programs cannot be configured: The C++ compiler", err)
        status, out, err = self.tour(["greet_ids"], {"CXX": shutil.which("g++") or "c++"})
        self.assertEqual(status, 0, err)
        self.assertIn("Hola, soy el hilo: 0", out)

    def test_runs_the_lessons_that_build_when_one_does_not(self):
        status, out, err = self.tour(["greet_ids"])  # a good build of it comes first
        self.assertEqual(status, 0, err)
        source = os.path.join(self.dir, "greetings", "greet_ids.cpp")
        with open(source) as f:
            text = f.read()
        with open(source, "w") as f:
            f.write(text.replace("return 0;", "return 0"))
        status, out, err = self.tour(["greetings"])
        self.assertEqual(status, 1, err)
        headings = [line.split()[1] for line in out.splitlines() if line.startswith("== ")]
        self.assertEqual(len(headings), 7, out)
        self.assertIn("!! greet_ids does not compile: greetings/greet_ids.cpp:", out)
        self.assertIn("error: expected", out)
        self.assertIn("Hola ,soy el hilo: ", out, "greet_eight, after the broken one, ran")
        self.assertNotIn("Hola, soy el hilo: ", out, "the broken program's old build ran")

    def test_a_copied_or_moved_clone_runs_its_own_programs(self):
        status, out, err = self.tour(["greet_ids"])
        self.assertEqual(status, 0, err)
        copy = self.dir + "_copied"
        shutil.copytree(self.dir, copy, symlinks=True)  # with its build, as cp -a does
        moved = self.dir + "_moved"
        try:
            source = os.path.join(copy, "greetings", "greet_ids.cpp")
            with open(source) as f:
                text = f.read()
            with open(source, "w") as f:
                f.write(text.replace("Hola, soy", "Hola de la copia, soy"))
            for clone in (copy, moved):
                if clone == moved:
                    os.rename(copy, moved)
                done = subprocess.run([os.path.join(clone, "tour"), "greet_ids"],
                                      capture_output=True, text=True, timeout=600,
                                      env=catalogue.clean_environment())
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("Hola de la copia, soy el hilo: 0", done.stdout)
                self.assertIn(os.path.basename(clone), done.stdout)  # its own program ran
        finally:
            shutil.rmtree(copy, ignore_errors=True)
            shutil.rmtree(moved, ignore_errors=True)

    def test_a_clone_that_cannot_be_written_builds_in_the_cache(self):
        # Run as another user, to whom the clone is read-only, as a shared install is to
        # its students: listing and explaining work, and builds go to the user's cache.
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv (util-linux) to run as another user")
        for folder, _, files in os.walk(self.dir):
            os.chmod(folder, 0o755)
        cache = tempfile.mkdtemp(prefix="cache_")
        os.chmod(cache, 0o777)
        try:
            for args in (["--list"], ["--explain", "lost_adds"], ["greet_ids"]):
                done = subprocess.run(
                    ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                     os.path.join(self.dir, "tour")] + args, capture_output=True, text=True,
                    timeout=600, env=catalogue.clean_environment({"XDG_CACHE_HOME": cache,
                                                                  "HOME": cache}))
                self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("Hola, soy el hilo: 0", done.stdout)
            self.assertFalse(os.path.exists(os.path.join(self.dir, "build")))
            self.assertTrue(os.listdir(os.path.join(cache, "openmp-lessons")))
        finally:
            shutil.rmtree(cache, ignore_errors=True)

    def test_stops_in_one_line_when_it_cannot_write_its_build(self):
        with open(os.path.join(self.dir, "build"), "w") as f:
            f.write("a file where the build directory should be\n")
        status, out, err = self.tour(["greet_ids"])
        self.assertEqual((status, out, err.count("\n")), (2, "", 1), err)


if __name__ == "__main__":
    unittest.main()
