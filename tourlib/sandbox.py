"""Untrusted code, a student's file, compiled and run inside bubblewrap (`bwrap`).

API:
    available() -> (ok, why)
        Whether bwrap is installed and a trial sandbox starts; `why` is one line saying
        what is missing (the package to install) when it is not.
    sandboxed(argv, *, scratch, read_only=(), writable=(), hidden=(), limits=RUN,
              env=None, unprivileged=True, cwd=None) -> list[str]
        `argv` turned into a command that runs it inside the sandbox, limits included
        (`prlimit` sets them on bwrap, whose children inherit them).
    run(argv, *, timeout, limits=RUN, **sandboxed's options) -> Outcome
        Runs `argv` sandboxed, keeps at most limits.output bytes of each of stdout and
        stderr, and ends the whole process tree at the timeout, at the output cap, at
        limits.rss, or when the caller is interrupted. Outcome(returncode, stdout,
        stderr, reason): `reason` is "" when the program ended by itself, else a sentence
        saying what stopped it ("killed by SIGKILL" included).
    COMPILE, RUN, SANITIZED: the limits of a compiler run and of runs of a program built
        plainly or under UBSan/valgrind (RUN), or under TSan/ASan (SANITIZED).

How the check uses it (HERE the clone, TREE a family's build tree, S the submission's
scratch directory, SOURCE the checked file):
    compile: run(["cmake", "--build", TREE, "--target", NAME], scratch=S,
                 read_only=[HERE, SOURCE], writable=[TREE], cwd=HERE, limits=COMPILE,
                 unprivileged=False, timeout=...)
        The tree is writable here alone: ninja writes its objects and logs there. The
        compiler runs as the caller, who owns the tree; it runs no student code.
    runs:    run([HARNESS, "--gtest_filter=...", "--gtest_output=json:" + S + "/out.json"],
                 scratch=S, read_only=[HERE, TREE], env={"SUITE_RUN_TIMEOUT": "20", ...},
                 limits=RUN or SANITIZED, timeout=...)
        The harness and the program it starts run as nobody (when root), the tree
        read-only; results go to the scratch directory. RUN for the behaviour family
        and the memory family (UBSan and valgrind run within 4 GiB), SANITIZED for races.
    Where available() is false, --grade refuses with `why`; --check may run the same
    commands unsandboxed, saying so in one line.

What the sandbox guarantees:
  - No network: a network namespace of its own, with only a loopback of its own.
  - A read-only view of the system (/usr and its links) and of the paths in `read_only`
    (the clone, a build tree); only `scratch` (the working directory and $HOME)
    and the paths in `writable` can be written; /tmp and /dev/shm are private tmpfs
    (limits.tmp each). `scratch` is made nobody's, group root, mode 0770, when run as
    root: give each submission its own, in a directory only the caller enters. /etc holds
    only what compilers and loaders read (no shadow, no passwd); the teacher's home and
    every path not bound (other submissions) do not exist; `hidden` paths inside a bound
    one are covered by an empty directory.
  - Run as root (CI, a teacher's grading), the program runs as the uid `nobody`, without
    capabilities: a file bound by mistake that only root may read stays unreadable, and
    the process limit counts (the kernel does not apply RLIMIT_NPROC to root).
  - A pid namespace of its own: when the program's first process ends, or bwrap's
    caller dies (--die-with-parent), the kernel kills every process left in it; nothing
    outlives a run.
  - Limits (setrlimit, per process): CPU time, address space, open files, file size,
    and tasks (processes and threads) of its uid; run() adds the wall-clock timeout,
    the output cap and a watch on the resident memory of the whole tree.

What it does not guarantee:
  - Address space cannot be limited under ThreadSanitizer or AddressSanitizer (they
    reserve terabytes of shadow): SANITIZED has no address-space limit; run() instead
    sums the tree's resident memory every 50 ms and kills it past limits.rss, so a fast
    allocator can overshoot by what it touches in that time.
  - No cgroup: memory and tasks are limited per process and per uid, not per sandbox.
    Concurrent sandboxes as root share the task limit of `nobody`; as a plain user the
    task limit counts that user's own processes too. (cgroup v2's memory.max and
    pids.max would bound a whole tree, but need root or systemd's delegation, and here
    the cgroups are v1.)
  - The compiler runs as the caller (as root: uid 0 without capabilities) so that it
    can write the build tree; it runs no student code, and sees the same reduced view.
  - The scratch directory is bounded per file (limits.file_size), not in total.
  - Kernel bugs: bubblewrap relies on the kernel's namespaces.
"""

import dataclasses
import os
import selectors
import signal
import subprocess
import time

