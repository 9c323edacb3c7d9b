"""Untrusted code, a student's file, compiled and run inside bubblewrap (`bwrap`).

API:
    available() -> (ok, why)
        Whether bwrap is installed and a trial sandbox starts; `why` is one line saying
        what is missing (the package to install) when it is not.
    identity() -> context manager giving a uid, or None
        As root, a uid of the sandbox's own for the block (held by a lock under /run, so
        that no other sandbox on the machine has it at the same time): its task limit
        counts that sandbox's processes alone. None for a plain user, whose sandboxes run
        as that user inside a user namespace.
    sandboxed(argv, *, read_only=(), writable=(), limits=RUN, env=None, uid=None,
              cwd=None) -> list[str]
        `argv` turned into a command that runs it inside the sandbox, limits included
        (`prlimit` sets them on bwrap, whose children inherit them). `read_only` and
        `writable` are paths, bound where they are, or (path, where) pairs. `env` None:
        the environment of the process that starts the command passes through (the test
        harness sets each run's); else exactly `env`, plus HOME, TMPDIR, PATH and LANG.
        sandboxed([]) is a prefix the test harness puts before each program it starts.
    run(argv, *, timeout, limits=RUN, **sandboxed's options) -> processes.Outcome
        Runs `argv` sandboxed, watched by processes.watch() with these limits.
    COMPILE, RUN, SANITIZED: the limits of a compiler run and of runs of a program built
        plainly or under UBSan/valgrind (RUN), or under TSan (SANITIZED).

How the check uses it (W the check's own folder, which only the caller enters; NAME the
program):
    compile: run([compiler, ..., "-c", "/submission/NAME.cpp", "-o", ...], read_only=
                 [(W/NAME.cpp, "/submission/NAME.cpp"), what it links with],
                 writable=[(W/FAMILY/out, "/submission/build")], uid=..., limits=COMPILE)
        The student's file is the only one of anyone's the compiler can see; it writes
        only its output folder. The check then takes from there a regular file of the
        expected name and size, and nothing else.
    runs:    the test harness (trusted, built from the suite's own sources) runs outside
             the sandbox, and starts each run of the program through sandboxed([]): the
             program is bound read-only at /submission/NAME, its HOME and working folder
             a private tmpfs. The harness writes its results where no sandbox can see.
    Where available() is false, --grade refuses with `why`; --check may run the same
    commands unsandboxed, saying so in one line.

What the sandbox guarantees:
  - No network: a network namespace of its own, with only a loopback of its own.
  - A view of its own: the system (/usr and its links) read-only, /etc only what
    compilers and loaders read (no shadow, no passwd), and the paths bound for it; the
    clone, the build trees, the teacher's home, other submissions and every other path
    do not exist inside. The working folder and $HOME, /tmp and /dev/shm are private
    tmpfs, limits.tmp bytes each, gone when the sandbox ends.
  - Run as root (CI, a teacher's grading), everything inside runs as a uid of the
    sandbox's own (identity()), or nobody, without capabilities: a root-only file stays
    unreadable, and the task limit counts that sandbox alone (the kernel does not apply
    RLIMIT_NPROC to root).
  - A pid namespace of its own: nothing inside can see, signal or trace a process
    outside (the test harness that judges included); when the program's first process
    ends, or bwrap's caller dies (--die-with-parent), the kernel kills every process
    left in it; nothing outlives a run.
  - Limits (setrlimit, per process): CPU time, address space, open files, file size,
    and tasks (processes and threads) of its uid; processes.watch() adds the wall-clock
    timeout,
    the output cap and a watch on the resident memory of the whole tree.

What it does not guarantee:
  - Memory is watched, not capped: the resident memory and page tables of the whole tree
    are summed every 50 ms, so a fast allocator can overshoot by what it touches in that time, and the
    private tmpfs (3 × limits.tmp) are not counted. Address space cannot be limited under
    ThreadSanitizer (it reserves terabytes of shadow): SANITIZED sets none. (cgroup v2's
    memory.max and pids.max would cap a whole tree, but need root or systemd's
    delegation, and the machine measured has cgroups v1.)
  - As a plain user, the task limit counts all of that user's processes.
  - Kernel bugs: bubblewrap relies on the kernel's namespaces.
"""

