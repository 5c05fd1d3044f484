"""Cost of the worker's msg_received against the host calls it cannot avoid.

For a steady stream of matching messages (windows of 100 steps, one 32-byte
frame per window on a real inproc ZMQ socket) the worker per message enters and
leaves two locks, cancels its timer handle and schedules a bound handle_timeout
with loop.call_later. The floor runs exactly those host calls in Python, in the
same run, interleaved chunk by chunk with the worker. Both run inside the
event loop, as on the host. Locks: multiprocessing (what the host shares
between processes) and threading, each kind in its own row.

    PYTHONPATH=src .venv/bin/python bench/bench_worker.py
"""
import asyncio
import multiprocessing
import pathlib
import statistics
import sys
import threading
import time

import zmq

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tests.wire import SharedRecord, pack  # noqa: E402
from vantor.cluster.workers.lanecore import SpeedUpProtocol  # noqa: E402

CHUNK = 1000     # messages per timed chunk; the loop purges cancelled handles in between
CHUNKS = 60
TIMEOUT = 10.0
CONFIG = dict(mcuId=1, cuId=2, prescale=2, pgaGain=3, triggerV=0.5, biasI=0.5, resistorCryo=10,
              resistorSeries=5, resistorBias=20)
ECHO = dict(mcuId=1, cuId=2, prescale=2, pgaGain=3, triggerV=0.5, biasV=15.0, counts=7, monitorV=0.25)


class Host(SpeedUpProtocol):
    pass


def drain(sock):
    n = 0
    while sock.poll(0):
        n += len(sock.recv()) == 32
    return n


async def measure(lock_kind, ctx):
    make_lock = multiprocessing.Lock if lock_kind == "multiprocessing" else threading.Lock
    lock, backendlock = make_lock(), make_lock()
    cfg = SharedRecord("cu_config", **CONFIG)
    backend = SharedRecord("C_Backend", buffSize=100, TIMESTAMP=1.0e9)
    url = f"inproc://bench-{lock_kind}"
    rx = ctx.socket(zmq.PAIR)
    rx.bind(url)
    tx = ctx.socket(zmq.PAIR)
    tx.connect(url)
    worker = Host(1, (cfg.address, lock), (backend.address, backendlock), tx, None, TIMEOUT)
    loop = asyncio.get_running_loop()
    messages = [[pack("cu_message", sequence=s, **ECHO)] for s in range(1, CHUNK * CHUNKS + 1)]

    def run_worker(chunk):
        received = worker.msg_received
        t0 = time.perf_counter_ns()
        for m in chunk:
            received(m)
        return time.perf_counter_ns() - t0

    def run_floor():
        timer = worker.timer
        t0 = time.perf_counter_ns()
        for _ in range(CHUNK):
            with backendlock:
                pass
            with lock:
                pass
            timer.cancel()
            timer = loop.call_later(TIMEOUT, worker.handle_timeout)
        elapsed = time.perf_counter_ns() - t0
        worker.timer = timer
        return elapsed

    own, floor, frames = [], [], 0
    for i in range(CHUNKS):
        own.append(run_worker(messages[i * CHUNK:(i + 1) * CHUNK]) / CHUNK)
        floor.append(run_floor() / CHUNK)
        frames += drain(rx)
        await asyncio.sleep(0)  # lets the loop drop the cancelled handles
    worker.timer.cancel()
    tx.close(linger=0)
    rx.close(linger=0)
    return lock_kind, statistics.median(own), statistics.median(floor), min(own), min(floor), frames


async def main():
    ctx = zmq.Context()
    rows = [await measure(kind, ctx) for kind in ("multiprocessing", "threading")]
    ctx.term()
    print(f"{'locks':<16} {'msg_received ns':>16} {'host floor ns':>14} {'ratio':>7} "
          f"{'ratio (best chunk)':>19} {'frames':>7}")
    for kind, own, floor, own_min, floor_min, frames in rows:
        print(f"{kind:<16} {own:>16.0f} {floor:>14.0f} {own / floor:>7.3f} {own_min / floor_min:>19.3f} "
              f"{frames:>7}")
    print(f"(median of {CHUNKS} chunks of {CHUNK} messages; target ratio <= 1.25)")


if __name__ == "__main__":
    asyncio.run(main())
