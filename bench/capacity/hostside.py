"""Host side of the capacity benchmark: the reference host on a loopback UDP
port, with counters read at fixed moments of the sender's schedule.

Prints one JSON line {"port": ...} once listening, then, after the run, one
JSON line of results.  Step s of the sender is due at t0 + (s - 1) * 10 ms; a
datagram arriving more than --late-ms after that is late.

With --service the host runs inside the service, as `vantor serve` runs it:
the aiohttp application on the host's loop, listening on 127.0.0.1 (its URL
goes out with the port).  The host then also notes when each window-closing
datagram arrives and when the hub hands out each timestamp's batch, so that
the live clients' records can be traced back to the datagram behind them."""
import argparse
import asyncio
import gc
import json
import logging
import os
import sys
import tempfile
import time

from vantor.host.app import Host
from vantor.wire import CU_MESSAGE, STREAM_DATA, STREAM_FIELDS
from vantor.host.settings import default_settings
from vantor.service.keys import JOBS, PROBLEMS

from kernel import socket_drops, udp_counters

STEP = 0.01
TICK = os.sysconf("SC_CLK_TCK")
_TIMESTAMP = STREAM_FIELDS.index("timestamp")


def proc_cpu(pid):
    """User + system seconds of a process (all its threads)."""
    try:
        with open(f"/proc/{pid}/stat") as fh:
            fields = fh.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICK


class Lateness:
    """Wraps the host's datagram intake to note each datagram's delay.  With
    `closing_every` (the window length in steps) it also notes when the
    datagram of each board that closes a window (sequence a multiple of it)
    arrived: {"mcu:sequence": monotonic seconds}."""

    def __init__(self, host, t0, late_after, closing_every=None):
        self.t0, self.late_after = t0, late_after
        self.late_datagrams = self.late_records = 0
        self.max_lag = 0.0
        self.late_by_second = {}          # second since t0 -> late records in it
        self.arrivals = {}
        # The UDP endpoint holds the intake it was started with: wrap that one.
        endpoint = host._path.endpoint
        intake = endpoint.on_records
        clock = time.monotonic
        arrivals = self.arrivals

        def timed(data, addr):
            now = clock()
            sequence = int.from_bytes(data[8:12], "little")
            if closing_every and sequence % closing_every == 0:
                arrivals[f"{data[0]}:{sequence}"] = now
            lag = now - (t0 + (sequence - 1) * STEP)
            if lag > self.max_lag:
                self.max_lag = lag
            if lag > late_after:
                self.late_datagrams += 1
                self.late_records += len(data) // CU_MESSAGE.size
                second = int(now - t0)
                self.late_by_second[second] = self.late_by_second.get(second, 0) + len(data) // CU_MESSAGE.size
            intake(data, addr)

        endpoint.on_records = timed


class GcPauses:
    """How long the garbage collector held the loop, per generation: its
    full collections grow with every object the process holds."""

    def __init__(self):
        self.started = None
        self.pauses = {0: [], 1: [], 2: []}
        gc.callbacks.append(self)

    def __call__(self, phase, info):
        if phase == "start":
            self.started = time.perf_counter()
        elif self.started is not None:
            self.pauses[info["generation"]].append(time.perf_counter() - self.started)
            self.started = None

    def report(self):
        gc.callbacks.remove(self)
        return {f"gen{g}": {"count": len(p), "max_ms": 1e3 * max(p, default=0.0),
                            "total_ms": 1e3 * sum(p)} for g, p in self.pauses.items()}