PACKAGE = "bubblewrap"
NOBODY = 65534
# The /etc files that compilers, CMake's tools and the dynamic loader read.
ETC = ("/etc/alternatives", "/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d",
       "/etc/localtime")
MIB = 1 << 20


@dataclasses.dataclass(frozen=True)
class Limits:
    cpu_s: int = 60                   # CPU seconds per process (RLIMIT_CPU)
    address_space: int | None = 4 << 30  # bytes per process (RLIMIT_AS); None: none
    rss: int | None = None            # resident bytes of the whole tree, watched by run()
    tasks: int = 12288                # processes and threads of the uid (RLIMIT_NPROC)
    open_files: int = 256             # per process (RLIMIT_NOFILE)
    file_size: int = 64 * MIB         # largest file a process may write (RLIMIT_FSIZE)
    output: int = 64 * MIB            # bytes run() keeps of stdout and of stderr
    tmp: int = 256 * MIB              # size of the private /tmp


# A lesson starts at most 10010 threads (fill_then_square, OMP_STACKSIZE=16K) and 256
# otherwise, each with its 8 MiB stack reserved: 2 GiB of address space at 256 threads.
RUN = Limits()
COMPILE = Limits(cpu_s=120, address_space=2 << 30, file_size=512 * MIB)
# The race detector's whole suite runs within a 1 GiB watch (TSan tracks at most 8128
# threads: the 10010-thread case is skipped there).
SANITIZED = Limits(address_space=None, rss=2 << 30)


def _system_binds():
    """/usr read-only, and the top-level links into it (/bin, /lib...) as links; on a
    system without merged /usr, those directories read-only."""
    args = ["--ro-bind", "/usr", "/usr"]
    for top in ("/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"):
        if os.path.islink(top):
            args += ["--symlink", os.readlink(top), top]
        elif os.path.isdir(top):
            args += ["--ro-bind", top, top]
    args += ["--perms", "0755", "--dir", "/etc"]
    for path in ETC:
        if os.path.exists(path):
            args += ["--ro-bind", path, path]
    return args


def sandboxed(argv, *, scratch, read_only=(), writable=(), hidden=(), limits=RUN, env=None,
              unprivileged=True, cwd=None):
    scratch = os.path.abspath(scratch)
    root = os.geteuid() == 0
    drop = root and unprivileged
    if root:
        # Writable by the program (nobody) and by the compiler (root without
        # capabilities: through the group); no one else's.
        os.chown(scratch, NOBODY, 0)
        os.chmod(scratch, 0o770)
    # The CPU limit's hard value a second later: SIGXCPU, which says why, comes first.
    command = ["prlimit", f"--cpu={limits.cpu_s}:{limits.cpu_s + 1}",
               f"--nofile={limits.open_files}",
               f"--fsize={limits.file_size}", f"--nproc={limits.tasks}", "--core=0"]
    if limits.address_space is not None:
        command.append(f"--as={limits.address_space}")
    command += ["--", "bwrap", "--die-with-parent", "--new-session", "--unshare-net",
                "--unshare-pid", "--unshare-ipc", "--unshare-uts", "--unshare-cgroup-try",
                "--hostname", "sandbox"]
    command += _system_binds()
    # LLVM's OpenMP runtime registers itself in /dev/shm: a private one, like /tmp.
    command += ["--proc", "/proc", "--dev", "/dev"]
    for private in ("/tmp", "/dev/shm"):
        command += ["--perms", "1777", "--size", str(limits.tmp), "--tmpfs", private]
    mounts = ([("--ro-bind", p) for p in read_only] + [("--bind", p) for p in writable]
              + [("--tmpfs", p) for p in hidden] + [("--bind", scratch)])
    mounts = sorted(((kind, os.path.abspath(p)) for kind, p in mounts),
                    key=lambda m: m[1].count("/"))
    # bwrap makes missing mount points readable by root alone; the program, as nobody,
    # must be able to reach the paths bound for it.
    ancestors = {os.path.dirname(path) for _, path in mounts}
    for path in list(ancestors):
        while path not in ("/", ""):
            ancestors.add(path)
            path = os.path.dirname(path)
    for path in sorted(ancestors - {"/", "/tmp"}, key=lambda p: p.count("/")):
        command += ["--perms", "0755", "--dir", path]
    for kind, path in mounts:
        command += [kind, path] if kind == "--tmpfs" else [kind, path, path]
    command += ["--chdir", os.path.abspath(cwd or scratch),
                "--clearenv"]
    variables = {"PATH": "/usr/bin:/bin", "HOME": scratch, "TMPDIR": "/tmp",
                 "LANG": "C.UTF-8"}
    variables.update(env or {})
    for key, value in variables.items():
        command += ["--setenv", key, value]
    if drop:
        # bwrap keeps root's capabilities inside (it makes no user namespace for root);
        # setpriv gives up the uid and every capability before the program starts.
        command += ["--", "setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                    "--clear-groups", "--inh-caps=-all", "--bounding-set=-all",
                    "--no-new-privs"]
    elif root:
        command += ["--cap-drop", "ALL"]
    return command + ["--"] + list(argv)


