"""The terminal: the tour's output and its errors, colours, and paths as a student types
them."""
import contextlib
import os
import shlex
import sys


class Failure(Exception):
    """An error the tour reports in one line (none if the message is None), with its exit
    status."""

    def __init__(self, message, status=2):
        super().__init__(message)
        self.message, self.status = message, status


class OutputLost(Exception):
    """The tour's own output could not be written."""


# Colour and emphasis only on a terminal.
TTY = sys.stdout is not None and sys.stdout.isatty()
BOLD, DIM, CYAN, RED, OFF = (("\033[1m", "\033[2m", "\033[36m", "\033[31m", "\033[0m") if TTY
                             else ("", "", "", "", ""))


@contextlib.contextmanager
def writing():
    """A failed write to stdout becomes OutputLost; a closed pipe stays BrokenPipeError."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as e:
        raise OutputLost(e) from e


def say(text=""):
    with writing():
        sys.stdout.write(text + "\n")


def flush():
    with writing():
        sys.stdout.flush()


def note(text):
    """A message about the tour itself, on stderr, after what stdout holds so far."""
    try:
        sys.stdout.flush()
    except OSError:
        pass
    print(text, file=sys.stderr, flush=True)


def shown_path(path):
    """`path` as a student types it from the current directory."""
    rel = os.path.relpath(path)
    if not rel.startswith((".", "/")):
        rel = os.path.join(".", rel)
    return shlex.quote(rel)


def indent(text, by="    "):
    return "\n".join(by + line for line in text.splitlines())
