"""Tune of many simulated units through a real `vantor serve`: wall time
against the sweep's own length, the CPU the fits took (in the service's
helper process) and the service's own CPU, and the data path's loss meanwhile.

    .venv/bin/python bench/bench_tune.py --boards 32 --units 32
"""
import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tests.service_process import Service, settings_text  # noqa: E402
from vantor.client import Client  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--boards", type=int, default=32)
    p.add_argument("--units", type=int, default=32)
    p.add_argument("--point-steps", type=int, default=10)
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        site = Path(tmp) / "site.toml"
        site.write_text(settings_text([args.units] * args.boards, "[sim]\nlight = 0.25"))
        with Service(Path(tmp) / "data", "--config", str(site), ready_timeout=120) as svc:
            c = Client(svc.url, timeout=120)
            time.sleep(5)                                 # every unit streaming
            n = args.boards * args.units
            before = c._get("/api/status")["totals"]
            cpu0, t0 = cpu_seconds(svc.proc.pid), time.monotonic()
            job = c.submit_tune(list(range(1, n + 1)), start=0.0, stop=3.6e-5, step=1e-6,
                                point_steps=args.point_steps)
            c.wait(job, poll=0.5)
            wall = time.monotonic() - t0
            cpu = cpu_seconds(svc.proc.pid) - cpu0
            result = c.tune_result(job)
            after = c._get("/api/status")["totals"]
            statuses = {}
            for row in result["units"].values():
                statuses[row["status"]] = statuses.get(row["status"], 0) + 1
            sweep_length = 37 * args.point_steps * 0.01
            print(f"units {n}, sweep of 37 points x {args.point_steps * 10} ms = "
                  f"{sweep_length:.1f} s planned")
            print(f"tune wall {wall:.1f} s, sweep {result['sweep_s']:.1f} s, fits "
                  f"{result['fit_cpu_s']:.2f} s CPU in the helper process "
                  f"({1e3 * result['fit_cpu_s'] / n:.2f} ms per unit)")
            print(f"service process CPU during the tune {cpu:.1f} s "
                  f"({100 * cpu / wall:.0f} % of one core)")
            print(f"dropped {after['dropped'] - before['dropped']}, missing "
                  f"{after['missing'] - before['missing']}, late {after['late'] - before['late']}")
            print(f"statuses {statuses}")


if __name__ == "__main__":
    main()
