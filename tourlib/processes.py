"""Processes the tour starts, and the trees under them: watched (output kept up to a cap,
memory, a deadline), and ended whole.

API:
    watch(process, *, timeout, limits, cancel=None) -> (stdout, stderr, reason)
        Keeps at most limits.output bytes of each of the process's pipes, and ends its
        whole process tree at the timeout, at the output cap, past limits.rss resident
        bytes (none: not watched), when `cancel` (a threading.Event) or STOPPING is set,
        or when the caller is interrupted. `reason` is "" when it ended by itself, else a
        sentence saying what stopped it. Every run of a student's file is watched so
        (sandbox.run), and so is the check's test harness, which runs outside the sandbox.
    Outcome: a watched run's status, output and reason.
    STOPPING: set when the caller is interrupted while other threads watch processes.
    stop(process, grace=5): its session ended, politely, then for sure.
    end(process): it and its whole tree killed, stopped first so that none forks away.
    adopt_orphans(), end_orphans(): this process inherits what its children lose, and
        ends it.
    die_with_parent(): a preexec_fn, so that a child ends with the process that started
        it.
"""
import ctypes
import dataclasses
import os
import selectors
import signal
import subprocess
import threading
import time

MIB = 1 << 20


@dataclasses.dataclass
class Outcome:
    returncode: int
    stdout: bytes
    stderr: bytes
    reason: str  # "" when the program ended by itself


def tree(top):
    """`top` and every process descending from it, from /proc."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    parents.setdefault(int(f.read().rsplit(b")", 1)[1].split()[1]), []
                                       ).append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    found, todo = [], [top]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo += parents.get(pid, [])
    return found


def resident(top):
    """Memory `top`'s whole tree holds: its resident pages (those shared after a fork
    count each time) and its page tables, which a program that reads one byte in every
    2 MiB of a vast mapping makes grow while it stays small."""
    total = 0
    for pid in tree(top):
        try:
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith(("VmRSS:", "VmPTE:")):
                        total += int(line.split()[1]) * 1024
        except (OSError, IndexError, ValueError):
            pass
    return total


def state(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0]
    except (OSError, IndexError):
        return b"X"


def freeze_and_kill(top, include_top=True):
    """Stops every process under `top` (and `top`), until none is left to fork another,
    then kills them all: a process killed while its parent still runs may have started a
    child that then outlives everything (bwrap's inner process, waiting forever for the
    outer one's word). Returns the pids killed."""
    frozen = set()
    while True:
        under = set(tree(top)) - ({top} if not include_top else set())
        new = {pid for pid in under - frozen if state(pid) not in (b"Z", b"X")}
        if not new:
            break
        for pid in new:
            try:
                os.kill(pid, signal.SIGSTOP)
            except OSError:
                pass
        frozen |= new
    for pid in frozen:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return frozen


def end(process):
    """Kills `process` and everything under it, and waits until they are gone: the
    kernel ends the rest of a pid namespace when bwrap's child dies, but not at once."""
    killed = freeze_and_kill(process.pid)
    process.wait()
    deadline = time.monotonic() + 10
    while any(state(pid) not in (b"Z", b"X") for pid in killed) and time.monotonic() < deadline:
        time.sleep(0.01)


def _prctl(option, value):
    try:
        ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def adopt_orphans():
    """Makes this process the one that inherits the orphans of everything it starts
    (PR_SET_CHILD_SUBREAPER), so that end_orphans() can find them."""
    _prctl(36, 1)


def die_with_parent():
    """For a child, before it runs (preexec_fn): it is sent SIGTERM, as on Ctrl-C, when
    the process that started it dies (PR_SET_PDEATHSIG)."""
    _prctl(1, signal.SIGTERM)


def end_orphans():
    """Kills every process still under this one, and reaps them: to be called when no
    process this one started should run any more (each was ended and waited for, or
    its parent was killed and it was inherited here)."""
    for pid in freeze_and_kill(os.getpid(), include_top=False):
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass  # not ours to reap: its own parent, killed as well, is


def stop(process, grace=5):
    """Ends `process` and its session if it is still running: politely (SIGTERM, and
    `grace` seconds to end), then for sure."""
    if process.poll() is not None:
        return
    for sig, grace in ((signal.SIGTERM, grace), (signal.SIGKILL, None)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=grace)
            return
        except subprocess.TimeoutExpired:
            pass


# Set when the caller is interrupted while other threads watch processes: each of them
# ends what it watches at once (the thread that was interrupted waits for them).
STOPPING = threading.Event()


def watch(process, *, timeout, limits, cancel=None):
    streams = [s for s in (process.stdout, process.stderr) if s is not None]
    kept = {s: bytearray() for s in streams}
    names = {process.stdout: "stdout", process.stderr: "stderr"}
    reason = ""
    selector = selectors.DefaultSelector()
    for stream in streams:
        os.set_blocking(stream.fileno(), False)
        selector.register(stream, selectors.EVENT_READ)
    next_watch = time.monotonic()
    deadline = next_watch + timeout
    try:
        while process.poll() is None or selector.get_map():
            if not selector.get_map():  # no pipes, or both closed: only the end is awaited
                time.sleep(0.05)
            for key, _ in selector.select(timeout=0.05) if selector.get_map() else ():
                data = os.read(key.fileobj.fileno(), 65536)
                if not data:
                    selector.unregister(key.fileobj)
                    continue
                sink = kept[key.fileobj]
                room = max(0, limits.output - len(sink))
                sink += data[:room]
                if len(data) > room and not reason:
                    reason = (f"wrote more than {limits.output // MIB} MiB on "
                              f"{names[key.fileobj]}")
            now = time.monotonic()
            if not reason and process.poll() is None:
                if STOPPING.is_set() or cancel is not None and cancel.is_set():
                    reason = "interrupted"
                elif now > deadline:
                    reason = f"did not end within {timeout} s"
                elif limits.rss is not None and now >= next_watch:
                    next_watch = now + 0.05
                    if resident(process.pid) > limits.rss:
                        reason = f"used more than {limits.rss // MIB} MiB of memory"
            if reason and process.poll() is None:
                end(process)
    finally:
        if process.poll() is None:
            end(process)
        process.wait()
        selector.close()
        for stream in streams:
            stream.close()
    return (bytes(kept.get(process.stdout, b"")), bytes(kept.get(process.stderr, b"")),
            reason)
