"""Archive figures: CPU the archive costs at 2048 units, database growth
per unit and day, and the time of a one-day history query of 32 units.
Prints a table.

The CPU is measured twice: on a synthetic feed (the archive's own work per
second of data: decoding, collecting, writing, folding), and end to end, the
real host taking 2048 units of traffic from the capacity benchmark's sender
process while the service's watch (archive and alarm conditions) is switched
on and off in turns within one run.

    PYTHONPATH=src .venv/bin/python bench/bench_archive.py [--seconds 1800] [--phase 6]
"""
import argparse
import asyncio
import os
import logging
import pathlib
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

from vantor.history import queries
from vantor.history.layouts import row_dtype
from vantor.host.readmodel import decode
from vantor.history.options import ArchiveOptions
from vantor.history.sqlite_store import SQLiteStore
from vantor.history.store import Batch
from vantor.history.writer import ArchiveWriter

RECORD = struct.Struct("<4B2f3Id")
T0 = 1_765_000_200.0
DAY = 86400


def hub_batch(units, t, rng):
    counts = rng.integers(900, 1100, size=units)
    return b"".join(RECORD.pack(r // 32, r % 32, 0, 0, 0.01, 0.0, int(counts[r]), 100, r + 1, t)
                    for r in range(units))


def snapshot(units, boards, t):
    return {"time": t, "uptime": t - T0,
            "units": [{"rank": r + 1, "name": f"{r // 32}.{r % 32}", "status": "ok",
                       "rate": 1000.0, "config": {"biasI": 2e-5}, "updates": 0}
                      for r in range(units)],
            "boards": [{"mcuId": b, "temp1": 35.0, "temp2": 4.2, "pll": True, "status": 0,
                        "reports": int(t - T0), "last_seen": t} for b in range(boards)],
            "totals": {"records_in": int(t - T0) * units * 100, "datagrams": 0,
                       "time_origin": 0.0}}


async def archive_cpu(folder, units, seconds):
    """CPU seconds per second of data, whole process (all threads), with the
    archive fed and without (the same synthetic feed, nothing collected)."""
    rng = np.random.default_rng(1)
    batches = [hub_batch(units, 0.0, rng) for _ in range(4)]
    whole = np.full(units, 100, "<u4").tobytes()     # every window held all its records
    snaps = [snapshot(units, units // 32, T0 + s) for s in range(4)]
    now = [T0]
    store = SQLiteStore(os.path.join(folder, "cpu.db"))
    writer = ArchiveWriter(store, ArchiveOptions(), clock=lambda: now[0]).start()

    def feed(archive):
        started = time.process_time()
        for s in range(seconds):
            now[0] = T0 + s
            # the timestamp lives in the last 8 bytes of each record; a fresh
            # batch per second costs the same with or without the archive
            data = bytearray(batches[s % 4])
            np.frombuffer(data, dtype="<f8").reshape(-1, 4)[:, 3] = now[0]
            snap = snaps[s % 4]
            snap["time"] = now[0]
            if archive:
                writer.collector.stream(decode(bytes(data), len(data) // 32, whole, None))
                writer.collector.snapshot(snap)
                writer.flush()
                while writer._queue.qsize() > 2:
                    time.sleep(0.001)
        while archive and writer._queue.qsize():
            time.sleep(0.001)
        return time.process_time() - started

    without = feed(False)
    with_archive = feed(True)
    await writer.stop()
    return without / seconds, with_archive / seconds, writer.status()


async def host_cpu(folder, mcus, units, phase, pairs):
    """Host process CPU share (% of one core) with the watch off and on, phases
    alternating; and the records the host took in against those sent."""
    from vantor.host.app import Host
    from vantor.host.settings import default_settings
    from vantor.service.watch import Watch

    logging.getLogger("vantor").setLevel(logging.CRITICAL)   # units fall silent at the end
    host = await Host(default_settings(mcus, units, buffSize=100)).start()
    warmup, total = 3.0, 3.0 + 2 * pairs * phase + 3.0
    sender = subprocess.Popen(
        [sys.executable, str(pathlib.Path(__file__).parent / "capacity" / "sender.py"),
         "--target", f"127.0.0.1:{host.address[1]}", "--mcus", str(mcus), "--units",
         str(units), "--seconds", str(total)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    loop = asyncio.get_running_loop()
    line = await loop.run_in_executor(None, sender.stdout.readline)
    assert line.strip() == "ready", line
    t0 = time.monotonic() + 0.2
    sender.stdin.write(f"{t0}\n")
    sender.stdin.flush()
    await asyncio.sleep(t0 + warmup - time.monotonic())
    shares = {False: [], True: []}
    own = []           # the watch's and archive thread's own CPU, % of a core
    records = [host._stats.records_in, None]
    for _ in range(pairs):
        for on in (False, True):
            watch = Watch(host, pathlib.Path(folder), []) if on else None
            if on:
                await watch.start()
            cpu, wall = sum(os.times()[:2]), time.monotonic()
            await asyncio.sleep(phase)
            shares[on].append(100 * (sum(os.times()[:2]) - cpu) / (time.monotonic() - wall))
            if on:
                span = time.monotonic() - wall
                own.append((100 * watch.cpu / span, 100 * watch.writer.cpu / span))
                await watch.stop()
    records[1] = host._stats.records_in
    out = await loop.run_in_executor(None, sender.stdout.readline)
    sender.wait()
    await host.stop()
    return shares, own, records, json_line(out)


def json_line(text):
    import json
    try:
        return json.loads(text)
    except ValueError:
        return {}


def build_day(store, units, day_seconds=DAY, window=1.0):
    """A day of one window per second for `units` units, written as the
    service writes it (per block), then folded; the seconds it took."""
    rng = np.random.default_rng(2)
    block = 600
    started = time.perf_counter()
    for b0 in range(0, day_seconds, block):
        t = T0 + 0.37 + np.arange(b0, b0 + block) * window
        rows = np.zeros(units * block, dtype=row_dtype("unit"))
        rows["key"] = np.repeat(np.arange(1, units + 1), block)
        rows["t"] = np.tile(t, units)
        rows["rate"] = rng.poisson(1000, size=len(rows))      # counts of 1 s windows
        rows["monitorV"] = rng.normal(0.0123, 2e-4, size=len(rows))
        for second in range(0, block, 60):       # one write per minute keeps this fast
            part = rows[(rows["t"] >= T0 + b0 + second) & (rows["t"] < T0 + b0 + second + 60)]
            store.write(Batch(rows={"unit": part}))
        store.compact(T0 + b0 + block + 3600)
    return time.perf_counter() - started


DAY_QUERIES = (("every window", 0), ("default (1 min)", None), ("10 min", 600))


def query_day(store, resolution, ranks=range(1, 33)):
    """Seconds one query of a day of `ranks` took, and the points it answered."""
    started = time.perf_counter()
    answer = queries.series(store, "unit", list(ranks), "rate", T0, T0 + DAY - 1, resolution,
                            now=T0 + DAY)
    spent = time.perf_counter() - started
    return spent, sum(len(s["time"]) for s in answer["series"].values())


def used_bytes(store):
    db = store._conn()
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    pages, free, size = (db.execute(f"PRAGMA {p}").fetchone()[0]
                         for p in ("page_count", "freelist_count", "page_size"))
    return (pages - free) * size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--units", type=int, default=2048)
    parser.add_argument("--seconds", type=int, default=1800,
                        help="seconds of data fed for the CPU figure (folds every 600)")
    parser.add_argument("--day-units", type=int, default=64,
                        help="units in the one-day archive the query reads")
    parser.add_argument("--phase", type=float, default=6.0,
                        help="seconds per on/off phase of the end-to-end figure (0: skip it)")
    parser.add_argument("--pairs", type=int, default=3, help="on/off pairs end to end")
    args = parser.parse_args()
    e2e = None
    if args.phase > 0:
        print(f"host with {args.units} units, watch off and on ...", file=sys.stderr)
        with tempfile.TemporaryDirectory() as folder:
            e2e = asyncio.run(host_cpu(folder, args.units // 32, 32, args.phase, args.pairs))
    with tempfile.TemporaryDirectory() as folder:
        print(f"feeding {args.seconds} s of {args.units} units ...", file=sys.stderr)
        base, loaded, status = asyncio.run(archive_cpu(folder, args.units, args.seconds))
        print(f"building one day of {args.day_units} units ...", file=sys.stderr)
        store = SQLiteStore(os.path.join(folder, "day.db"))
        build_s = build_day(store, args.day_units)
        size = used_bytes(store)
        timings = {}
        for label, resolution in DAY_QUERIES:
            runs = [query_day(store, resolution) for _ in range(5)]
            timings[label] = (statistics.median(s for s, _ in runs), runs[0][1])
        store.close()

    archive_share = 100 * (loaded - base)
    print(f"{'figure':<46}{'value':>16}")
    print(f"{'units':<46}{args.units:>16}")
    if e2e is not None:
        shares, own, (before, after), sent = e2e
        off, on = statistics.median(shares[False]), statistics.median(shares[True])
        print(f"{'host CPU, watch off (median of phases)':<46}{off:>14.1f} %")
        print(f"{'host CPU, archive + alarms on':<46}{on:>14.1f} %")
        print(f"{'  difference':<46}{on - off:>14.1f} %")
        print(f"{'  phases off':<30}{' '.join(f'{x:.1f}' for x in shares[False]):>32}")
        print(f"{'  phases on':<30}{' '.join(f'{x:.1f}' for x in shares[True]):>32}")
        loop_part = statistics.median(x for x, _ in own)
        thread_part = statistics.median(y for _, y in own)
        print(f"{'  own CPU: watch on the loop':<46}{loop_part:>14.2f} %")
        print(f"{'  own CPU: archive thread':<46}{thread_part:>14.2f} %")
        print(f"{'  records taken in / sent in the phases':<46}{after - before:>10}"
              f" / ~{int(2 * args.pairs * args.phase * args.units * 100)}")
    print(f"{'archive CPU per second of data (synthetic)':<46}{(loaded - base) * 1e3:>13.2f} ms")
    print(f"{'  share of one core':<46}{archive_share:>14.2f} %")
    print(f"{'batches written / lost':<46}{status['batches']:>10} / {status['lost_batches']}")
    per_unit_day = size / args.day_units
    print(f"{'database growth per unit and day':<46}{per_unit_day / 1e6:>13.2f} MB")
    print(f"{'  at 2048 units, per day':<46}{per_unit_day * 2048 / 1e9:>13.2f} GB")
    print(f"{'one day of ' + str(args.day_units) + ' units built in':<46}{build_s:>14.1f} s")
    for label, (spent, points) in timings.items():
        print(f"{'one-day query, 32 units, ' + label:<46}{spent * 1e3:>13.1f} ms"
              f"  ({points} points)")


if __name__ == "__main__":
    main()
