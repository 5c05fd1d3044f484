"""Files the service writes whole or not at all: written beside their place
and renamed over it, so a SIGKILL at any moment leaves the old file or the
new one, never a part of one."""
import os
import shutil
import tempfile
from pathlib import Path


def _aside(path):
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    return fd, Path(tmp)


def write_text(path, text, *, mode=None, sync=False):
    """`text` into `path`; `mode` is set before any byte is written (0o600:
    readable by its owner only from the start); `sync` waits for the disk."""
    path = Path(path)
    fd, tmp = _aside(path)
    try:
        if mode is not None:
            os.fchmod(fd, mode)
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            fh.write(text)
            if sync:
                fh.flush()
                os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def copy(source, target):
    """A whole copy of `source` at `target` (times and mode kept)."""
    target = Path(target)
    fd, tmp = _aside(target)
    os.close(fd)
    try:
        shutil.copy2(source, tmp)
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
