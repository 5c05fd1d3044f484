"""Worker processes end with a killed host; a later start removes what a
killed host left."""
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

from vantor.host import lifeline

HOST = textwrap.dedent("""
    import multiprocessing, os, sys, time
    from vantor.host.lifeline import die_with_parent

    def child(parent):
        die_with_parent(parent)
        print("armed", flush=True)
        time.sleep(60)

    if __name__ == "__main__":
        p = multiprocessing.get_context("spawn").Process(target=child, args=(os.getpid(),))
        p.start()
        print(p.pid, flush=True)
        time.sleep(60)
""")


def gone(pid, wait=5.0):
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        try:       # a zombie of ours counts as gone
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                return True
        except ChildProcessError:
            pass
        with open(f"/proc/{pid}/stat") as fh:
            if fh.read().split(") ")[-1].startswith("Z"):
                return True
        time.sleep(0.02)
    return False


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGHUP])
def test_a_child_ends_when_its_host_is_killed(tmp_path, sig):
    script = tmp_path / "host.py"
    script.write_text(HOST)
    host = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        child = int(host.stdout.readline())
        assert host.stdout.readline().strip() == "armed"
        host.send_signal(sig)
        host.wait(10)
        assert gone(child), "worker process outlived its host"
    finally:
        host.kill()
        host.wait()


def dead_pid():
    proc = subprocess.Popen([sys.executable, "-c", "pass"])
    proc.wait()
    return proc.pid


def test_leftovers_of_dead_hosts_are_removed_and_live_ones_kept():
    dead = dead_pid()
    shm_dead = f"/dev/shm/vantor-{dead}-abc123"
    shm_live = f"/dev/shm/vantor-{os.getpid()}-abc123"
    other = "/dev/shm/vantor-notapid-abc"
    folder_dead = tempfile.mkdtemp(prefix=f"vantor-{dead}-")
    os.mkfifo(os.path.join(folder_dead, "stream"))
    try:
        for path in (shm_dead, shm_live, other):
            open(path, "wb").close()
        removed = lifeline.clean_leftovers()
        assert shm_dead in removed and folder_dead in removed
        assert not os.path.exists(shm_dead) and not os.path.exists(folder_dead)
        assert os.path.exists(shm_live) and os.path.exists(other)
    finally:
        for path in (shm_dead, shm_live, other):
            if os.path.exists(path):
                os.unlink(path)
