"""CPU of the tune's curve analysis per unit, this tree's against an earlier
revision's `vantor.tune.fit` (read from git), alternating in one run, on
curves of the simulator's sensor model; and how far the two disagree.

    .venv/bin/python bench/bench_fit.py --against 4455fa2 --units 1024 --rounds 3
"""
import argparse
import importlib.util
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "src"))
from vantor.sim.options import SimOptions  # noqa: E402
from vantor.sim.sensor import Sensor, unit_values  # noqa: E402
from vantor.tune import fit  # noqa: E402

VOLTS_PER_AMP = 0.8 * 15057.5      # monitor gain x the built-in divider


def curves(n, light, point_steps, seed=1):
    """n units' sweeps from 0 to 36 uA in 1 uA steps, as the service would get them."""
    rng = np.random.default_rng(seed)
    options = SimOptions(light=light, switching_spread=0.05)
    point_s = point_steps * 0.01
    bias = np.arange(0.0, 3.6e-5 + 5e-7, 1e-6)
    out = []
    for i in range(n):
        sensor = Sensor(unit_values(options, (i // 32, i % 32), seed))
        latched = bias >= sensor.switching
        mean = np.array([sensor.rate(b) * point_s for b in bias])
        counts = np.where(latched, 0, rng.poisson(mean))
        monitor = np.where(latched, sensor.latched_voltage, VOLTS_PER_AMP * bias)
        out.append((bias, counts.astype(float), point_s, monitor + rng.normal(0, 1e-3, len(bias))))
    return out


def old_module(revision):
    text = subprocess.run(["git", "-C", str(ROOT), "show", f"{revision}:src/vantor/tune/fit.py"],
                          check=True, capture_output=True, text=True).stdout
    path = Path(tempfile.mkdtemp()) / "fit_old.py"
    path.write_text(text)
    spec = importlib.util.spec_from_file_location("fit_old", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def analyse_old(module, data):
    return [module.analyse(module.Curve(*d)) for d in data]


def analyse_new(data):
    return fit.analyse_all([fit.Curve(*d) for d in data])


def timed(fn):
    started = time.process_time()
    result = fn()
    return time.process_time() - started, result


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--against", default="HEAD", help="git revision of the old fit")
    p.add_argument("--units", type=int, default=256)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--light", type=float, default=0.25)
    p.add_argument("--point-steps", type=int, default=10)
    args = p.parse_args()
    old = old_module(args.against)
    data = curves(args.units, args.light, args.point_steps)
    times = {"old": [], "new": []}
    for _ in range(args.rounds):
        t, before = timed(lambda: analyse_old(old, data))
        times["old"].append(t)
        t, after = timed(lambda: analyse_new(data))
        times["new"].append(t)
    for name, ts in times.items():
        print(f"{name}: {1e3 * min(ts) / args.units:.3f} ms CPU per unit (best of "
              f"{args.rounds}; all {', '.join(f'{t:.2f}' for t in ts)} s)")
    print(f"speed-up {min(times['old']) / min(times['new']):.0f}x")
    same = sum(a.status == b.status for a, b in zip(before, after))
    print(f"status the same for {same} of {args.units} units")
    for key in ("switching_current", "plateau_onset", "plateau_rate"):
        pairs = [(getattr(a, key), getattr(b, key)) for a, b in zip(before, after)
                 if getattr(a, key) is not None and getattr(b, key) is not None]
        diff = max((abs(x - y) for x, y in pairs), default=0.0)
        print(f"{key}: largest difference {diff:.3g} over {len(pairs)} units")
    dev = [(a.fit["deviance"], b.fit["deviance"]) for a, b in zip(before, after)
           if a.fit and b.fit]
    worse = sum(y > x * (1 + 1e-6) + 1e-9 for x, y in dev)
    print(f"deviance: new above old for {worse} of {len(dev)} fits")


if __name__ == "__main__":
    main()
