"""This tree's host against another tree's (an earlier release), level by
level in the same session, taking turns: this machine's speed drifts
between runs, so each level runs once per tree in alternating order,
`--repeat` times, and a tree holds a level only if every run of it held.

    PYTHONPATH=src .venv/bin/python bench/capacity/versus.py --other ../old \\
        [--levels 4096,5120] [--repeat 3] [--worker-processes 0] [--service]

`--other` is a checkout with its modules built in place (`make dev`); each
tree's own run.py runs the level (so the benchmark of each is its own)."""
import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
THIS = HERE.parents[1]


def one_run(tree, level, args, out, label):
    """One level once with `tree`'s host; its results (a list of runs)."""
    env_path = f"{tree / 'src'}:{tree / 'bench' / 'capacity'}"
    cmd = [sys.executable, str(tree / "bench" / "capacity" / "run.py"), "--levels", str(level),
           "--repeat", "1", "--worker-processes", args.worker_processes,
           "--measure", str(args.measure), "--warmup", str(args.warmup),
           "--buff-size", str(args.buff_size), "--out", str(out), "--label", label]
    if args.service:
        cmd.append("--service")
    done = subprocess.run(cmd, env={"PYTHONPATH": env_path, "PATH": "/usr/bin:/bin"},
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{tree}: run.py failed:\n{done.stdout}\n{done.stderr}")
    return json.loads((out / f"{label}.json").read_text())


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--other", required=True, help="the other tree (modules built in place)")
    p.add_argument("--levels", default="4096,4608,5120")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--worker-processes", default="0")
    p.add_argument("--measure", type=float, default=5.0)
    p.add_argument("--warmup", type=float, default=3.0)
    p.add_argument("--buff-size", type=int, default=100)
    p.add_argument("--service", action="store_true")
    p.add_argument("--out", default="build/capacity/versus.json")
    args = p.parse_args()
    trees = {"this": THIS, "other": pathlib.Path(args.other).resolve()}
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        for trial in range(args.repeat):
            for step, level in enumerate(int(x) for x in args.levels.split(",")):
                order = ["this", "other"] if (trial + step) % 2 == 0 else ["other", "this"]
                for name in order:
                    for r in one_run(trees[name], level, args, pathlib.Path(tmp), f"{name}{trial}"):
                        r.update(tree=name, trial=trial)
                        results.append(r)
                        print(f"{name:>5} trial {trial} {r['level']:>7} {level:>5} units: "
                              f"{'held' if r['held'] else 'not held'}, lost {r['lost_records']}, "
                              f"late {r['late_records']}, host {r['host_us_per_record']:.2f} "
                              f"us/record", flush=True)
    pathlib.Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.out).write_text(json.dumps(results, indent=1))
    print(f"{'tree':>5} {'mode':>7} {'units':>6} {'held':>6} {'us/record (runs)':>30}")
    keys = sorted({(r["tree"], r["level"], r["units"]) for r in results})
    for tree, mode, units in keys:
        runs = [r for r in results if (r["tree"], r["level"], r["units"]) == (tree, mode, units)]
        held = sum(r["held"] for r in runs)
        cost = " ".join(f"{r['host_us_per_record']:.2f}" for r in runs)
        print(f"{tree:>5} {mode:>7} {units:>6} {held:>3}/{len(runs):<2} {cost:>30}")


if __name__ == "__main__":
    main()