_trial = None


def available():
    """(True, "") if bwrap is installed and can make a sandbox here, else (False, why)."""
    global _trial
    if _trial is None:
        import shutil
        import tempfile
        if shutil.which("bwrap") is None:
            _trial = (False, f"bubblewrap (bwrap) is not installed: apt-get install {PACKAGE}")
        else:
            try:
                with tempfile.TemporaryDirectory(prefix="sandbox-trial-") as scratch:
                    trial = run(["true"], scratch=scratch, timeout=20)
                said = (trial.stderr.decode(errors="replace").strip().splitlines()
                        or [trial.reason or f"status {trial.returncode}"])[-1]
            except OSError as e:  # prlimit or setpriv missing (util-linux), or no /tmp
                trial, said = None, f"{e.filename or 'a temporary directory'}: {e.strerror}"
            if trial is not None and trial.returncode == 0 and not trial.reason:
                _trial = (True, "")
            else:
                _trial = (False, f"bubblewrap cannot make a sandbox here ({said}); it needs "
                                 "bubblewrap 0.5 or later and namespaces enabled (sysctl "
                                 "kernel.unprivileged_userns_clone=1 for a plain user)")
    return _trial


@dataclasses.dataclass
class Outcome:
    returncode: int
    stdout: bytes
    stderr: bytes
    reason: str  # "" when the program ended by itself


def _tree(top):
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
    """Resident bytes of `top`'s whole tree (pages shared after a fork count each time)."""
    total = 0
    for pid in _tree(top):
        try:
            with open(f"/proc/{pid}/statm") as f:
                total += int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, IndexError, ValueError):
            pass
    return total


def _state(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0]
    except (OSError, IndexError):
        return b"X"


def _end(process):
    """Kills bwrap and everything under it, and waits until they are gone: the kernel
    ends the rest of the pid namespace when bwrap's child dies, but not at once."""
    tree = _tree(process.pid)
    for pid in tree:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    process.wait()
    deadline = time.monotonic() + 10
    while any(_state(pid) not in (b"Z", b"X") for pid in tree) and time.monotonic() < deadline:
        time.sleep(0.01)


def _signal_reason(sig, limits):
    name = signal.Signals(sig).name if sig in signal.Signals._value2member_map_ else str(sig)
    known = {signal.SIGXCPU: f"its CPU time limit ({limits.cpu_s} s)",
             signal.SIGXFSZ: f"its file size limit ({limits.file_size // MIB} MiB)"}
    return f"killed by {name}" + (f": {known[sig]}" if sig in known else "")


def run(argv, *, timeout, limits=RUN, **options):
    command = sandboxed(argv, limits=limits, **options)
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    kept = {process.stdout: bytearray(), process.stderr: bytearray()}
    names = {process.stdout: "stdout", process.stderr: "stderr"}
    reason = ""
    selector = selectors.DefaultSelector()
    for stream in kept:
        os.set_blocking(stream.fileno(), False)
        selector.register(stream, selectors.EVENT_READ)
    next_watch = time.monotonic()
    deadline = next_watch + timeout
    try:
        while process.poll() is None or selector.get_map():
            for key, _ in selector.select(timeout=0.05):
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
                if now > deadline:
                    reason = f"did not end within {timeout} s"
                elif limits.rss is not None and now >= next_watch:
                    next_watch = now + 0.05
                    if resident(process.pid) > limits.rss:
                        reason = f"used more than {limits.rss // MIB} MiB of memory"
            if reason and process.poll() is None:
                _end(process)
    finally:
        if process.poll() is None:
            _end(process)
        process.wait()
        selector.close()
        process.stdout.close()
        process.stderr.close()
    status = process.returncode
    # bwrap reports a program ended by a signal as 128 + the signal.
    if not reason and status > 128 and status - 128 in signal.Signals._value2member_map_:
        reason = _signal_reason(status - 128, limits)
    elif not reason and status < 0:
        reason = _signal_reason(-status, limits)
    return Outcome(status, bytes(kept[process.stdout]), bytes(kept[process.stderr]), reason)