import atexit
import contextlib
import dataclasses
import fcntl
import os
import platform
import pwd
import shutil
import signal
import struct
import subprocess
import tempfile

from .processes import MIB, Outcome, watch

PACKAGE = "bubblewrap"
NOBODY = 65534
# The /etc files that compilers, CMake's tools and the dynamic loader read.
ETC = ("/etc/alternatives", "/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d",
       "/etc/localtime")
# The sandbox's working folder and $HOME: a private tmpfs.
HOME = "/scratch"
# As root, each sandbox runs as a uid of its own from here (a range no account uses:
# identity() checks), chosen under a lock in LOCKS.
UIDS = range(2_100_000_000, 2_100_000_256)
LOCKS = "/run/openmp-lessons-sandbox"


@dataclasses.dataclass(frozen=True)
class Limits:
    cpu_s: int = 60                   # CPU seconds per process (RLIMIT_CPU)
    address_space: int | None = 4 << 30  # bytes per process (RLIMIT_AS); None: none
    rss: int | None = 2 << 30         # resident bytes of the whole tree, watched
    tasks: int = 12288                # processes and threads of the uid (RLIMIT_NPROC)
    open_files: int = 256             # per process (RLIMIT_NOFILE)
    file_size: int = 64 * MIB         # largest file a process may write (RLIMIT_FSIZE)
    output: int = 64 * MIB            # bytes processes.watch() keeps of stdout and stderr
    tmp: int = 64 * MIB               # size of each private tmpfs: $HOME, /tmp, /dev/shm


# A lesson starts at most 10010 threads (fill_then_square, OMP_STACKSIZE=16K) and 256
# otherwise, each with its 8 MiB stack reserved: 2 GiB of address space at 256 threads.
RUN = Limits()
# The compiler's messages are read whole: 4 MiB of them is a template explosion.
COMPILE = Limits(cpu_s=120, address_space=2 << 30, output=4 * MIB, tmp=256 * MIB)
# The race detector's whole suite runs within a 1 GiB watch (TSan tracks at most 8128
# threads: the 10010-thread case is skipped there).
SANITIZED = Limits(address_space=None)


# System calls no program of the course makes, each of which reaches past the program
# itself: tracing or reading another process (the sandbox's own first process included),
# new namespaces (a user namespace comes with capabilities inside it), mounts, keys,
# BPF, kernel modules, io_uring. The numbers are x86-64's. A call is refused with EPERM, as a
# kernel that does not allow it would; clone3 with ENOSYS, so that the C library falls
# back to clone, whose flags the filter can read.
DENIED = {"ptrace": 101, "process_vm_readv": 310, "process_vm_writev": 311, "unshare": 272,
          "setns": 308, "mount": 165, "umount2": 166, "pivot_root": 155, "open_tree": 428,
          "move_mount": 429, "fsopen": 430, "fsmount": 432, "fspick": 433,
          "mount_setattr": 442, "keyctl": 250, "add_key": 248, "request_key": 249,
          "bpf": 321, "userfaultfd": 323, "perf_event_open": 298, "kexec_load": 246,
          "kexec_file_load": 320, "init_module": 175, "finit_module": 313,
          "delete_module": 176, "name_to_handle_at": 303, "open_by_handle_at": 304,
          # Memory that no process's resident size shows, which the sandbox's watch
          # would miss: SysV shared memory and message queues, memfds; and sockets,
          # whose buffers are the kernel's (and which no lesson opens).
          "shmget": 29, "msgget": 68, "memfd_create": 319, "memfd_secret": 447,
          "socket": 41, "socketpair": 53,
          "io_uring_setup": 425, "io_uring_enter": 426, "io_uring_register": 427}
CLONE, CLONE3 = 56, 435
CLONE_NAMESPACES = 0x7E020000  # CLONE_NEWNS, NEWCGROUP, NEWUTS, NEWIPC, NEWUSER, NEWPID, NEWNET


