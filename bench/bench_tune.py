"""Tune of many simulated units through a real `vantor serve` facing the
simulator as hardware on loopback (`vantor sim` in processes of their own, as
electronics would be; the boards split among --sim-processes, so the
simulator's Python can use more than one core): the tune's wall time against
the sweep's own length, the CPU the fits took (in the service's helper
process), the service's CPU while streaming and during the tune, and the
data path's loss counters before and after (dropped, late and missing must
not move; the exit status says whether they did).

    .venv/bin/python bench/bench_tune.py --boards 32 --units 32
"""
import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tests.service_process import Service, settings_text, vantor_env, wait_for  # noqa: E402
from vantor.client import Client, ServiceError  # noqa: E402

LOSS = ("dropped", "late", "missing")          # must not move
SHOWN = LOSS + ("malformed", "duplicated", "incomplete_windows")
SWEEP = dict(start=0.0, stop=3.6e-5, step=1e-6)
POINTS = 37


def boards_text(mcus, units, head):
    """Settings of the boards `mcus` (their own ids; ranks count from 1 in each file)."""
    lines, rank = [head, ""], 0
    for mcu in mcus:
        lines += ["[[mcu]]", f"mcuId = {mcu}"]
        for cu in range(units):
            rank += 1
            lines += ["  [[mcu.unit]]", f"  cuId = {cu}", f"  rank = {rank}"]
    return "\n".join(lines) + "\n"


def start_simulators(tmp, boards, units, head, processes, port):
    sims = []
    for k in range(processes):
        part = Path(tmp) / f"sim{k}.toml"
        part.write_text(boards_text(range(k, boards, processes), units, head))
        sims.append(subprocess.Popen(
            [sys.executable, "-m", "vantor", "sim", "--config", str(part),
             "--target", f"127.0.0.1:{port}"], env=vantor_env(),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    return sims


def drain(stream, keep):
    """Reads a child's pipe to its end, keeping the last lines: a pipe nobody
    reads fills up, and the service then blocks on its next log line."""
    def run():
        for line in stream:
            keep.append(line)
            del keep[:-50]
    threading.Thread(target=run, daemon=True).start()


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def family(pid):
    """The process and its descendants: {pid: CPU seconds so far}."""
    out, todo = {}, [pid]
    while todo:
        p = todo.pop()
        try:
            out[p] = cpu_seconds(p)
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as fh:
                    todo += [int(c) for c in fh.read().split()]
        except FileNotFoundError:
            continue
    return out


def cpu_since(pid, before):
    now = family(pid)
    return sum(t - before.get(p, 0.0) for p, t in now.items())


def loss(client):
    totals = client._get("/api/status")["totals"]
    return {k: totals.get(k) for k in SHOWN}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--boards", type=int, default=32)
    p.add_argument("--units", type=int, default=32)
    p.add_argument("--point-steps", type=int, default=20)
    p.add_argument("--idle", type=float, default=10.0, help="seconds of plain streaming measured first")
    p.add_argument("--sim-processes", type=int, default=2)
    args = p.parse_args()
    n = args.boards * args.units
    head = "[sim]\nlight = 0.25"
    with tempfile.TemporaryDirectory() as tmp:
        site = Path(tmp) / "site.toml"
        site.write_text(settings_text([args.units] * args.boards, head))
        listen, nobody = free_udp_port(), free_udp_port()
        # The service faces "hardware" at a loopback address; it learns each
        # board's own port from its datagrams (nobody listens at `nobody`).
        with Service(Path(tmp) / "data", "--config", str(site), "--hardware",
                     f"127.0.0.1:{nobody}", "--listen", f"127.0.0.1:{listen}",
                     ready_timeout=120) as svc:
            log = []
            drain(svc.proc.stdout, log)
            drain(svc.proc.stderr, log)
            sims = start_simulators(tmp, args.boards, args.units, head, args.sim_processes, listen)
            sim_started = time.monotonic()
            try:
                c = Client(svc.url, timeout=120)
                wait_for(lambda: all(u["status"] == "ok" for u in c.units()), 60,
                         "every unit streaming")
                time.sleep(3)
                before_idle, cpu0, t0 = loss(c), family(svc.proc.pid), time.monotonic()
                time.sleep(args.idle)
                idle_cpu = cpu_since(svc.proc.pid, cpu0) / (time.monotonic() - t0)
                before = loss(c)
                cpu0, t0 = family(svc.proc.pid), time.monotonic()
                sim_cpu0 = [cpu_seconds(sim.pid) for sim in sims]
                job = c.submit_tune(list(range(1, n + 1)), point_steps=args.point_steps, **SWEEP)
                try:
                    c.wait(job, poll=0.5, progress=lambda j: print(
                        f"\r{j['state']} {j['progress']:4.0%} {j['message'][:60]:<60}", end="",
                        file=sys.stderr, flush=True))
                except ServiceError:
                    pass                       # said below, with the service's last lines
                print(file=sys.stderr)
                wall = time.monotonic() - t0
                cpu = cpu_since(svc.proc.pid, cpu0)
                sim_cpu = [cpu_seconds(sim.pid) - t for sim, t in zip(sims, sim_cpu0)]
                time.sleep(3)                  # the windows of the tune's last moments arrive
                after = loss(c)
                job = c.job(job)
                result = c.tune_result(job) if job["state"] == "done" else None
            finally:
                for sim in sims:
                    sim.send_signal(signal.SIGINT)
                outs = [sim.communicate(timeout=30)[0] for sim in sims]
            sim_wall = time.monotonic() - sim_started
        if result is None:
            print(f"the tune {job['state']}: {job['error'][:2000]}")
            print("the service's last lines:\n" + "".join(log[-20:]))
            return 1
        statuses = {}
        for row in result["units"].values():
            statuses[row["status"]] = statuses.get(row["status"], 0) + 1
        steps = [m.group(1) if (m := re.search(r"(\d+) steps", out)) else "?" for out in outs]
        print(f"units {n} ({args.boards} boards x {args.units}), vantor sim in "
              f"{args.sim_processes} processes of its own, the service facing it as hardware "
              f"on loopback")
        print(f"sweep of {POINTS} points x {args.point_steps * 10} ms = "
              f"{POINTS * args.point_steps * 0.01:.1f} s planned, {result['sweep_s']:.1f} s "
              f"measured; tune wall {wall:.1f} s (queued to done)")
        print(f"fits {result['fit_cpu_s']:.2f} s CPU in the helper process "
              f"({1e3 * result['fit_cpu_s'] / n:.2f} ms per unit)")
        print(f"service CPU (process and children): streaming {100 * idle_cpu:.0f} % of a core; "
              f"during the tune {cpu:.1f} s ({100 * cpu / wall:.0f} % of a core)")
        print(f"simulator CPU during the tune {sum(sim_cpu):.1f} s "
              f"({100 * sum(sim_cpu) / wall:.0f} % of a core); steps {', '.join(steps)} in "
              f"{sim_wall:.0f} s (real time: {sim_wall / 0.01:.0f})")
        print(f"loss counters before streaming {before_idle}")
        print(f"             before the tune   {before}")
        print(f"             after the tune    {after}")
        print(f"statuses {statuses}; job state {job['state']}")
        grew = after["incomplete_windows"] - before_idle["incomplete_windows"]
        print(f"windows that missed records: {grew} more over the run (each unit's first is one)")
        moved = {k: after[k] - before_idle[k] for k in LOSS if after[k] != before_idle[k]}
        if moved:
            print(f"LOSS: counters moved {moved}")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
