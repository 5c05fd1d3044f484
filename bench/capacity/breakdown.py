"""Per-record cost of the host's road, stage by stage.

The same replayed datagrams go through the reference host in this process,
cut off at successive points (each later point keeps every earlier stage),
inside the running event loop with the loop turning once per step as on the
live host; the difference between two cuts is the cost of the stage between
them.  UDP receive is timed on a real loopback socket through the loop's
datagram transport, and the worker's host calls (locks, re-arming the silence
deadline) are timed on their own, so the worker's native remainder can be
told apart; beside them, what an event-loop timer per message would cost.

    PYTHONPATH=src .venv/bin/python bench/capacity/breakdown.py [--mcus 64 --units 32]
"""
import argparse
import asyncio
import gc
import json
import socket
import time

import zmq

from vantor.host.app import Host
from vantor.host.udp import UdpEndpoint

from vantor.host.settings import default_settings

from sender import build_pool, RECORD_WORDS, SEQ_WORD
import array

CUTS = [
    ("intake", "UDP endpoint hand-off, sequence bookkeeping (per datagram)"),
    ("broker", "broker: queue, cut, cycle check, a trivial on_sync_success"),
    ("routing", "host routing: on_sync_success, worker look-up, [chunk]"),
    ("worker", "worker msg_received incl. locks, silence deadline, stream send"),
    ("hub", "stream pump: ZMQ receive, stats, hub msg_received (per frame)"),
]


