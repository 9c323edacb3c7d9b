"""Class folders as the platforms deliver them, against the students found in each: who,
with which id, which file, and what is left out as debris."""
import os
import tempfile
import unittest

import support  # noqa: F401 - the clone on the import path
from tourlib import classfolder

FILE = "int main() {}\n"

# Each layout: the files it holds (a name ending in / is an empty folder), what is passed
# to --grade (relative to the layout), then the students found as (name, id, file or the
# start of why there is none), and the debris listed.
LAYOUTS = [
    ("a folder per student (GitHub Classroom's download), the class passed alone",
     ["classA/ranked-sum-ana-perez/ranked_sum.cpp",
      "classA/ranked-sum-hugo-vera/src/ranked_sum.cpp",
      "classA/ranked-sum-hugo-vera/README.md",
      "classA/ranked-sum-lu/", "classA/.DS_Store"],
     ["classA"],
     [("ana-perez", "", "classA/ranked-sum-ana-perez/ranked_sum.cpp"),
      ("hugo-vera", "", "classA/ranked-sum-hugo-vera/src/ranked_sum.cpp"),
      ("lu", "", "no C++ file in it or below it")],
     ["classA/.DS_Store"]),
    ("the same folders passed one by one, as */ranked_sum.cpp",
     ["classA/ranked-sum-ana-perez/ranked_sum.cpp",
      "classA/ranked-sum-hugo-vera/ranked_sum.cpp"],
     ["classA/ranked-sum-ana-perez/ranked_sum.cpp", "classA/ranked-sum-hugo-vera/ranked_sum.cpp"],
     [("ana-perez", "", "classA/ranked-sum-ana-perez/ranked_sum.cpp"),
      ("hugo-vera", "", "classA/ranked-sum-hugo-vera/ranked_sum.cpp")],
     []),
    ("Moodle's flat files, names with spaces and accents",
     ["m/Ana Pérez_12345_assignsubmission_file_ranked_sum.cpp",
      "m/José Núñez_777_assignsubmission_file_suma.cpp",
      "m/Li Wei_31_assignsubmission_file_notes.txt",
      "m/Li Wei_31_assignsubmission_file_ranked_sum.cpp",
      "m/Li Wei_31_assignsubmission_file_ranked_sum.cpp~"],
     ["m"],
     [("Ana Pérez", "12345", "m/Ana Pérez_12345_assignsubmission_file_ranked_sum.cpp"),
      ("José Núñez", "777", "m/José Núñez_777_assignsubmission_file_suma.cpp"),
      ("Li Wei", "31", "m/Li Wei_31_assignsubmission_file_ranked_sum.cpp")],
     ["m/Li Wei_31_assignsubmission_file_ranked_sum.cpp~"]),
    ("Moodle's zip: a folder per student, extra levels, macOS debris",
     ["z/Ana Perez_12345_assignsubmission_file_/ranked_sum/src/ranked_sum.cpp",
      "z/Ana Perez_12345_assignsubmission_file_/ranked_sum/src/.ranked_sum.cpp.swp",
      "z/Bo Li_9_assignsubmission_file_/a.cpp",
      "z/Bo Li_9_assignsubmission_file_/b.cpp",
      "z/Cy Ng_10_assignsubmission_file_/",
      "z/__MACOSX/Ana Perez_12345_assignsubmission_file_/._ranked_sum.cpp"],
     ["z"],
     [("Ana Perez", "12345",
       "z/Ana Perez_12345_assignsubmission_file_/ranked_sum/src/ranked_sum.cpp"),
      ("Bo Li", "9", "several C++ files (a.cpp, b.cpp)"),
      ("Cy Ng", "10", "no C++ file in what they handed in")],
     ["z/Ana Perez_12345_assignsubmission_file_/ranked_sum/src/.ranked_sum.cpp.swp",
      "z/__MACOSX"]),
    ("a flat folder of students' files, one each",
     ["flat/ana.cpp", "flat/ben.cc", "flat/ben.cc.orig", "flat/Thumbs.db"],
     ["flat"],
     [("ana", "", "flat/ana.cpp"), ("ben", "", "flat/ben.cc")],
     ["flat/Thumbs.db", "flat/ben.cc.orig"]),
    ("one student's folder with a helper beside the lesson stays one student",
     ["solo/ranked_sum.cpp", "solo/scratch.cpp"],
     ["solo"],
     [("solo", "", "solo/ranked_sum.cpp")],
     []),
    ("one student's unpacked zip, one level down, stays one student",
     ["dan/ranked_sum-main/ranked_sum.cpp"],
     ["dan"],
     [("dan", "", "dan/ranked_sum-main/ranked_sum.cpp")],
     []),
    ("one student's repository, the lesson in src/ and other code in tests/",
     ["eva/src/ranked_sum.cpp", "eva/tests/check.cpp", "eva/.git/HEAD"],
     ["eva"],
     [("eva", "", "eva/src/ranked_sum.cpp")],
     ["eva/.git"]),
    ("explicit folders and files, as before; the same name twice told apart",
     ["x/ana/ranked_sum.cpp", "y/ana/ranked_sum.cpp", "ben.cpp"],
     ["x/ana", "y/ana", "ben.cpp", "nobody"],
     [("ana (x/ana)", "", "x/ana/ranked_sum.cpp"), ("ana (y/ana)", "", "y/ana/ranked_sum.cpp"),
      ("ben", "", "ben.cpp"), ("nobody", "", "no such file or folder")],
     []),
]


