"""`make bench-site`: simulated nodes publishing into one `vantor site` with a
PostgreSQL archive, on loopback, and what the site makes of them.

Each node is a process of its own publishing, every window period, one batch
of its units' windows into the JetStream stream, as `vantor serve --node`
does (4 nodes x 1024 units, buffSize 10: 40,960 windows/s by default).
Measured: windows lost end to end (published and acked by the stream vs
archived), the site's CPU per window, the archive's ingest rate, and the
delay from a window's end to its arrival on the site's live stream (p50,
p99), read by a WebSocket client in records mode."""
import argparse
import asyncio
import json
import multiprocessing
import os
import pathlib
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT))                      # tests.servers, tests.site_peers

from tests.servers import NatsServer, PostgresServer, nats_binary, postgres_bindir  # noqa: E402
from tests.site_peers import SiteProcess, window_rows  # noqa: E402
from vantor.site import protocol  # noqa: E402


def node_process(url, name, units, period, seconds, result):
    """Publishes a batch every `period` for `seconds`; puts (sent, acked, late publishes)."""
    async def run():
        import nats
        nc = await nats.connect(url, name=f"bench-{name}")
        js = nc.jetstream()
        ranks = list(range(1, units + 1))
        start = time.time()
        sent = acked = late = 0
        pending = []
        k = 0
        while True:
            due = start + (k + 1) * period
            if due > start + seconds:
                break
            await asyncio.sleep(max(0.0, due - time.time()))
            if time.time() - due > period:
                late += 1
            data = protocol.encode_windows(name, due, window_rows(ranks, due))
            pending.append(asyncio.ensure_future(js.publish(protocol.subject(name, "windows"),
                                                            data, timeout=10)))
            sent += units
            k += 1
        for done in await asyncio.gather(*pending, return_exceptions=True):
            if not isinstance(done, Exception):
                acked += units
        await nc.close()
        result.put((name, sent, acked, late))
    asyncio.run(run())


async def heartbeats(url, names, stop):
    import nats
    nc = await nats.connect(url)
    while not stop.is_set():
        for name in names:
            await nc.publish(protocol.subject(name, "heartbeat"), protocol.encode_json(
                {"node": name, "time": time.time(), "units": 0, "http": None, "buffered": 0,
                 "dropped": 0, "version": 1}))
        await asyncio.sleep(1.0)
    await nc.close()


async def live_delays(site_url, seconds, rate):
    """Delays (s) from each record's window end to its arrival on the live stream."""
    import aiohttp
    delays = []
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(site_url.replace("http", "ws") + f"/api/live?rate={rate}",
                                      max_msg_size=0) as ws:
            end = time.time() + seconds
            async for msg in ws:
                now = time.time()
                data = json.loads(msg.data)
                if data.get("type") == "records":
                    delays += [now - r["time"] for r in data["records"]]
                if now >= end:
                    break
    return delays


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def metric(site, name):
    import urllib.request
    with urllib.request.urlopen(site.url + "/metrics", timeout=30) as answer:
        for line in answer.read().decode().splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
    return 0.0


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--nodes", type=int, default=4)
    p.add_argument("--units", type=int, default=1024)
    p.add_argument("--buff-size", type=int, default=10, help="steps of 10 ms per window")
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--live-rate", type=float, default=20.0)
    args = p.parse_args()
    period = args.buff_size * 0.01
    if nats_binary() is None or postgres_bindir() is None:
        sys.exit("bench-site: needs nats-server (test extra) and PostgreSQL (make postgres)")
    bus = NatsServer(nats_binary()).start()
    pg = PostgresServer(postgres_bindir(), durable=True).start()
    data = pathlib.Path(tempfile.mkdtemp(prefix="vantor-bench-site-"))
    names = [f"node{k + 1}" for k in range(args.nodes)]
    site = None
    try:
        import nats

        async def make_stream():     # as the nodes would on their first start
            nc = await nats.connect(bus.url)
            await nc.jetstream().add_stream(name=protocol.STREAM,
                                            subjects=protocol.stream_subjects())
            await nc.close()
        asyncio.run(make_stream())
        site = SiteProcess("--bus", bus.url, "--data", str(data), "--archive",
                           pg.url(pg.create_database()))
        result = multiprocessing.Queue()
        cpu0, t0 = cpu_seconds(site.proc.pid), time.time()
        procs = [multiprocessing.Process(target=node_process, args=(
            bus.url, name, args.units, period, args.seconds, result)) for name in names]
        for proc in procs:
            proc.start()

        async def during():
            stop = asyncio.Event()
            beat = asyncio.create_task(heartbeats(bus.url, names, stop))
            await asyncio.sleep(2.0)
            delays = await live_delays(site.url, args.seconds - 4.0, args.live_rate)
            stop.set()
            await beat
            return delays
        delays = asyncio.run(during())
        for proc in procs:
            proc.join()
        sent = acked = late = 0
        for _ in procs:
            _, s, a, lt = result.get()
            sent, acked, late = sent + s, acked + a, late + lt
        run_end = time.time()
        cpu_run = cpu_seconds(site.proc.pid) - cpu0
        archived_at_end = metric(site, "vantor_site_windows_archived_total")
        deadline = time.time() + 120
        while metric(site, "vantor_site_windows_archived_total") < acked and \
                time.time() < deadline:
            time.sleep(0.5)
        caught_up = time.time()
        archived = metric(site, "vantor_site_windows_archived_total")
        cpu_total = cpu_seconds(site.proc.pid) - cpu0
        delays.sort()
        print(f"bench-site: {args.nodes} nodes x {args.units} units, buffSize {args.buff_size} "
              f"({args.nodes * args.units / period:,.0f} windows/s offered), "
              f"{args.seconds:g} s, PostgreSQL archive")
        print(f"  windows published and acked by the stream: {acked:,} of {sent:,} "
              f"(late publisher ticks: {late})")
        print(f"  windows archived: {archived:,.0f}; lost end to end: {acked - archived:,.0f}")
        print(f"  archived by the end of publishing: {archived_at_end:,.0f} "
              f"({archived_at_end / (run_end - t0):,.0f}/s); all archived "
              f"{caught_up - run_end:.1f} s after (ingest {archived / (caught_up - t0):,.0f} "
              f"windows/s over the whole run)")
        print(f"  site CPU: {cpu_total:.1f} s ({cpu_run / (run_end - t0) * 100:.0f}% of a core "
              f"while publishing), {cpu_total / max(archived, 1) * 1e6:.1f} us per window")
        if delays:
            print(f"  live stream delay window end -> site client ({len(delays):,} records, "
                  f"rate {args.live_rate:g}/s): p50 {statistics.median(delays) * 1000:.0f} ms, "
                  f"p99 {delays[int(len(delays) * 0.99) - 1] * 1000:.0f} ms, "
                  f"max {delays[-1] * 1000:.0f} ms")
    finally:
        if site is not None:
            site.stop()
        bus.close()
        pg.stop()


if __name__ == "__main__":
    main()
