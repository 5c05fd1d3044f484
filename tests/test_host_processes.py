"""The running system under real signals to real processes: SIGTERM and
Ctrl-C of the operator commands, a worker process killed while data flows,
a host killed with its worker processes running."""
import asyncio
import os
import pathlib
import signal
import subprocess
import sys
import time

import h5py
import pytest

from tests.service_process import vantor_env
from vantor.host.settings import default_settings
from vantor.host.view import render
from vantor.sim import Faults
from vantor.system import System
from tests.wire import stream_rows
from vantor.wire import CU_TIMEOUT

ENV = vantor_env()
SMALL = ["--mcus", "1", "--units", "2"]


def start(args, cwd, sigint=signal.SIG_DFL):
    """`sigint`=SIG_IGN starts it as a shell starts a background job (cmd &)."""
    return subprocess.Popen([sys.executable, "-m", "vantor", *args], cwd=cwd, env=ENV,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, sigint))


def wait_for_line(stream, prefix, limit=200):
    """Reads lines until one starts with `prefix`; returns what was read."""
    seen = []
    for _ in range(limit):
        line = stream.readline()
        if not line:
            break
        seen.append(line)
        if line.startswith(prefix):
            return seen
    raise AssertionError(f"no line starting {prefix!r} in {''.join(seen)!r}")


def children(pid):
    """Process ids whose parent is `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as fh:
                    stat = fh.read()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
                found.append(int(entry))
    return found


def worker_processes(pid):
    out = []
    for child in children(pid):
        try:
            with open(f"/proc/{child}/cmdline", "rb") as fh:
                if b"spawn_main" in fh.read():
                    out.append(child)
        except OSError:
            pass
    return out


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as fh:
            return fh.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def until(predicate, wait=10.0, step=0.05):
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


def h5_facts(path):
    """(points in all data sets, every attribute of the file and its groups)."""
    points, attrs = 0, {}
    with h5py.File(path) as f:
        attrs.update(f.attrs)

        def visit(name, obj):
            nonlocal points
            attrs.update(obj.attrs)
            if isinstance(obj, h5py.Dataset):
                points += obj.size
        f.visititems(visit)
    return points, attrs


def leftovers(pid):
    return [p for folder in ("/dev/shm", "/tmp") for p in pathlib.Path(folder).glob(f"vantor-{pid}-*")]


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_a_recording_stopped_by_a_signal_is_saved_and_says_so(tmp_path, sig):
    out = tmp_path / "rec.h5"
    proc = start(["record", "--no-server", "--seconds", "20", "--out", str(out), "--no-plot", *SMALL], tmp_path)
    try:
        wait_for_line(proc.stderr, "recording [###")     # a tenth of the way: data recorded
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert "interrupted after" in err and "saved what was recorded" in err
    assert "Traceback" not in err
    assert h5_facts(out)[0] > 0
    assert not leftovers(proc.pid)


@pytest.mark.parametrize("sigint", [signal.SIG_DFL, signal.SIG_IGN], ids=["foreground", "background"])
def test_a_sweep_stopped_by_sigterm_ends_like_ctrl_c(tmp_path, sigint):
    proc = start(["iv", "--no-server", "--point-steps", "100", "--out", str(tmp_path / "iv.h5"), "--no-plot",
                  *SMALL], tmp_path, sigint)
    try:
        wait_for_line(proc.stderr, "IV sweep [")
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert "interrupted; the units were asked to end the sweep" in err
    assert "Traceback" not in err and not (tmp_path / "iv.h5").exists()
    assert not leftovers(proc.pid)


def test_a_recording_that_lost_a_worker_process_says_so(tmp_path):
    out = tmp_path / "rec.h5"
    proc = start(["record", "--no-server", "--seconds", "4", "--worker-processes", "2", "--out", str(out),
                  "--no-plot", *SMALL], tmp_path)
    try:
        wait_for_line(proc.stderr, "recording [")
        victims = worker_processes(proc.pid)
        assert len(victims) == 2
        os.kill(victims[0], signal.SIGKILL)
        _, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 1, err
    assert "data lost: a worker process died 1 time(s)" in err
    attrs = h5_facts(out)[1]
    assert int(attrs["worker_deaths"]) == 1 and int(attrs["records_lost"]) > 0
    assert not leftovers(proc.pid)


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGHUP])
def test_worker_processes_end_with_a_killed_host_and_a_later_start_cleans_up(tmp_path, sig):
    proc = start(["run", "--worker-processes", "2", "--seconds", "60", *SMALL], tmp_path)
    try:
        wait_for_line(proc.stdout, "vantor ")            # the first frame of the view
        workers = worker_processes(proc.pid)
        assert len(workers) == 2
        workers = children(proc.pid)        # the resource tracker too
        proc.send_signal(sig)
        proc.wait(10)
    finally:
        proc.kill()
        proc.wait()
    assert until(lambda: not any(alive(w) for w in workers)), "a child outlived the host"
    later = subprocess.run([sys.executable, "-m", "vantor", "run", "--seconds", "0.3",
                            "--no-view", *SMALL], env=ENV, cwd=tmp_path, capture_output=True,
                           text=True, timeout=60)
    assert later.returncode == 0, later.stderr
    assert not leftovers(proc.pid)


class TestWorkerDeath:
    """A worker process killed while the system runs: seen at once, restarted,
    its units publishing and supervised again."""

    def test_detected_restarted_and_supervised_again(self):
        settings = default_settings(1, 4, buffSize=20, timeout=0.3)
        # unit 0.1 (second process: units are dealt round robin) goes quiet at 4 s
        faults = Faults(silence={(0, 1): (401, None)})

        async def scenario():
            async with System(settings, worker_processes=2, faults=faults) as system:
                host = system.host
                await system.wait_for_traffic()
                events = host.subscribe({"event", "windows"}, maxsize=0)
                victim = host._path.workers.procs[1]
                killed = time.monotonic()
                os.kill(victim.pid, signal.SIGKILL)
                seen, died_after, windows_after, silenced = [], None, set(), False
                deadline = time.monotonic() + 15
                while time.monotonic() < deadline and not (silenced and windows_after >= {2, 4}):
                    try:
                        kind, payload = await asyncio.wait_for(events.get(), 1.0)
                    except asyncio.TimeoutError:
                        continue
                    if kind == "event" and payload["kind"] == "worker":
                        seen.append(payload["state"])
                        if payload["state"] == "died":
                            died_after = time.monotonic() - killed
                    elif kind == "windows" and "restarted" in seen:
                        for rec in stream_rows([(kind, payload)]):
                            if rec["cuStatus"] == 0:
                                windows_after.add(rec["rank"])
                            if rec["cuStatus"] == CU_TIMEOUT and rec["rank"] == 2:
                                silenced = True
                snap = host.snapshot()
                return seen, died_after, windows_after, silenced, snap["workers"], render(snap)

        seen, died_after, windows_after, silenced, state, view = asyncio.run(scenario())
        assert seen[:3] == ["died", "restarting", "restarted"]
        assert died_after is not None and died_after < 1.0
        assert windows_after >= {2, 4}, "units of the restarted process publish again"
        assert silenced, "silence supervision of the restarted process's units resumed"
        assert state["alive"] == [True, True] and state["deaths"] == 1 and state["lost"] > 0
        assert "worker processes 2 of 2 running   deaths 1" in view