class Layouts(unittest.TestCase):
    def test_students_names_and_debris_found(self):
        for title, files, passed, students, debris in LAYOUTS:
            with self.subTest(layout=title), tempfile.TemporaryDirectory() as root:
                for path in files:
                    full = os.path.join(root, path)
                    os.makedirs(os.path.dirname(full) if not path.endswith("/") else full,
                                exist_ok=True)
                    if not path.endswith("/"):
                        with open(full, "w") as f:
                            f.write(FILE)
                saved = os.getcwd()
                os.chdir(root)
                try:
                    found, left_out = classfolder.find("ranked_sum", passed)
                    found = [s._replace(file=os.path.abspath(s.file)) if s.file else s
                             for s in found]
                finally:
                    os.chdir(saved)
                # A file found is named relative to the layout; a reason, by its start.
                got = [(s.student, s.id, os.path.relpath(s.file, root) if s.file else s.why)
                       for s in found]
                self.assertEqual([(n, i) for n, i, _ in got], [(n, i) for n, i, _ in students])
                for (name, _, what), (_, _, expected) in zip(got, students):
                    self.assertTrue(what.startswith(expected), (name, what, expected))
                self.assertEqual(sorted(left_out), sorted(debris))

    def test_the_grades_kept_in_the_class_folder_are_no_student(self):
        with tempfile.TemporaryDirectory() as root:
            for student in ("ana", "ben"):
                os.makedirs(os.path.join(root, "k", student))
                with open(os.path.join(root, "k", student, "ranked_sum.cpp"), "w") as f:
                    f.write(FILE)
            os.makedirs(os.path.join(root, "k", "grades", "feedback"))
            found, _ = classfolder.find("ranked_sum", [os.path.join(root, "k")],
                                        outside=os.path.join(root, "k", "grades"))
            self.assertEqual([s.student for s in found], ["ana", "ben"])

    def test_links_are_never_followed(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "k", "ana"))
            os.makedirs(os.path.join(root, "k", "ben"))
            os.makedirs(os.path.join(root, "k", "cy"))
            with open(os.path.join(root, "k", "ana", "ranked_sum.cpp"), "w") as f:
                f.write(FILE)
            with open(os.path.join(root, "k", "cy", "ranked_sum.cpp"), "w") as f:
                f.write(FILE)
            # ben's file is a link to ana's; a folder below ben's links to ana's folder.
            os.symlink(os.path.join(root, "k", "ana", "ranked_sum.cpp"),
                       os.path.join(root, "k", "ben", "ranked_sum.cpp"))
            os.symlink(os.path.join(root, "k", "ana"), os.path.join(root, "k", "ben", "sub"))
            found, _ = classfolder.find("ranked_sum", [os.path.join(root, "k")])
            by = {s.student: s for s in found}
            self.assertEqual(sorted(by), ["ana", "ben", "cy"])
            self.assertIsNone(by["ben"].file)
            self.assertIn("link", by["ben"].why)


if __name__ == "__main__":
    unittest.main()