def note_batches(host):
    """{timestamp: monotonic seconds} at which the read model first took
    records of each window time (from the stream pump, as the workers
    publish them)."""
    handed_out = {}
    model = host._model        # the hub hands its batches to the read model
    stream = model.stream
    clock = time.monotonic

    def noted(data):
        now = clock()
        for values in STREAM_DATA.iter_unpack(data[:len(data) // 32 * 32]):
            handed_out.setdefault(values[_TIMESTAMP], now)
        stream(data)

    model.stream = noted
    return handed_out


class Served:
    """What the service's application needs of a System: the host and its settings."""

    def __init__(self, host):
        self.host, self.settings = host, host.settings


async def start_service(host, data_dir, epics_prefix=None, bus=None):
    """The service around `host`; with `bus` (a NATS URL) it is also a node
    of a site, publishing everything there as `vantor serve --node` does."""
    from aiohttp import web
    from vantor.epics.options import EpicsOptions
    from vantor.service.app import ROUTE_GROUPS, build_app

    node = None
    if bus is not None:
        from vantor.site.node import NodeLink
        from vantor.site.options import BusOptions
        node = NodeLink(BusOptions(url=bus, node="capacity"))
        await node.open()
    app = build_app(Served(host), data_dir=data_dir, epics=EpicsOptions(prefix=epics_prefix),
                    node=node)
    app["capacity_node"] = node
    runner = web.AppRunner(app, access_log=None, handle_signals=False)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    address = runner.addresses[0]
    modules = [m.__name__.rsplit(".", 1)[1] for m in ROUTE_GROUPS]
    return app, runner, f"http://127.0.0.1:{address[1]}", modules


def jobs_report(app):
    """The acquisition jobs' state and how many points each recorded."""
    out = []
    for job in app[JOBS].jobs.values():
        points = sum(len(ch) for ch in job.run.channels) if job.run is not None else None
        out.append({"id": job.id, "kind": job.kind, "state": job.state, "units": len(job.units),
                    "message": job.message, "error": job.error, "points": points,
                    "started": job.started, "finished": job.finished})
    return out


def counters(host, pids):
    s = host._stats
    cpu = os.times()
    return {"t": time.monotonic(), "datagrams": s.datagrams, "records_in": s.records_in,
            "stream_in": s.stream_in, "errors": s.errors,
            "host_cpu": cpu.user + cpu.system,
            "worker_cpu": sum(proc_cpu(p) for p in pids)}


def note_slow_callbacks(limit):
    """Every callback that holds the loop longer than `limit` seconds, on
    standard error (asyncio's own debug mode slows every callback down and
    so hides what it looks for)."""
    original = asyncio.events.Handle._run

    def timed(handle):
        started, cpu = time.perf_counter(), time.thread_time()
        original(handle)
        took = time.perf_counter() - started
        if took > limit:
            owner = getattr(handle._callback, "__self__", None)
            what = owner.get_coro() if isinstance(owner, asyncio.Task) else handle._callback
            # the CPU share tells our own work from the machine taking the core away
            print(f"callback held the loop {1e3 * took:.1f} ms "
                  f"({1e3 * (time.thread_time() - cpu):.1f} ms CPU): {what!r}"[:300],
                  file=sys.stderr, flush=True)

    asyncio.events.Handle._run = timed


async def run(args):
    if args.slow_callback_ms:
        note_slow_callbacks(args.slow_callback_ms / 1e3)
    settings = default_settings(args.mcus, args.units, buffSize=args.buff_size)
    host = Host(settings, worker_processes=args.worker_processes, **args.host_options)
    await host.start()
    pids = [p.pid for p in getattr(host._path.workers, "procs", [])]
    port = host.address[1]
    hello = {"port": port, "worker_pids": pids}
    app = runner = batches = None
    if args.service:
        # Units fall silent once the sender stops: their alarms are expected here.
        logging.getLogger("vantor").setLevel(logging.ERROR)
        data_dir = tempfile.TemporaryDirectory(prefix="vantor-capacity-")
        started = time.monotonic()
        app, runner, hello["http"], hello["route_modules"] = await start_service(
            host, data_dir.name, args.epics, args.bus)
        hello["service_start_s"] = time.monotonic() - started
        batches = note_batches(host)
    print(json.dumps(hello), flush=True)
    t0 = float(await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline))
    late = Lateness(host, t0, args.late_ms / 1e3,
                    closing_every=args.buff_size if args.service else None)
    pauses = GcPauses()
    kernel_before = udp_counters()
    drops_before = socket_drops(port)
    loop = asyncio.get_running_loop()
    marks = {}
    for name, at in (("start", args.warmup), ("end", args.warmup + args.measure)):
        await asyncio.sleep(max(0.0, t0 + at - loop.time()))
        marks[name] = counters(host, pids)
    # Items the live clients' subscriptions had to drop (full queues), while they are open.
    skipped = [sub.skipped for sub in host._model.bus._subs if "windows" in sub.kinds]
    # The sender's last step, then time for the host to work off its backlog.
    await asyncio.sleep(max(0.0, t0 + args.seconds - loop.time()) + args.drain)
    final = counters(host, pids)
    result = {
        "marks": marks, "final": final,
        "kernel": {k: v - kernel_before.get(k, 0) for k, v in udp_counters().items()},
        "socket_drops": socket_drops(port) - drops_before,
        "late_datagrams": late.late_datagrams, "late_records": late.late_records,
        "max_lag_ms": 1e3 * late.max_lag, "late_by_second": late.late_by_second,
        "sync_failed": host._stats.sync_failed, "missing": host._stats.missing,
        "seq_dropped": host._stats.dropped(), "last_error": host._stats.last_error,
        "queue_capacity": 2 * len(settings.devices),
        "gc": pauses.report(),
    }
    if args.service:
        # The acquisition ends just after the sender; give it time to build its result.
        deadline = loop.time() + 15.0
        while any(job.state in ("queued", "running") for job in app[JOBS].jobs.values()) \
                and loop.time() < deadline:
            await asyncio.sleep(0.1)
        result.update({
            "arrivals": late.arrivals, "batches": {repr(k): v for k, v in batches.items()},
            "resyncs": host._path.timebase.resyncs if host._path.timebase is not None else None,
            "jobs": jobs_report(app), "live_skipped": skipped,
            "problems": list(app[PROBLEMS]),
        })
        node = app["capacity_node"]
        if node is not None:
            # what the node made last (the units' silence after the sender) still on its way
            deadline = loop.time() + 10.0
            while len(node.outbox) and loop.time() < deadline:
                await asyncio.sleep(0.1)
            result["bus"] = {**node.published, "dropped": node.dropped,
                             "buffered": len(node.outbox),
                             "skipped": node.lost_in_subscription}
        await runner.cleanup()
        if node is not None:
            await node.close()
        data_dir.cleanup()
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
    p.add_argument("--slow-callback-ms", type=float, default=0,
                   help="log each callback that holds the event loop longer (debug mode)")
    p.add_argument("--service", action="store_true",
                   help="run the host inside the service (HTTP API and live stream)")
    p.add_argument("--bus", metavar="URL", default=None,
                   help="with --service: the service is also a node publishing on this NATS bus")
    p.add_argument("--epics", metavar="PREFIX", default=None,
                   help="with --service: serve the EPICS records too (ports from EPICS_* "
                        "variables)")
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
