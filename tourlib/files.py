"""Files that matter are written whole: to a temporary name beside them, then renamed, so
that an interrupted run leaves the old file or the new one, never half of one."""
import errno
import os
import stat
import tempfile

from .term import Failure


def umask():
    """The process's umask, read without changing it (/proc), or set back at once."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def write_whole(path, text):
    """`path` written whole, with the mode any tool gives a new file (0666 less the
    umask), so that a folder a team shares is shared: the temporary file's own mode,
    0600, is not kept."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
        try:
            # Any text is written: a character that is not UTF-8 (a name's odd byte) is
            # written out as an escape rather than lose the file.
            with os.fdopen(fd, "w", encoding="utf-8", errors="backslashreplace") as f:
                f.write(text)
                os.fchmod(f.fileno(), 0o666 & ~umask())
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror}", 3) from e


class TooLarge(Failure):
    """A file larger than its reader takes."""


# Far more than any student's version of a lesson (the longest lesson is 2 KB), far
# less than what would make the check's own reading of it slow.
SOURCE_CAP = 256 * 1024


def read_regular(path, cap=SOURCE_CAP, follow_links=True, in_folder=False):
    """The bytes of `path`, read once through one descriptor, so that what is judged is
    what was checked: a regular file (not a folder, a FIFO or a device, which could block
    or never end), at most `cap` bytes, and, unless `follow_links`, not a symbolic link;
    with `in_folder`, its folder is not one either (a student's folder swapped for a
    link while it is graded). Anything else is a Failure of one line."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    if not follow_links:
        flags |= os.O_NOFOLLOW
    try:
        if in_folder:
            folder = os.open(os.path.dirname(path) or ".", os.O_RDONLY | os.O_DIRECTORY
                             | os.O_NOFOLLOW | os.O_CLOEXEC)
            try:
                fd = os.open(os.path.basename(path), flags, dir_fd=folder)
            finally:
                os.close(folder)
        else:
            fd = os.open(path, flags)
    except OSError as e:
        if e.errno in (errno.ELOOP, errno.ENOTDIR) and not follow_links:
            raise Failure(f"{path} is a link, or in one: hand in the file itself") from e
        raise Failure(f"cannot read {path}: {e.strerror}") from e
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise Failure(f"{path} is not a regular file")
    with os.fdopen(fd, "rb") as f:
        data = f.read(cap + 1)
    if len(data) > cap:
        raise TooLarge(f"{path} is larger than {cap // 1024} KiB")
    return data
