"""The families of the check: what each one judges, the preset of its tree, the commands
it needs, the packages that bring them, and the test harnesses it runs."""
from ..build import RUN_TIMEOUT  # noqa: F401  (the check's runs have the tour's limit)

FAMILIES = {
    # The test suite's own checks of the program's output.
    "behaviour": {
        "preset": "check-behaviour",
        "compiler": "g++",
        "tools": ["cmake", "ninja"],
        "packages": "cmake g++ ninja-build libgtest-dev",
        "harness": ["suite_tests"],
        "reports": None,
    },
    # The same cases under the race detector: ThreadSanitizer and Archer, with clang.
    "races": {
        "preset": "check-races",
        "compiler": "clang++",
        "tools": ["cmake", "ninja", "clang++"],
        "packages": "clang libomp-dev libclang-rt-14-dev libgtest-dev",
        "harness": ["suite_tests"],
        "reports": "the race detector",
    },
    # The same cases unoptimised under UndefinedBehaviorSanitizer, and valgrind's memcheck.
    "memory": {
        "preset": "check-memory",
        "compiler": "g++",
        "tools": ["cmake", "ninja", "valgrind"],
        "packages": "valgrind libgtest-dev",
        "harness": ["suite_tests", "suite_memcheck"],
        "reports": "the memory checkers",
    },
}