def seccomp_filter():
    """The filter as classic BPF (struct sock_filter[]), as bwrap --seccomp reads it; None
    where the system calls are not x86-64's. A call of another ABI (32-bit, x32) ends the
    process: its numbers would mean other calls."""
    if platform.machine() != "x86_64":
        return None
    ld, jeq, jge, jset, ret = 0x20, 0x15, 0x35, 0x45, 0x06
    allow, kill = 0x7FFF0000, 0x80000000
    eperm, enosys = 0x00050000 | 1, 0x00050000 | 38
    program = [(ld, "", "", 4), (jeq, "", "kill", 0xC000003E),  # AUDIT_ARCH_X86_64
               (ld, "", "", 0), (jge, "kill", "", 0x40000000)]
    program += [(jeq, "eperm", "", nr) for nr in sorted(DENIED.values())]
    program += [(jeq, "enosys", "", CLONE3), (jeq, "", "allow", CLONE),
                (ld, "", "", 16), (jset, "eperm", "", CLONE_NAMESPACES),
                ("allow", ret, allow), ("eperm", ret, eperm), ("enosys", ret, enosys),
                ("kill", ret, kill)]
    labels = {row[0]: k for k, row in enumerate(program) if isinstance(row[0], str)}

    def offset(label, at):
        return labels[label] - at - 1 if label else 0
    out = b""
    for at, row in enumerate(program):
        if isinstance(row[0], str):
            code, jt, jf, k = row[1], 0, 0, row[2]
        else:
            code, jt, jf, k = row[0], offset(row[1], at), offset(row[2], at), row[3]
        out += struct.pack("=HBBI", code, jt, jf, k)
    return out


_filter_path = None


def _filter_file():
    """A file holding seccomp_filter(), made once per process and removed at its end;
    None where there is no filter."""
    global _filter_path
    if _filter_path is None:
        program = seccomp_filter()
        if program is None:
            return None
        fd, _filter_path = tempfile.mkstemp(prefix="sandbox-", suffix=".bpf")
        with os.fdopen(fd, "wb") as f:
            f.write(program)
        atexit.register(lambda: os.path.exists(_filter_path) and os.remove(_filter_path))
    return _filter_path


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


def _pairs(paths):
    """(source, where) for each path or pair."""
    return [(os.path.abspath(p), os.path.abspath(p)) if isinstance(p, str)
            else (os.path.abspath(p[0]), p[1]) for p in paths]


def sandboxed(argv, *, read_only=(), writable=(), limits=RUN, env=None, uid=None, cwd=None):
    root = os.geteuid() == 0
    # The CPU limit's hard value a second later: SIGXCPU, which says why, comes first.
    # Whole paths: the test harness starts the command without a search of PATH.
    command = [shutil.which("prlimit") or "prlimit", f"--cpu={limits.cpu_s}:{limits.cpu_s + 1}",
               f"--nofile={limits.open_files}",
               f"--fsize={limits.file_size}", f"--nproc={limits.tasks}", "--core=0"]
    if limits.address_space is not None:
        command.append(f"--as={limits.address_space}")
    command.append("--")
    seccomp = _filter_file()
    if seccomp:
        # bwrap reads the filter from a descriptor: a shell opens it, then becomes bwrap.
        command += ["/bin/sh", "-c", 'exec 3<"$0" && exec "$@"', seccomp]
    command += [shutil.which("bwrap") or "bwrap", "--die-with-parent", "--new-session", "--unshare-net",
                "--unshare-pid", "--unshare-ipc", "--unshare-uts", "--unshare-cgroup-try",
                "--hostname", "sandbox"]
    command += _system_binds()
    # LLVM's OpenMP runtime registers itself in /dev/shm: a private one, like /tmp.
    command += ["--proc", "/proc", "--dev", "/dev"]
    for private in (HOME, "/tmp", "/dev/shm"):
        command += ["--perms", "1777", "--size", str(limits.tmp), "--tmpfs", private]
    mounts = ([("--ro-bind", s, w) for s, w in _pairs(read_only)]
              + [("--bind", s, w) for s, w in _pairs(writable)])
    mounts.sort(key=lambda m: m[2].count("/"))
    # bwrap makes missing mount points readable by root alone; the program, run as
    # another uid, must be able to reach the paths bound for it.
    ancestors = set()
    for _, _, where in mounts:
        path = os.path.dirname(where)
        while path not in ("/", "", "/tmp", HOME):
            ancestors.add(path)
            path = os.path.dirname(path)
    for path in sorted(ancestors, key=lambda p: p.count("/")):
        command += ["--perms", "0755", "--dir", path]
    for kind, source, where in mounts:
        command += [kind, source, where]
    if seccomp:
        command += ["--seccomp", "3"]
    command += ["--chdir", cwd or HOME]
    if env is not None:
        command.append("--clearenv")
        for key, value in env.items():
            command += ["--setenv", key, value]
    for key, value in (("HOME", HOME), ("TMPDIR", "/tmp"), ("PATH", "/usr/bin:/bin"),
                       ("LANG", "C.UTF-8")):
        if env is None or key not in env:
            command += ["--setenv", key, value]
    if root:
        # bwrap keeps root's capabilities inside (it makes no user namespace for root);
        # setpriv gives up the uid and every capability before the program starts.
        who = NOBODY if uid is None else uid
        command += ["--", shutil.which("setpriv") or "setpriv", f"--reuid={who}", f"--regid={who}",
                    "--clear-groups", "--inh-caps=-all", "--bounding-set=-all",
                    "--no-new-privs"]
    return command + ["--"] + list(argv)


