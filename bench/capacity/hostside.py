"""Host side of the capacity benchmark: the reference host on a loopback UDP
port, with counters read at fixed moments of the sender's schedule.

Prints one JSON line {"port": ...} once listening, then, after the run, one
JSON line of results.  Step s of the sender is due at t0 + (s - 1) * 10 ms; a
datagram arriving more than --late-ms after that is late."""
import argparse
import asyncio
import json
import os
import sys
import time

from vantor.host.app import Host
from vantor.wire import CU_MESSAGE
from vantor.host.settings import default_settings

from kernel import socket_drops, udp_counters

STEP = 0.01
TICK = os.sysconf("SC_CLK_TCK")


def proc_cpu(pid):
    """User + system seconds of a process (all its threads)."""
    try:
        with open(f"/proc/{pid}/stat") as fh:
            fields = fh.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICK


class Lateness:
    """Wraps the host's datagram intake to note each datagram's delay."""

    def __init__(self, host, t0, late_after):
        self.t0, self.late_after = t0, late_after
        self.late_datagrams = self.late_records = 0
        self.max_lag = 0.0
        intake = host.path._datagram_received
        clock = time.monotonic

        def timed(data, addr):
            lag = clock() - (t0 + (int.from_bytes(data[8:12], "little") - 1) * STEP)
            if lag > self.max_lag:
                self.max_lag = lag
            if lag > late_after:
                self.late_datagrams += 1
                self.late_records += len(data) // CU_MESSAGE.size
            intake(data, addr)

        host.path._datagram_received = timed


def counters(host, pids):
    s = host.stats
    cpu = os.times()
    return {"t": time.monotonic(), "datagrams": s.datagrams, "records_in": s.records_in,
            "stream_in": s.stream_in, "errors": s.errors,
            "host_cpu": cpu.user + cpu.system,
            "worker_cpu": sum(proc_cpu(p) for p in pids)}


async def run(args):
    settings = default_settings(args.mcus, args.units, buffSize=args.buff_size)
    host = Host(settings, worker_processes=args.worker_processes, **args.host_options)
    await host.start()
    pids = [p.pid for p in getattr(host.path.workers, "procs", [])]
    port = host.address[1]
    print(json.dumps({"port": port, "worker_pids": pids}), flush=True)
    t0 = float(sys.stdin.readline())
    late = Lateness(host, t0, args.late_ms / 1e3)
    kernel_before = udp_counters()
    drops_before = socket_drops(port)
    loop = asyncio.get_running_loop()
    marks = {}
    for name, at in (("start", args.warmup), ("end", args.warmup + args.measure)):
        await asyncio.sleep(max(0.0, t0 + at - loop.time()))
        marks[name] = counters(host, pids)
    # The sender's last step, then time for the host to work off its backlog.
    await asyncio.sleep(max(0.0, t0 + args.seconds - loop.time()) + args.drain)
    final = counters(host, pids)
    result = {
        "marks": marks, "final": final,
        "kernel": {k: v - kernel_before.get(k, 0) for k, v in udp_counters().items()},
        "socket_drops": socket_drops(port) - drops_before,
        "late_datagrams": late.late_datagrams, "late_records": late.late_records,
        "max_lag_ms": 1e3 * late.max_lag,
        "sync_failed": host.stats.sync_failed, "missing": host.stats.missing,
        "seq_dropped": host.stats.dropped(), "last_error": host.stats.last_error,
        "queue_capacity": 2 * len(settings.devices),
    }
    await host.stop()
    print(json.dumps(result), flush=True)


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--mcus", type=int, required=True)
    p.add_argument("--units", type=int, required=True)
    p.add_argument("--seconds", type=float, required=True, help="how long the sender sends")
    p.add_argument("--warmup", type=float, default=2.0)
    p.add_argument("--measure", type=float, default=10.0)
    p.add_argument("--drain", type=float, default=1.0)
    p.add_argument("--late-ms", type=float, default=50.0)
    p.add_argument("--buff-size", type=int, default=100)
    p.add_argument("--worker-processes", type=int, default=0)
    p.add_argument("--host-option", action="append", default=[], metavar="NAME=VALUE",
                   help="extra keyword for Host(...) (value parsed as JSON)")
    p.add_argument("--cpu", type=int, default=None, help="pin the host process to this CPU")
    args = p.parse_args(argv)
    args.host_options = {}
    for item in args.host_option:
        name, _, value = item.partition("=")
        args.host_options[name] = json.loads(value)
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    asyncio.run(run(args))


if __name__ == "__main__":
    main()
