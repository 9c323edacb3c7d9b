"""Watching a student's file: it is checked once, then again each time it is saved.

Each check is `./tour --check` in a child process of its own session, whose output is
passed on as it comes (the behaviour family's verdict first). A save while a check runs
ends that check, and everything it started, before the next one starts. Editors save by
renaming a new file into place, by truncating and writing, or in several writes: a save
counts once the file has stood still for QUIET seconds."""
import hashlib
import os
import selectors
import subprocess
import sys
import time

from . import build, catalogue, processes
from .check.command import resolve
from .files import read_regular
from .term import BOLD, DIM, OFF, TTY, Failure, flush, say, writing

POLL = 0.1  # seconds between two looks at the file
QUIET = 0.3  # seconds a file stands still before its save counts
GONE = 2  # seconds without the file before the watch says it waits for it
GRACE = 10  # seconds an ended check has to clean up before it is killed


def fingerprint(path):
    """What changes when a file is saved, however the editor saves it; None while there
    is no file."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns


def digest(path):
    """The content's digest, or None when it is no regular file of a sane size, or cannot
    be read (the check will say why): a FIFO put in its place blocks nothing."""
    try:
        return hashlib.sha256(read_regular(path)).hexdigest()
    except (Failure, OSError):
        return None


class Check:
    """One `./tour --check` running in its own session, its output passed on."""

    def __init__(self, argv):
        env = dict(os.environ, PYTHONUNBUFFERED="1")
        if TTY:
            env["SUITE_TOUR_COLOUR"] = "1"
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, start_new_session=True,
                                        preexec_fn=processes.die_with_parent)
        self.selector = selectors.DefaultSelector()
        for stream, sink in ((self.process.stdout, sys.stdout), (self.process.stderr, sys.stderr)):
            os.set_blocking(stream.fileno(), False)
            self.selector.register(stream, selectors.EVENT_READ, sink)

    def pump(self, seconds):
        """Passes on what the check wrote within `seconds`; True while it runs."""
        for key, _ in self.selector.select(timeout=seconds) if self.selector.get_map() else ():
            data = os.read(key.fileobj.fileno(), 65536)
            if not data:
                self.selector.unregister(key.fileobj)
                continue
            with writing():
                flush()  # what the watch said itself goes first
                key.data.buffer.write(data)
                key.data.flush()
        if not self.selector.get_map():
            time.sleep(seconds if self.process.poll() is None else 0)
        return self.process.poll() is None or bool(self.selector.get_map())

    def end(self):
        """Ends the check, as Ctrl-C would (it ends what it started and cleans up), then
        for sure; what it still had to say is dropped."""
        processes.stop(self.process, GRACE)
        self.process.wait()
        self.close()

    def close(self):
        self.selector.close()
        self.process.stdout.close()
        self.process.stderr.close()


def watch(name, file, family, programs, verbose=False):
    """Checks FILE (by default NAME's own source) as NAME now and at each save, until
    interrupted."""
    _, source, shown, _ = resolve(name, file, programs)  # refused now, in one line
    argv = [sys.executable, os.path.join(catalogue.ROOT, "tour"), "--build-dir", build.BUILD,
            "--check", name, source] + (["--family", family] if family else []) \
        + (["--verbose"] if verbose else [])
    say(f"watching {shown}: checked now, then each time you save it (Ctrl-C ends)")
    check, judged, saves = None, None, 0
    seen = fingerprint(source)
    try:
        while True:
            content = digest(source)
            if saves and content is not None and content == judged:
                say(f"{DIM}save {saves} ({time.strftime('%H:%M:%S')}): the same text as the "
                    f"last one checked; its verdict stands{OFF}")
            else:
                say(f"{BOLD}{'save ' + str(saves) if saves else 'as it is now'}{OFF} "
                    f"({time.strftime('%H:%M:%S')})")
                flush()
                check = Check(argv)
            seen = saved(source, seen, check)
            saves += 1
            if check is not None:
                if check.process.poll() is None:
                    check.end()
                    say(f"{DIM}(saved again: that check is ended, and this save is "
                        f"checked){OFF}")
                else:  # ended: what it said is passed on whole; that text has its verdict
                    while check.pump(0):
                        pass
                    check.close()
                    judged = content
                check = None
                processes.end_orphans()
    except KeyboardInterrupt:
        if check is not None:
            check.end()
            check = None
        processes.end_orphans()
        say(f"stopped watching {shown}")
    finally:
        if check is not None:
            check.end()


def saved(path, seen, check):
    """Waits for the next save of `path` (from the state `seen`), passing on the running
    check's output meanwhile; returns the new state once the file has stood still."""
    told_gone, alive = False, check is not None
    missing_since = None
    while True:
        if alive:
            alive = check.pump(POLL)
            if not alive:
                say(f"{DIM}waiting for your next save (Ctrl-C ends){OFF}")
                flush()
        else:
            time.sleep(POLL)
        now = fingerprint(path)
        if now is None:
            missing_since = missing_since or time.monotonic()
            if not told_gone and time.monotonic() - missing_since > GONE:
                say(f"{DIM}the file is gone; waiting for it to come back{OFF}")
                flush()
                told_gone = True
            continue
        missing_since = None
        if now == seen:
            continue
        # Changed: wait until it stands still, in case the editor is still writing.
        still = time.monotonic()
        while time.monotonic() - still < QUIET:
            if alive:
                alive = check.pump(POLL / 2)
            else:
                time.sleep(POLL / 2)
            later = fingerprint(path)
            if later != now:
                now, still = later, time.monotonic()
        if now is not None:
            return now
