"""The locks of the shared records, in the shared block itself: they exclude
real processes, a lock whose owner was killed is taken over and counted, and
one held by a stopped process raises instead of hanging its caller."""
import multiprocessing
import os
import signal
import struct
import time

import pytest

from vantor.host.road import ShmLock
from vantor.host.shared import SharedBlock

COUNTER = 0          # the first 8 bytes of the first config slot serve as a counter here


def _add(name, count, rounds, ready):
    """In a process of its own: read, wait a moment, write back, `rounds` times
    under the unit's lock: without exclusion, the processes on the other core
    overwrite each other's increments."""
    block = SharedBlock(count, name=name, create=False)
    lock = block.config_locks[0]
    ready.wait()
    for _ in range(rounds):
        with lock:
            value = struct.unpack_from("<Q", block.shm.buf, COUNTER)[0]
            for _ in range(20):
                pass
            struct.pack_into("<Q", block.shm.buf, COUNTER, value + 1)
    block.close()


def _hold(name, count, taken, stop_self):
    block = SharedBlock(count, name=name, create=False)
    block.config_locks[0].acquire()
    taken.set()
    if stop_self:
        os.kill(os.getpid(), signal.SIGSTOP)
    time.sleep(60)


@pytest.fixture
def block():
    b = SharedBlock(2)
    yield b
    b.close()


def spawn(target, *args):
    proc = multiprocessing.get_context("spawn").Process(target=target, args=args, daemon=True)
    proc.start()
    return proc


def test_the_lock_excludes_other_processes(block):
    ctx = multiprocessing.get_context("spawn")
    ready = ctx.Event()
    procs = [spawn(_add, block.name, 2, 30000, ready) for _ in range(3)]
    ready.set()
    for proc in procs:
        proc.join(60)
        assert proc.exitcode == 0
    # (the same processes without the lock lose a quarter to three quarters of them)
    assert struct.unpack_from("<Q", block.shm.buf, COUNTER)[0] == 90000


def test_a_lock_held_by_a_killed_process_is_taken_over_and_counted(block):
    taken = multiprocessing.get_context("spawn").Event()
    proc = spawn(_hold, block.name, 2, taken, False)
    assert taken.wait(30)
    lock = block.config_locks[0]
    assert lock.owner == proc.pid
    os.kill(proc.pid, signal.SIGKILL)
    proc.join(10)
    started = time.monotonic()
    with lock:
        assert lock.owner == os.getpid()
    assert time.monotonic() - started < 1.0
    assert lock.owner == 0 and lock.owner_deaths == 1 and block.lock_owner_deaths() == 1
    with lock:                                   # consistent again: a plain lock from now on
        pass
    assert block.lock_owner_deaths() == 1


def test_a_lock_held_by_a_stopped_process_raises_naming_it(block):
    taken = multiprocessing.get_context("spawn").Event()
    proc = spawn(_hold, block.name, 2, taken, True)
    try:
        assert taken.wait(30)
        lock = ShmLock(block.base + 64 * 3, "unit 1", 0.2)      # the first unit's lock slot
        started = time.monotonic()
        with pytest.raises(TimeoutError, match=rf"lock of unit 1 was not free within 0.2 s "
                                               rf"\(held by process {proc.pid}\)"):
            lock.__enter__()
        assert 0.15 < time.monotonic() - started < 2.0
    finally:
        os.kill(proc.pid, signal.SIGKILL)
        proc.join(10)
    with block.config_locks[0]:                 # its death frees it
        pass


@pytest.mark.parametrize("address", [0, 1, 63])
def test_a_lock_needs_an_aligned_address(address):
    with pytest.raises(ValueError, match="lock address is null"):
        ShmLock(address, "x")
