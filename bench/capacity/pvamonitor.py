"""A pvAccess monitor of every unit's RATE, in a process of its own (as a
facility's archiver would watch them), for the service level with --epics.

    python bench/capacity/pvamonitor.py --prefix CAP: --units 2048 --window 1.0 \
        --seconds 13 --warmup 3 --measure 10

Subscribes to PREFIX U1:RATE ... U{units}:RATE, prints "ready" once every
channel gave its first value, reads t0 (time.monotonic()) from standard
input and counts updates until t0 + seconds + 1.  Prints one JSON line:
updates per unit whose window ended in the measured span (by the value's own
timestamp: the window's end), the windows missing between a unit's first and
last update in that span (a gap of k windows counts k - 1), and units that
got nothing.  The EPICS ports come from the environment (EPICS_PVA_*)."""
import argparse
import json
import os
import sys
import threading
import time


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--prefix", required=True)
    p.add_argument("--units", type=int, required=True)
    p.add_argument("--window", type=float, required=True, help="seconds per window")
    p.add_argument("--seconds", type=float, required=True)
    p.add_argument("--warmup", type=float, required=True)
    p.add_argument("--measure", type=float, required=True)
    p.add_argument("--cpu", type=int, default=None)
    args = p.parse_args(argv)
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    from p4p.client.thread import Context

    stamps = {rank: [] for rank in range(1, args.units + 1)}
    first = threading.Semaphore(0)
    lock = threading.Lock()

    def watcher(rank):
        def got(value):
            if isinstance(value, Exception):
                return
            with lock:
                stamps[rank].append((time.monotonic(), value.timestamp))
                if len(stamps[rank]) == 1:
                    first.release()
        return got

    ctx = Context("pva")
    # kept open until the process ends
    subs = [ctx.monitor(f"{args.prefix}U{rank}:RATE", watcher(rank), notify_disconnect=True)
            for rank in stamps]
    deadline = time.monotonic() + 120
    for _ in stamps:
        if not first.acquire(timeout=max(0.0, deadline - time.monotonic())):
            break
    print("ready", flush=True)
    t0 = float(sys.stdin.readline())
    time.sleep(max(0.0, t0 + args.seconds + 1.0 - time.monotonic()))
    # The span by the windows' own (Unix) times: the measured span moved onto
    # the wall clock through the monotonic time of one update.
    lo_mono, hi_mono = t0 + args.warmup, t0 + args.warmup + args.measure
    offset = time.time() - time.monotonic()
    lo, hi = lo_mono + offset, hi_mono + offset
    counted, missing, silent = 0, 0, []
    with lock:
        seen_by_rank = {rank: list(seen) for rank, seen in stamps.items()}
    for rank, seen in seen_by_rank.items():
        times = sorted({stamp for _, stamp in seen if lo <= stamp < hi})
        if not times:
            silent.append(rank)
            continue
        counted += len(times)
        missing += sum(max(0, round((b - a) / args.window) - 1) for a, b in zip(times, times[1:]))
    expected = args.units * args.measure / args.window
    print(json.dumps({"units": args.units, "updates": counted, "expected_about": expected,
                      "missing_windows": missing, "units_without_updates": len(silent)}),
          flush=True)
    os._exit(0)     # p4p's teardown with 2048 live subscriptions only adds noise


if __name__ == "__main__":
    main()
