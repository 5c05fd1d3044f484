"""The archive's two stores side by side, SQLite and PostgreSQL, in one run
and in turns: rows per second ingested through the Store at buffSize 10 (ten
windows per unit and second, one batch a second and folding every minute,
as the archive writer does) for 2048 and 4096 units; database size; and
one-day history queries of 32 units.  PostgreSQL is a real server started
for the run on loopback (durable: fsync on), as the tests start theirs.

    PYTHONPATH=src .venv/bin/python bench/bench_archive_stores.py [--seconds 60] [--rounds 2]
"""
import argparse
import math
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))     # tests.servers
from bench_archive import DAY_QUERIES, T0, build_day, query_day, used_bytes  # noqa: E402
from tests.servers import PostgresServer, postgres_bindir  # noqa: E402
from vantor.history.layouts import COUNTER_FIELDS, row_dtype  # noqa: E402
from vantor.history.postgres_store import PostgresStore  # noqa: E402
from vantor.history.sqlite_store import SQLiteStore  # noqa: E402
from vantor.history.store import Batch  # noqa: E402

WINDOWS_PER_S = 10                   # buffSize 10: 100 ms windows
FOLD_EVERY_S = 60                    # the writer folds closed blocks once a minute
BLOCK_S = 600                        # the stores' default block
GRACE_S = 11                         # past the time a closed block stays open for late rows


def second_of_data(units, t, rng):
    """One flush of the collector: every unit's ten windows of second t (in
    the stream's order, window after window), its boards' reports, the counters."""
    rows = np.zeros(units * WINDOWS_PER_S, dtype=row_dtype("unit"))
    rows["key"] = np.tile(np.arange(1, units + 1), WINDOWS_PER_S)
    rows["t"] = np.repeat(t + np.arange(WINDOWS_PER_S) / WINDOWS_PER_S, units)
    rows["rate"] = rng.poisson(1000, size=len(rows)) * WINDOWS_PER_S
    rows["monitorV"] = rng.normal(0.0123, 2e-4, size=len(rows))
    boards = np.zeros(max(1, units // 32), dtype=row_dtype("board"))
    boards["key"] = np.arange(len(boards))
    boards["t"] = t
    boards["temp1"], boards["temp2"], boards["pll"] = 35.0, 4.2, 1.0
    counters = np.zeros(1, dtype=row_dtype("counters"))
    counters["t"] = t
    for name in COUNTER_FIELDS:
        counters[name] = t - T0
    return Batch(rows={"unit": rows, "board": boards, "counters": counters})


def ingest(store, units, seconds, start):
    """(rows written, seconds in write, seconds in folding) for `seconds` of
    data from `start` (a block boundary); every block of it is folded by the
    end, the last ones once they have closed."""
    rng = np.random.default_rng(units)
    written, write_s, fold_s = 0, 0.0, 0.0
    for s in range(seconds):
        batch = second_of_data(units, start + s, rng)
        started = time.perf_counter()
        store.write(batch)
        write_s += time.perf_counter() - started
        written += len(batch.rows["unit"])
        if s % FOLD_EVERY_S == FOLD_EVERY_S - 1 or s == seconds - 1:
            now = start + s + 1 if s < seconds - 1 else start + blocks_of(seconds) + GRACE_S
            started = time.perf_counter()
            store.compact(now)
            fold_s += time.perf_counter() - started
    return written, write_s, fold_s


def blocks_of(seconds):
    """Seconds of whole blocks (the stores' default, 10 minutes) that hold `seconds`."""
    return math.ceil(seconds / BLOCK_S) * BLOCK_S


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60, help="seconds of data per ingest run")
    parser.add_argument("--rounds", type=int, default=2, help="ingest runs per store and size")
    parser.add_argument("--levels", default="2048,4096", help="unit counts")
    parser.add_argument("--day-units", type=int, default=64,
                        help="units in the one-day archive the queries read")
    args = parser.parse_args()
    bindir = postgres_bindir()
    if bindir is None:
        sys.exit("bench_archive_stores: Debian's postgresql is not installed (make postgres)")
    server = PostgresServer(bindir, durable=True).start()
    folder = tempfile.mkdtemp(prefix="vantor-bench-stores-")
    try:
        run(args, server, folder)
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def run(args, server, folder):
    levels = [int(x) for x in args.levels.split(",")]
    names = ("SQLite", "PostgreSQL")
    stores = (SQLiteStore(os.path.join(folder, "ingest.db")),
              PostgresStore(server.url(server.create_database())))
    rates = {(name, units): [] for name in names for units in levels}
    at = T0
    for units in levels:
        for round_ in range(args.rounds):
            for name, store in zip(names, stores):       # in turns: the machine drifts
                print(f"ingest: {name}, {units} units, round {round_ + 1} ...", file=sys.stderr)
                rates[name, units].append(ingest(store, units, args.seconds, at))
            at += blocks_of(args.seconds)       # each run folds blocks of its own
    ingest_sizes = [store.size() for store in stores]
    for store in stores:
        store.close()

    print(f"one day of {args.day_units} units into each store ...", file=sys.stderr)
    days = (SQLiteStore(os.path.join(folder, "day.db")),
            PostgresStore(server.url(server.create_database())))
    built = [build_day(store, args.day_units) for store in days]
    day_bytes = [used_bytes(days[0]), days[1].size()]
    timings = {label: ([], []) for label, _ in DAY_QUERIES}
    points = {}
    for _ in range(5):
        for label, resolution in DAY_QUERIES:
            for i, store in enumerate(days):
                spent, points[label, i] = query_day(store, resolution)
                timings[label][i].append(spent)
    for store in days:
        store.close()
    report(args, levels, names, rates, ingest_sizes, built, day_bytes, timings, points)


def report(args, levels, names, rates, ingest_sizes, built, day_bytes, timings, points):
    print(f"{'figure':<52}{names[0]:>14}{names[1]:>14}")
    for units in levels:
        need = units * WINDOWS_PER_S
        for label, part in (("rows/s, writes", lambda w, ws, fs: w / ws),
                            ("rows/s, writes and folding", lambda w, ws, fs: w / (ws + fs))):
            cells = []
            for name in names:
                runs = [part(*r) for r in rates[name, units]]
                cells.append(f"{statistics.median(runs):>14,.0f}")
            print(f"{f'{units} units ({need:,} windows/s): {label}':<52}{''.join(cells)}")
        for name in names:
            runs = " ".join(f"{w / (ws + fs):,.0f}" for w, ws, fs in rates[name, units])
            print(f"{f'  {name} runs':<28}{runs:>52}")
    cells = []
    for name, size in zip(names, ingest_sizes):
        rows = sum(w for (n, _), runs in rates.items() if n == name for w, _, _ in runs)
        cells.append(f"{size / rows:>14.1f}")
    print(f"{'bytes per window after ingest (indexes included)':<52}{''.join(cells)}")
    print(f"{f'one day of {args.day_units} units (1 s windows) built in':<52}"
          f"{built[0]:>12.1f} s{built[1]:>12.1f} s")
    print(f"{'database per unit and day at 1 s windows':<52}"
          f"{day_bytes[0] / args.day_units / 1e6:>11.2f} MB"
          f"{day_bytes[1] / args.day_units / 1e6:>11.2f} MB")
    for label, (lite, pg) in timings.items():
        print(f"{f'one-day query, 32 units, {label}':<52}{statistics.median(lite) * 1e3:>11.1f} ms"
              f"{statistics.median(pg) * 1e3:>11.1f} ms  ({points[label, 0]} / "
              f"{points[label, 1]} points)")


if __name__ == "__main__":
    main()
