"""The terminal: the tour's output and its errors, colours, and paths as a student types
them."""
import contextlib
import os
import re
import shlex
import sys
import unicodedata


class Failure(Exception):
    """An error the tour reports in one line (none if the message is None), with its exit
    status."""

    def __init__(self, message, status=2):
        super().__init__(message)
        self.message, self.status = message, status


class OutputLost(Exception):
    """The tour's own output could not be written."""


# Colour and emphasis only on a terminal (or for a watch that passes the output on to one).
TTY = sys.stdout is not None and sys.stdout.isatty() or os.environ.get("SUITE_TOUR_COLOUR") == "1"
BOLD, DIM, CYAN, RED, OFF = (("\033[1m", "\033[2m", "\033[36m", "\033[31m", "\033[0m") if TTY
                             else ("", "", "", "", ""))


# What may hide or rewrite what a terminal shows: control characters (escape sequences,
# carriage returns, backspaces), Unicode's invisible format characters (bidirectional
# overrides among them), and the bytes of a name that is not UTF-8.
_SUSPECT = re.compile(r"[^\t\n\x20-\x7e]")
# The tour's own colours, which a terminal shows as such; every other escape is shown.
_OURS = re.compile("|".join(re.escape(c) for c in {BOLD, DIM, CYAN, RED, OFF} if c))


def _escaped(ch):
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as Python keeps it in names
        return f"\\x{code - 0xDC00:02x}"
    if unicodedata.category(ch)[0] != "C" and ch not in "\u2028\u2029":
        return ch
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def printable(text, keep="\t\n"):
    """`text` with every character a terminal would act on instead of show (but those in
    `keep`) written out as an escape, such as \\x1b."""
    if not _SUSPECT.search(text) and all(c in keep or c not in text for c in "\t\n"):
        return text
    return "".join(ch if ch in keep else _escaped(ch) for ch in text)


def shown_text(text):
    """Text for the terminal: printable, but for the tour's own colours."""
    parts = _OURS.split(text) if _OURS.pattern else [text]
    colours = _OURS.findall(text) if _OURS.pattern else []
    out = [printable(parts[0])]
    for colour, part in zip(colours, parts[1:]):
        out += [colour, printable(part)]
    return "".join(out)


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
    """One or more lines on stdout. Whatever a student controls may be in them (names,
    output, their code), so nothing in them acts on the terminal: see shown_text."""
    with writing():
        sys.stdout.write(shown_text(text) + "\n")


def flush():
    with writing():
        sys.stdout.flush()


def note(text):
    """A message about the tour itself, on stderr, after what stdout holds so far."""
    try:
        sys.stdout.flush()
    except OSError:
        pass
    print(printable(text), file=sys.stderr, flush=True)


def decoded(name):
    """A file or folder name as text that any file, terminal or document takes, on one
    line: a byte that is not UTF-8 and a control character (a line break among them)
    are written out as \\xNN."""
    return printable(os.fsencode(name).decode("utf-8", "backslashreplace"), keep="")


def as_typed(path):
    """`path` as one types it from the current directory: relative within it, whole
    outside it (not ../../elsewhere/file.cpp)."""
    rel = os.path.relpath(path)
    return os.path.abspath(path) if rel == ".." or rel.startswith("../") else rel


def shown_path(path):
    """`path` as a student types it from the current directory, ready for a shell."""
    rel = as_typed(path)
    if not rel.startswith((".", "/")):
        rel = os.path.join(".", rel)
    return shlex.quote(rel)


def indent(text, by="    "):
    return "\n".join(by + line for line in text.splitlines())
