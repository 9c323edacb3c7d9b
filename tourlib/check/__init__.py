"""Judging a student's version of a program by the test suite's own cases, the race
detector and the memory checkers."""
from .command import check  # noqa: F401
