"""The two things bench/run.py needs from a build and the environment: the programs'
manifest and an environment free of OpenMP settings. Kept apart so that run.py can take
them from a shared module instead by changing its one import line."""
import os

MANIFEST_FIELDS = ("name", "folder", "path", "source", "lesson")
OPENMP_PREFIXES = ("OMP_", "GOMP_", "KMP_")


def read_manifest(build_dir):
    """The programs of a build, in declaration order, from <build_dir>/programs.tsv: one
    dict per program with the keys name, folder, path, source and lesson."""
    programs = []
    with open(os.path.join(build_dir, "programs.tsv")) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) != len(MANIFEST_FIELDS):
                raise ValueError(f"{build_dir}/programs.tsv: a line with {len(fields)} fields, "
                                 f"not {len(MANIFEST_FIELDS)}: {line.strip()!r}")
            programs.append(dict(zip(MANIFEST_FIELDS, fields)))
    return programs


def clean_environment(extra=None):
    """This process's environment without any OMP_*, GOMP_* or KMP_* variable, plus `extra`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(OPENMP_PREFIXES)}
    env.update(extra or {})
    return env
