"""The exercises' catalogue agrees with the files of exercises/, and the check of that
agreement catches each way they can drift apart."""
import json
import os
import shutil
import tempfile
import unittest

from support import catalogue, lessons
from tourlib.term import Failure


class Manifest(unittest.TestCase):
    def test_read_and_refused(self):
        table = [("a\tgreetings\t/b/a\tgreetings/a.cpp\tone lesson\n", [
                    {"name": "a", "folder": "greetings", "path": "/b/a",
                     "source": "greetings/a.cpp", "lesson": "one lesson"}]),
                 ("", []),
                 ("a\tgreetings\t/b/a\n", Failure)]
        for text, want in table:
            with self.subTest(text=text), tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "programs.tsv"), "w") as f:
                    f.write(text)
                if want is Failure:
                    self.assertRaises(Failure, catalogue.read_manifest, folder)
                else:
                    self.assertEqual(catalogue.read_manifest(folder), want)

    def test_clean_environment(self):
        given = {"OMP_NUM_THREADS": "3", "GOMP_SPINCOUNT": "1", "KMP_AFFINITY": "x",
                 "OMPI_HOME": "/o", "PATH": "/bin", "MY_OMP_X": "1"}
        self.assertEqual(catalogue.clean_environment({"OMP_PLACES": "cores"}, base=given),
                         {"OMPI_HOME": "/o", "PATH": "/bin", "MY_OMP_X": "1",
                          "OMP_PLACES": "cores"})


class Catalogue(unittest.TestCase):
    def test_matches_the_exercise_files(self):
        self.assertEqual(catalogue.problems(lessons()), [])
        self.assertGreaterEqual(len(catalogue.exercises()), 8)
        self.assertEqual({e["family"] for e in catalogue.exercises()}, set(catalogue.FAMILIES))

    def test_each_drift_is_named(self):
        # (what is done to a copy of exercises/, what the check must say)
        def edit(name, **fields):
            def apply(folder, entries):
                next(e for e in entries if e["name"] == name).update(fields)
            return apply

        def drop_field(name, field):
            def apply(folder, entries):
                del next(e for e in entries if e["name"] == name)[field]
            return apply

        def remove_file(folder, entries):
            os.remove(os.path.join(folder, "lost_adds.cpp"))

        def stray_file(folder, entries):
            open(os.path.join(folder, "mine.cpp"), "w").close()

        def duplicate(folder, entries):
            entries.append(dict(entries[0]))

        with open(os.path.join(catalogue.EXERCISES, "lost_adds.cpp")) as f:
            blank = f.read().splitlines().index("") + 1
        table = [
            (edit("lost_adds", becomes="no_such_lesson"), "which is no lesson"),
            (edit("lost_adds", family="speed"), "family 'speed'"),
            (edit("lost_adds", line=999), "line 999"),
            (edit("lost_adds", line=blank), f"line {blank} is not a line of code"),
            (edit("lost_adds", hints=["one"]), "1 hints"),
            (edit("lost_adds", becomes="subtotal_atomic"), "does not give the command"),
            (drop_field("one_based", "task"), "one_based: no task"),
            (remove_file, "lost_adds: no file"),
            (stray_file, "mine.cpp: not in the catalogue"),
            (duplicate, "listed twice"),
        ]
        for change, said in table:
            with self.subTest(said=said), tempfile.TemporaryDirectory() as folder:
                for file in os.listdir(catalogue.EXERCISES):
                    shutil.copy(os.path.join(catalogue.EXERCISES, file), folder)
                with open(os.path.join(folder, "catalogue.json")) as f:
                    data = json.load(f)
                change(folder, data["exercises"])
                with open(os.path.join(folder, "catalogue.json"), "w") as f:
                    json.dump(data, f)
                found = catalogue.problems(lessons(), folder)
                self.assertTrue(any(said in p for p in found), found)


if __name__ == "__main__":
    unittest.main()
