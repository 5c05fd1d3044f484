"""`vantor tune`: find every unit's operating point through a running service,
show it (table, yield map, PNG) and, on request, apply it."""
import json
import sys


def add_subcommands(sub):
    from vantor.service.command import DEFAULT_URL

    p = sub.add_parser(
        "tune", help="find and set every unit's bias from a sweep (through a running service)",
        description="Sweeps the chosen units through a running vantor serve, finds per unit "
                    "the switching current, the plateau onset and rate, and proposes a bias "
                    "by the policy: fraction (FRACTION x switching current) or plateau (onset "
                    "+ MARGIN, capped one step below switching). Nothing changes unless "
                    "--apply is given. Exit status: 0 done, 1 the tune or applying failed, "
                    "2 refused input.")
    p.add_argument("--channels", default="all", metavar="LIST",
                   help="ranks (1,2,5), ranges (3-6), MCU.CU names (0.3) or all (the default)")
    for name, what in (("start", "first bias current, A"), ("stop", "last bias current, A"),
                       ("step", "bias step, A")):
        p.add_argument(f"--{name}", type=float, metavar="A",
                       help=f"{what} (default: each unit's configured sweep)")
    p.add_argument("--point-steps", type=int, metavar="N", help="10 ms steps per point")
    p.add_argument("--policy", choices=("fraction", "plateau"), default="fraction")
    p.add_argument("--fraction", type=float, default=0.9,
                   help="share of the switching current (policy fraction; default 0.9)")
    p.add_argument("--margin", type=float, default=None, metavar="A",
                   help="above the plateau onset (policy plateau; default two sweep steps)")
    p.add_argument("--onset-fraction", type=float, default=0.9,
                   help="share of the plateau rate that marks its onset (default 0.9)")
    p.add_argument("--job", metavar="ID", default=None,
                   help="show (and with --apply apply) a finished tune instead of sweeping")
    p.add_argument("--apply", action="store_true",
                   help="set the proposed biases (a verified change per accepted unit)")
    p.add_argument("--report", action="store_true",
                   help="the array's yield as a map by board and unit")
    p.add_argument("--plot", metavar="PNG", default=None,
                   help="the curves with switching, onset and proposed bias marked")
    p.add_argument("--json", action="store_true", help="the result as JSON")
    p.add_argument("--server", metavar="URL", default=None,
                   help=f"URL of a running vantor serve (default {DEFAULT_URL})")
    p.add_argument("--token", default=None, help="API token (default $VANTOR_TOKEN)")
    p.set_defaults(func=tune_command)


def _units(text, client):
    from vantor.host.units import parse_unit_list

    if text.strip() == "all":
        return [u["rank"] for u in client.units()]
    return parse_unit_list(text)


def _progress(job):
    if sys.stderr.isatty():
        print(f"\r{job['state']} {job['progress']:4.0%} {job['message'][:60]:<60}", end="",
              file=sys.stderr, flush=True)


def tune_command(args):
    from vantor.client import ServiceError
    from vantor.ops.channels import OpsError
    from vantor.service.command import _client
    from . import report

    client = _client(args)
    try:
        if args.job is None:
            job = client.submit_tune(_units(args.channels, client), args.start, args.stop,
                                     args.step, args.point_steps, args.policy, args.fraction,
                                     args.margin, args.onset_fraction)
        else:
            job = client.job(args.job)
        try:
            client.wait(job, progress=_progress)
        finally:
            if sys.stderr.isatty():
                print(file=sys.stderr)
        result = client.tune_result(job)
        units = client.units()
        applied = client.apply_tune(job) if args.apply else None
    except ValueError as exc:
        print(f"vantor tune: {exc}", file=sys.stderr)
        return 2
    except ServiceError as exc:
        print(f"vantor tune: {exc}", file=sys.stderr)
        return 2 if exc.status == 400 else 1
    rows = result["units"]
    names = {u["rank"]: u["name"] for u in units}
    if args.json:
        print(json.dumps({"job": result["job"], "units": rows, "applied": applied}, indent=1))
    else:
        print(f"tune job {result['job']}, policy {result['policy']['name']}: "
              f"{sum(r['status'] == 'ok' for r in rows.values())} of {len(rows)} units ok")
        print("\n".join(report.table(rows, names)))
    if args.report:
        print("\n".join(report.yield_map(rows, units)))
    if args.plot:
        curves = {r: (list(ch["biasI"]), list(ch["counts"]), list(ch["monitorV"]),
                      ch["config"]["biasSweepT"] * 0.01)
                  for r, ch in client.result(job).items() if r in rows}
        try:
            report.plot(curves, rows, names, args.plot, f"tune job {result['job']}")
        except OpsError as exc:
            print(f"vantor tune: {exc}", file=sys.stderr)
            return 1
        print(f"plot: {args.plot}")
    if applied is not None and not args.json:
        print(f"applied: {len(applied['applied'])} units set, "
              f"{len(applied['unchanged'])} left unchanged"
              + ("" if applied["stored"] else f"; calibrations NOT stored: "
                                              f"{applied['archive_error']}"))
        if not applied["stored"]:
            return 1
    return 0
