"""Load generator for the capacity benchmark: the read-out electronics of
`mcus` x `units` channel units, one datagram per microcontroller every 10 ms
and a status record per microcontroller every second, sent over UDP.

The records come from the simulator (real counts, echoes that match each
unit's configuration), generated once for a pool of steps and then replayed
with fresh sequence numbers: the simulator's own per-record Python work would
cap the offered rate far below what the host is asked to take.

    python bench/capacity/sender.py --target 127.0.0.1:PORT --mcus 64 --units 32 \
        --seconds 12 [--snapshots 2,12]

Prints "ready" once its records are built, then reads t0 (a time.monotonic()
value) from standard input.  Step s (from 1) is due at t0 + (s - 1) * 10 ms;
a late step is sent at once (no step is skipped).  Prints one JSON line when
done."""
import argparse
import array
import json
import os
import socket
import sys
import time

from vantor.wire import CU_MESSAGE, MCU_MESSAGE
from vantor.host.settings import default_settings
from vantor.sim import Simulator

STEP = 0.01
POOL = 20            # distinct steps of simulated content, replayed in turn
STATUS_EVERY = 100   # steps
SEQ_WORD = 8 // 4    # the uint32 index of `sequence` within a record
RECORD_WORDS = CU_MESSAGE.size // 4


def build_pool(mcus, units, steps=POOL):
    """[step][mcu] -> bytearray of the mcu's datagram (sequence patched later)."""
    sim = Simulator(default_settings(mcus, units), None, seed=7)
    pool = []
    for _ in range(steps):
        out = []
        sim._send = lambda mcu, data: out.append(bytearray(data)) if len(data) != MCU_MESSAGE.size else None
        sim.step()
        pool.append(out)
    return pool


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--target", required=True)
    p.add_argument("--mcus", type=int, required=True)
    p.add_argument("--units", type=int, required=True)
    p.add_argument("--seconds", type=float, required=True)
    p.add_argument("--snapshots", default="", help="seconds after t0 at which to note the count sent")
    p.add_argument("--cpu", type=int, default=None, help="pin to this CPU")
    args = p.parse_args(argv)
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    host, _, port = args.target.rpartition(":")
    target = (host, int(port))
    pool = build_pool(args.mcus, args.units)
    views = [[memoryview(d).cast("I") for d in step] for step in pool]
    socks = []
    for _ in range(args.mcus):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        s.bind(("127.0.0.1", 0))
        socks.append(s)
    status = [MCU_MESSAGE.pack(m, 0, 0, 1, 35.0, 4.2) for m in range(args.mcus)]
    marks = sorted(float(x) for x in args.snapshots.split(",") if x)
    noted = {}
    steps = int(round(args.seconds / STEP))
    datagrams = records = errors = 0
    lags = []
    print("ready", flush=True)
    t0 = float(sys.stdin.readline())
    now = time.monotonic()
    if now < t0:
        time.sleep(t0 - now)
    for seq in range(1, steps + 1):
        due = t0 + (seq - 1) * STEP
        now = time.monotonic()
        if now < due:
            time.sleep(due - now)
            now = time.monotonic()
        lags.append(now - due)
        while marks and seq - 1 >= marks[0] / STEP:
            noted[str(marks.pop(0))] = {"records": records, "datagrams": datagrams}
        index = seq % POOL
        for sock, data, view in zip(socks, pool[index], views[index]):
            n = len(view) // RECORD_WORDS
            view[SEQ_WORD::RECORD_WORDS] = array.array("I", [seq]) * n
            try:
                sock.sendto(data, target)
                datagrams += 1
                records += n
            except OSError:
                errors += 1
        if seq % STATUS_EVERY == 0:
            for sock, rec in zip(socks, status):
                try:
                    sock.sendto(rec, target)
                except OSError:
                    errors += 1
    for mark in marks:
        noted[str(mark)] = {"records": records, "datagrams": datagrams}
    lags.sort()
    cpu = os.times()
    print(json.dumps({
        "steps": steps, "datagrams": datagrams, "records": records, "send_errors": errors,
        "lag_p99_ms": 1e3 * lags[int(0.99 * (len(lags) - 1))], "lag_max_ms": 1e3 * lags[-1],
        "cpu_s": cpu.user + cpu.system, "snapshots": noted}), flush=True)
    for s in socks:
        s.close()


if __name__ == "__main__":
    main()
