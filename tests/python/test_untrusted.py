"""What a student controls, as the tour takes it in and gives it out: a submission read
once (a regular file, not a link, of a sane size), a build taken from the sandbox only
if it is one regular file, a harness's results that must name every case, names that
are never options, and names and output written out safely for a terminal, a
spreadsheet, XML and file names."""
import json
import os
import tempfile
import unittest
import xml.etree.ElementTree

from support import FIXTURES
from tourlib import catalogue, cli, files, grade, term
from tourlib.check import advice, forbidden, harness
from tourlib.check.checker import Checker


class Shown(unittest.TestCase):
    def test_what_would_act_on_a_terminal_is_written_out(self):
        rows = [  # text, keep, shown
            ("plain, ñ, 漢字", "\t\n", "plain, ñ, 漢字"),
            ("a\x1b[2J\x1b[Hb", "\t\n", "a\\x1b[2J\\x1b[Hb"),
            ("line\r\x08\x07", "\t\n", "line\\x0d\\x08\\x07"),
            ("tab\tand\nline", "\t\n", "tab\tand\nline"),
            ("tab\tand\nline", "", "tab\\x09and\\x0aline"),
            ("\x9b31m", "\t\n", "\\x9b31m"),  # the one-byte escape of C1
            ("abc\u202edcba", "\t\n", "abc\\u202edcba"),  # right-to-left override
            ("x\u2028y", "\t\n", "x\\u2028y"),
            (os.fsdecode(b"bad\xffbyte"), "\t\n", "bad\\xffbyte"),
        ]
        for text, keep, shown in rows:
            with self.subTest(text=text):
                self.assertEqual(term.printable(text, keep), shown)
        self.assertEqual(term.decoded(os.fsdecode(b"a\xff")), "a\\xff")


class Written(unittest.TestCase):
    def test_cells_are_never_formulas(self):
        rows = [("ana", "ana"), ("=HYPERLINK(\"x\";\"y\")", "'=HYPERLINK(\"x\";\"y\")"),
                ("+1", "'+1"), ("-rf", "'-rf"), ("@SUM(1+1)", "'@SUM(1+1)"),
                ("\tx", "\\x09x"), ("a\nb", "a\\x0ab"), ("\x1b[2J", "\\x1b[2J"),
                ("  =1+1", "'  =1+1"), ("\uff1dSUM(1)", "'\uff1dSUM(1)")]
        for text, cell in rows:
            with self.subTest(text=text):
                self.assertEqual(grade.cell(text), cell)

    def test_file_names_are_plain_short_and_distinct(self):
        names = ["ana", "--out", "a b", "a_b", "..", ".hidden", "a/b", "x" * 250, "y" * 250,
                 os.fsdecode(b"bad\xff"), "\x1b[2J", "Ana Lopez", grade.safe("Ana Lopez"),
                 "José"]
        safe = [grade.safe(n) for n in names]
        self.assertEqual(len(set(safe)), len(names), safe)
        self.assertEqual(safe[:2] + safe[-1:], ["ana", "--out", "José"])
        for name in safe:
            with self.subTest(name=name):
                self.assertRegex(name, r"^[^./][^/\x00-\x1f]*$")
                self.assertLessEqual(len((name + ".json").encode()), 100)

    def test_reports_stay_valid_for_any_name(self):
        doc = {"status": "fail", "message": "rejected", "seconds": 1,
               "families": [{"name": "behaviour", "status": "fail", "message": "a\x01b"}],
               "diagnoses": [{"mistake": "m\x1b", "line": 3, "fix": "f\x00"}]}
        names = ["a\x01b", "\x1b[2J", os.fsdecode(b"bad\xff"), "<&>\"'", "=1+1"]
        report = grade.junit("ranked_sum", [(n, doc) for n in names])
        cases = xml.etree.ElementTree.fromstring(report).findall(".//testcase")
        self.assertEqual([c.get("classname") for c in cases],
                         ["ranked_sum." + term.printable(n) for n in names])


class StoredVerdicts(unittest.TestCase):
    def test_judged_again_when_what_judged_changes(self):
        rows = [  # a file of the clone, and whether a change to it changes the digest
            ("tourlib/check/checker.py", True), ("tests/partial_sums_test.cpp", True),
            ("tests/support/child.cpp", True), ("tests/support/suite_config.hpp.in", True),
            ("tests/memcheck.supp", True), ("cmake/suite_program.cmake", True),
            ("common/stdout_check.cpp", True), ("CMakeLists.txt", True),
            ("CMakePresets.json", True), ("exercises/catalogue.json", True),
            ("tests/fixtures/hostile/x.cpp", False), ("README.md", False),
            ("exercises/lost_adds.cpp", False), ("docs/lessons.md", False)]
        saved = catalogue.ROOT
        with tempfile.TemporaryDirectory() as clone:
            for path, _ in rows:
                os.makedirs(os.path.dirname(os.path.join(clone, path)), exist_ok=True)
                with open(os.path.join(clone, path), "w") as f:
                    f.write("1\n")
            catalogue.ROOT = clone
            try:
                before = grade.checker_digest()
                for path, counts in rows:
                    with self.subTest(path=path):
                        with open(os.path.join(clone, path), "w") as f:
                            f.write("2\n")
                        self.assertEqual(grade.checker_digest() != before, counts)
                        with open(os.path.join(clone, path), "w") as f:
                            f.write("1\n")
            finally:
                catalogue.ROOT = saved