def _in_use(uid):
    """Whether an account or a running process has `uid`."""
    try:
        pwd.getpwuid(uid)
        return True
    except KeyError:
        pass
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.stat(f"/proc/{entry}").st_uid == uid:
                return True
        except OSError:
            pass
    return False


@contextlib.contextmanager
def identity():
    if os.geteuid() != 0:
        yield None
        return
    os.makedirs(LOCKS, mode=0o700, exist_ok=True)
    held = None
    try:
        for uid in UIDS:
            fd = os.open(os.path.join(LOCKS, str(uid)), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW,
                         0o600)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                continue
            if _in_use(uid):
                os.close(fd)
                continue
            held = (uid, fd)
            break
        if held is None:
            raise OSError(f"every sandbox uid of {UIDS.start}..{UIDS.stop - 1} is in use")
        yield held[0]
    finally:
        if held is not None:
            os.close(held[1])


_trial = None


def available():
    """(True, "") if bwrap is installed and can make a sandbox here, else (False, why)."""
    global _trial
    if _trial is None:
        if shutil.which("bwrap") is None:
            _trial = (False, f"bubblewrap (bwrap) is not installed: apt-get install {PACKAGE}")
        else:
            try:
                trial = run(["true"], timeout=20)
                said = (trial.stderr.decode(errors="replace").strip().splitlines()
                        or [trial.reason or f"status {trial.returncode}"])[-1]
            except OSError as e:  # prlimit or setpriv missing (util-linux)
                trial, said = None, f"{e.filename or 'a command'}: {e.strerror}"
            if trial is not None and trial.returncode == 0 and not trial.reason:
                _trial = (True, "")
            else:
                _trial = (False, f"bubblewrap cannot make a sandbox here ({said}); it needs "
                                 "bubblewrap 0.5 or later and namespaces enabled (sysctl "
                                 "kernel.unprivileged_userns_clone=1 for a plain user)")
    return _trial


def _signal_reason(sig, limits):
    name = signal.Signals(sig).name if sig in signal.Signals._value2member_map_ else str(sig)
    known = {signal.SIGXCPU: f"its CPU time limit ({limits.cpu_s} s)",
             signal.SIGXFSZ: f"its file size limit ({limits.file_size // MIB} MiB)"}
    return f"killed by {name}" + (f": {known[sig]}" if sig in known else "")


def run(argv, *, timeout, limits=RUN, **options):
    command = sandboxed(argv, limits=limits, env=options.pop("env", None) or {}, **options)
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    stdout, stderr, reason = watch(process, timeout=timeout, limits=limits)
    status = process.returncode
    # bwrap reports a program ended by a signal as 128 + the signal.
    if not reason and status > 128 and status - 128 in signal.Signals._value2member_map_:
        reason = _signal_reason(status - 128, limits)
    elif not reason and status < 0:
        reason = _signal_reason(-status, limits)
    return Outcome(status, stdout, stderr, reason)
