"""Worker processes that end with their host, and a host start that clears
what a killed host left behind.

A host killed with SIGKILL runs no clean-up: its worker processes would
live on (holding the shared memory and the resource tracker's pipe open),
and the shared-memory block and the ipc socket folder would stay.  So each
worker process asks the kernel for a signal when its parent dies, and the
host names what it creates after its process id ("vantor-PID-..."), which
lets a later start find and remove the leftovers of hosts no longer alive."""
import ctypes
import ctypes.util
import os
import re
import secrets
import shutil
import signal
import tempfile

PREFIX = "vantor-"
PR_SET_PDEATHSIG = 1
SHM_FOLDER = "/dev/shm"
_OWNED = re.compile(rf"^{PREFIX}(\d+)-[A-Za-z0-9_]+$")


def die_with_parent(parent_pid, sig=signal.SIGKILL):
    """Have the kernel send `sig` to this process when its parent ends.
    False where the system has no such request (the host's clean stop
    still ends the process).  `parent_pid` closes the race of a parent
    that died before the request was made."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None, use_errno=True)
        ok = libc.prctl(PR_SET_PDEATHSIG, int(sig), 0, 0, 0) == 0
    except (OSError, AttributeError):
        ok = False
    if os.getppid() != parent_pid:
        os._exit(1)        # the host is already gone
    return ok


def owned_name(kind=""):
    """A fresh name of this process's: 'vantor-PID-<kind><random>'."""
    return f"{PREFIX}{os.getpid()}-{kind}{secrets.token_hex(4)}"


def ipc_folder():
    """A folder only this user may enter, for the ipc sockets, named after this process."""
    return tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-")


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True        # another user's process of that number
    return True


def _leftovers(folder):
    """Entries of `folder` named by a vantor process that no longer runs and
    owned by this user."""
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    found = []
    for name in names:
        match = _OWNED.match(name)
        if match is None or _alive(int(match.group(1))):
            continue
        path = os.path.join(folder, name)
        try:
            if os.lstat(path).st_uid != os.getuid():
                continue
        except OSError:
            continue
        found.append(path)
    return found


def clean_leftovers():
    """Removes the shared-memory blocks and ipc folders of dead hosts;
    returns the paths removed."""
    removed = []
    for path in _leftovers(SHM_FOLDER):
        try:
            os.unlink(path)
            removed.append(path)
        except OSError:
            pass
    for path in _leftovers(tempfile.gettempdir()):
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
            removed.append(path)
    return removed