def datagrams_for(pool, steps):
    out = []
    for seq in range(1, steps + 1):
        step = []
        for data in pool[seq % len(pool)]:
            buf = bytearray(data)
            view = memoryview(buf).cast("I")
            view[SEQ_WORD::RECORD_WORDS] = array.array("I", [seq]) * (len(view) // RECORD_WORDS)
            step.append(bytes(buf))
        out.append(step)
    return out


async def through(settings, steps_data, cut, **host_options):
    """Seconds for every datagram through the host up to `cut`."""
    host = await Host(settings, **host_options).start()
    stages = [name for name, _ in CUTS]
    keep = stages[:stages.index(cut) + 1]
    try:
        if "broker" not in keep:
            host._path.broker.msg_received = lambda data, addr: None
        elif "routing" not in keep:
            host._path.broker.on_sync_success = lambda chunk: None   # a trivial hook
        elif "worker" not in keep:
            class Trivial:                    # a worker that does nothing with its record
                def msg_received(self, msg):
                    pass
            host._path.router.route([Trivial()] * len(host.units))
        if "hub" not in keep:
            # Frames stay queued in the stream socket, unread.
            pump = host._path._tasks[0]
            pump.cancel()
            try:
                await pump
            except asyncio.CancelledError:
                pass
        endpoint = host._path.endpoint
        addr = ("127.0.0.1", 9)
        records = sum(len(d) for step in steps_data for d in step) // 60
        gc.collect()
        start = time.perf_counter()
        for step in steps_data:
            for data in step:
                endpoint.datagram_received(data, addr)
            await asyncio.sleep(0)
        # Stream frames still queued belong to this cut.
        while "hub" in keep and host._path.stream_in.getsockopt(zmq.EVENTS) & zmq.POLLIN:
            await asyncio.sleep(0)
        elapsed = time.perf_counter() - start
        frames = host._stats.stream_in
        if host._stats.errors:
            raise RuntimeError(f"host errors: {host._stats.last_error}")
    finally:
        await host.stop()
    return elapsed, records, frames


async def udp_receive(datagram, count, batched, rounds=20):
    """Seconds per datagram from a loopback socket to the protocol: through
    the loop's datagram transport, or (batched) the host's endpoint."""
    loop = asyncio.get_running_loop()
    done = asyncio.Event()

    class Counter(asyncio.DatagramProtocol):
        n = 0

        def datagram_received(self, data, addr):
            self.n += 1
            if self.n == count:
                done.set()

    proto = Counter()
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    best = float("inf")
    for _ in range(rounds):
        proto.n = 0
        done.clear()
        if batched:
            transport = UdpEndpoint(loop, ("127.0.0.1", 0), proto)
        else:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
            sock.bind(("127.0.0.1", 0))
            transport, _ = await loop.create_datagram_endpoint(lambda: proto, sock=sock)
        target = transport.get_extra_info("sockname")
        for _ in range(count):     # queued in the kernel before the loop reads any
            tx.sendto(datagram, target)
        start = time.perf_counter()
        await asyncio.wait_for(done.wait(), 10)
        best = min(best, time.perf_counter() - start)
        transport.close()
        await asyncio.sleep(0)
    tx.close()
    return best / count


def shm_lock_pair():
    """Two of the host's own locks (in a shared block of their own)."""
    from vantor.host.shared import SharedBlock
    block = SharedBlock(1)
    return block, block.config_locks[0], block.backend_lock


async def host_calls(n=100000):
    """Seconds per message for the worker's host calls: two lock round trips
    (the host's locks in the shared block, and multiprocessing locks as they
    were), and reset_timer (the host's native deadline slot, and a deadline
    set in Python as it was); beside them, the cost of re-arming through the
    event loop (get_event_loop, cancel, call_later) with one pending call per
    unit, as a loop timer per message would have."""
    import multiprocessing
    from vantor.host.road import Deadlines
    loop = asyncio.get_running_loop()
    block, a, b = shm_lock_pair()
    old_a, old_b = multiprocessing.Lock(), multiprocessing.Lock()

    def locks(x, y):
        start = time.perf_counter()
        for i in range(n):
            x.__enter__()
            x.__exit__(None, None, None)
            y.__enter__()
            y.__exit__(None, None, None)
        return (time.perf_counter() - start) / n

    class W:
        deadline = 0.0

        def handle_timeout(self):
            pass

        def python_reset_timer(self, timeout_time=0.1):
            self.deadline = time.monotonic() + timeout_time

    def rearm(call):
        start = time.perf_counter()
        for i in range(n):
            call(0.1)
        return (time.perf_counter() - start) / n

    shm, mp = locks(a, b), locks(old_a, old_b)
    del a, b
    block.close()
    w = W()
    slot, python = rearm(Deadlines(1).slot(0)), rearm(w.python_reset_timer)

    units = [W() for _ in range(2048)]
    handles = [loop.call_later(100, u.handle_timeout) for u in units]
    start = time.perf_counter()
    for i in range(n):
        k = i % len(units)
        asyncio.get_event_loop()
        handles[k].cancel()
        handles[k] = loop.call_later(100, units[k].handle_timeout)
        if k == 0:
            await asyncio.sleep(0)
    timer = time.perf_counter() - start
    for handle in handles:
        handle.cancel()
    return shm, mp, slot, python, timer / n


async def main(args):
    settings = default_settings(args.mcus, args.units, buffSize=args.buff_size)
    host_options = {}
    for item in args.host_option:
        key, _, value = item.partition("=")
        host_options[key] = json.loads(value)
    pool = build_pool(args.mcus, args.units)
    steps_data = datagrams_for(pool, args.steps)
    per_datagram = args.units
    print(f"{args.mcus} x {args.units} units, {args.steps} steps, "
          f"{args.steps * args.mcus * args.units} records per cut, best of {args.repeat}")
    best = {}
    for _ in range(args.repeat):      # cuts interleaved, so a busy moment spreads over all
        for name, _ in CUTS:
            elapsed, records, frames = await through(settings, steps_data, name, **host_options)
            best[name] = min(best.get(name, elapsed), elapsed)
    totals = {name: t / records for name, t in best.items()}
    print(f"{frames} stream frames reached the hub ({records / max(frames, 1):.0f} records per frame)")
    stock = await udp_receive(steps_data[0][0], 500, False) / per_datagram
    udp = await udp_receive(steps_data[0][0], 500, True) / per_datagram
    locks, mp_locks, rearm, python_rearm, timer = await host_calls()
    print(f"{'stage':<10} {'ns/record':>10}  what")
    print(f"{'(instead)':<10} {1e9 * stock:>10.0f}  UDP receive through the loop's datagram "
          f"transport (per datagram / {per_datagram})")
    print(f"{'udp':<10} {1e9 * udp:>10.0f}  UDP receive, the host's batched endpoint")
    prev = 0.0
    for name, what in CUTS:
        print(f"{name:<10} {1e9 * (totals[name] - prev):>10.0f}  {what}")
        prev = totals[name]
    print(f"{'  of which':<10} {1e9 * locks:>10.0f}  worker: two lock round trips (locks in the shared block)")
    print(f"{'(instead)':<10} {1e9 * mp_locks:>10.0f}  two multiprocessing lock round trips")
    print(f"{'  of which':<10} {1e9 * rearm:>10.0f}  worker: reset_timer (the native deadline slot)")
    print(f"{'(instead)':<10} {1e9 * python_rearm:>10.0f}  a deadline set in Python")
    print(f"{'(instead)':<10} {1e9 * timer:>10.0f}  an event-loop timer per message: get_event_loop "
          f"+ cancel + call_later, 2048 units")
    print(f"{'total':<10} {1e9 * (totals[CUTS[-1][0]] + udp):>10.0f}")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--mcus", type=int, default=64)
    p.add_argument("--units", type=int, default=32)
    p.add_argument("--steps", type=int, default=100)
    p.add_argument("--buff-size", type=int, default=100)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--host-option", action="append", default=[], metavar="NAME=JSON")
    args = p.parse_args()
    asyncio.run(main(args))