class Read(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="untrusted_")
        self.path = os.path.join(self.dir, "mine.cpp")
        with open(self.path, "w") as f:
            f.write("int main() {}\n")

    def tearDown(self):
        for name in os.listdir(self.dir):
            path = os.path.join(self.dir, name)
            os.rmdir(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
        os.rmdir(self.dir)

    def test_a_submission_is_one_regular_file_read_once(self):
        os.symlink(self.path, os.path.join(self.dir, "link.cpp"))
        os.symlink(self.dir, os.path.join(self.dir, "folder_link"))
        os.mkfifo(os.path.join(self.dir, "fifo.cpp"))
        os.mkdir(os.path.join(self.dir, "folder.cpp"))
        rows = [  # name, follow links, in its folder, cap, what is said (None: the content)
            ("mine.cpp", False, True, 1024, None),
            ("link.cpp", True, False, 1024, None),
            ("link.cpp", False, False, 1024, "is a link"),
            ("folder_link/mine.cpp", False, False, 1024, None),  # a teacher's folder
            ("folder_link/mine.cpp", False, True, 1024, "is a link, or in one"),
            ("fifo.cpp", True, False, 1024, "is not a regular file"),  # and does not block
            ("folder.cpp", True, False, 1024, "is not a regular file"),
            ("mine.cpp", True, False, 10, "is larger than"),
            ("none.cpp", True, False, 1024, "No such file"),
        ]
        for name, follow, in_folder, cap, said in rows:
            with self.subTest(name=name, follow=follow, in_folder=in_folder, cap=cap):
                path = os.path.join(self.dir, name)
                if said is None:
                    self.assertEqual(files.read_regular(path, cap, follow, in_folder),
                                     b"int main() {}\n")
                else:
                    with self.assertRaisesRegex(term.Failure, said):
                        files.read_regular(path, cap, follow, in_folder)

    def test_a_build_is_taken_only_as_one_regular_file(self):
        checker = Checker({"name": "p", "folder": "f"}, "mine.cpp", b"")
        checker.work = self.dir
        rows = {"file": True, "link": False, "folder": False, "hard link": False, "none": False}
        for kind, taken in rows.items():
            with self.subTest(kind=kind):
                out = tempfile.mkdtemp(dir=self.dir)
                made = os.path.join(out, "program")
                if kind in ("file", "hard link"):
                    with open(made, "w") as f:
                        f.write("x")
                if kind == "hard link":
                    os.link(made, os.path.join(self.dir, "other"))
                if kind == "link":
                    os.symlink(self.path, made)
                if kind == "folder":
                    os.mkdir(made)
                self.assertEqual(checker.take(out, "behaviour"), taken)
                self.assertFalse(os.path.exists(out))
                self.assertEqual(os.path.exists(checker.binary("behaviour")), taken)
                if taken:
                    os.remove(checker.binary("behaviour"))
                if kind == "hard link":
                    os.remove(os.path.join(self.dir, "other"))

    def test_results_must_name_every_case_asked_for(self):
        with open(os.path.join(FIXTURES, "harness", "races_silenced.json")) as f:
            fixture = json.load(f)
        output = os.path.join(self.dir, "results.json")
        for asked, said in ((fixture["order"], None),
                            (fixture["order"] + ["Teams/Never.Ran/0"], "did not report on 1 of")):
            with self.subTest(asked=len(asked)):
                with open(output, "w") as f:
                    json.dump(fixture["results"], f)
                if said is None:
                    self.assertEqual(len(harness.read_results([output], asked)), len(asked))
                else:
                    with self.assertRaisesRegex(term.Failure, said):
                        harness.read_results([output], asked)


class Forbidden(unittest.TestCase):
    def test_what_turns_the_checkers_off_is_found_wherever_it_is_put(self):
        main = '# 1 "/submission/p.cpp"\n'
        header = '# 1 "/usr/include/x.h" 1 3\n'
        back = '# 2 "/submission/p.cpp" 2\n'
        rows = [  # preprocessed text, (line, name) found (line 0: not in the file's lines)
            (main + 'int main() {\n  asm("nop");\n}\n', [(2, "asm")]),
            (main + 'int main() { __asm__ volatile(""); }\n', [(1, "asm")]),
            # A label naming a declaration's symbol, as the C library's headers write them.
            (main + header + 'int f() __asm__ ("" "g");\n' + back + "int main() {}\n", []),
            (main + 'extern "C" const char* f() __asm__("__tsan_default_options");\n',
             [(1, "__tsan_default_options")]),
            (main + '__attribute__((__no_sanitize__("thread"))) void f();\n'
             '[[clang::no_sanitize_undefined]] void g();\n'
             '__attribute__((section("__llvm_prf_cnts"))) int h;\n',
             [(1, "__no_sanitize__"), (2, "no_sanitize_undefined"), (3, "section")]),
            (main + 'int section = 0; int x[2][2]; x[x[0][0]][0] = 1;\n#pragma omp section\n',
             []),
            (main + '#pragma clang attribute push(__attribute__((no_sanitize("thread"))), '
             'apply_to = function)\n', [(1, "no_sanitize")]),
            (main + 'namespace __tsan { bool OnReport(const void*, bool) { return true; } }\n'
             'int __llvm_gcov_total;\nvoid f(int* t) { AnnotateBenignRaceSized("f", 1, t, 4,'
             ' ""); }\n', [(1, "__tsan"), (2, "__llvm_gcov_total"),
                            (3, "AnnotateBenignRaceSized")]),
            (main + 'const char* s = "asm __tsan_x"; char c = \'a\'; int assemble, tsan_;\n', []),
            (main + "int d = 1'0; extern \"C\" int __tsan_x; char c = 'a';\n", [(1, "__tsan_x")]),
            # What only looks like a marker, or a raw string, hides nothing.
            (main + 'auto s = R"x(\n# 1 "/usr/include/x.h" 1 3\n)x";\nint f() { asm(""); }\n',
             [(4, "asm")]),
            (main + '#pragma junk 1R"x("\nextern "C" int __tsan_y;\nconst char* z = ")x";\n',
             [(2, "__tsan_y")]),
            # A #line that moves the file's lines elsewhere is refused, and hides nothing.
            (main + '# 1 "/usr/include/stdio.h"\nextern "C" int __tsan_x;\n',
             [(1, "/usr/include/stdio.h"), (0, "__tsan_x")]),
            (main + 'int main() { execv("/proc/self/exe", 0); int system = 1; }\n',
             [(1, "execv")]),
            (main + header + 'extern int execv (const char*, char* const*);\n' + back, []),
        ]
        for text, expected in rows:
            with self.subTest(text=text):
                self.assertEqual([(f["line"], f["name"]) for f in
                                  forbidden.found(text, "/submission/p.cpp")], expected)


class Advice(unittest.TestCase):
    def test_worked_out_apart_within_its_deadline(self):
        def endless():
            while True:
                pass
        rows = [  # work, result, why
            (lambda: {"diagnoses": [1]}, {"diagnoses": [1]}, ""),
            (lambda: [][0], None, r"failed \(IndexError: list index out of range\)"),
            (endless, None, "took longer than 0.5 s"),
            (lambda: os._exit(3), None, "ended without an answer"),
        ]
        for work, result, why in rows:
            with self.subTest(why=why):
                got, said = advice.apart(work, 0.5)
                self.assertEqual(got, result)
                self.assertRegex(said, why) if why else self.assertEqual(said, "")


class Options(unittest.TestCase):
    def test_no_name_is_an_option(self):
        rows = [  # argv, files here, paths (or file) it gives, or what the refusal says
            (["--grade", "n", "a", "--out", "o"], {"--out"}, "looks like an option"),
            (["--grade", "n", "-rf"], {"-rf"}, "looks like an option"),
            (["--grade", "n", "-rf"], set(), "unknown option"),
            (["--grade", "n", "--out", "o", "--", "--out", "-rf"], {"--out", "-rf"},
             ["--out", "-rf"]),
            (["--grade", "n", "a", "--"], {"--"}, "'--' is a file or folder here"),
            (["--grade", "n", "--", "a", "--"], {"--"}, ["a", "--"]),
            (["--check", "n", "--", "-mine.cpp"], set(), "-mine.cpp"),
        ]
        here = os.getcwd()
        for argv, present, gives in rows:
            with self.subTest(argv=argv, present=present), \
                    tempfile.TemporaryDirectory() as folder:
                os.chdir(folder)
                try:
                    for name in present:
                        os.mkdir(name)
                    if isinstance(gives, list):
                        self.assertEqual(cli.parse(argv)["paths"], gives)
                    elif argv[0] == "--check":
                        self.assertEqual(cli.parse(argv)["file"], gives)
                    else:
                        with self.assertRaisesRegex(term.Failure, gives):
                            cli.parse(argv)
                finally:
                    os.chdir(here)


if __name__ == "__main__":
    unittest.main()
