"""Files that matter are written whole: to a temporary name beside them, then renamed, so
that an interrupted run leaves the old file or the new one, never half of one."""
import os
import tempfile

from .term import Failure


def write_whole(path, text):
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
        try:
            with os.fdopen(fd, "w") as f:
                f.write(text)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror}", 3) from e
