"""Operator commands `iv`, `record` and `show`; `add_subcommands(subparsers)`
adds them to the `vantor` command.  Each parsed command carries
`func(args) -> exit status`."""
import asyncio
import signal
import sys

from vantor.cli import (UsageError, check_workers, faults_from, host_options, listen_address,
                        port_in_use, positive_seconds, settings_from, settings_options,
                        sim_options)
from vantor.host.settings import SettingsError
from .channels import OpsError, parse_channels
from .progress import Progress

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130
CHANNELS_HELP = ("the units: ranks (1,2,5), rank ranges (3-6), MCU.CU names (0.3) or all "
                 "(the default); an empty list is refused")
KEEPS = "default: each unit's configured {}"


def _host_options(p):
    g = p.add_argument_group("host")
    settings_options(g)
    host_options(g)
    g.add_argument("--quiet", action="store_true", help="no progress bar or notes, only the result")
    from . import remote
    remote.add_options(p.add_argument_group("service"))
    sim_options(p)


def _output_options(p, kind):
    p.add_argument("--out", metavar="FILE", default=None,
                   help=f"data file: .h5 (HDF5, NeXus) or .csv; default {kind}-DATE-TIME.h5 "
                        "in the working directory")
    p.add_argument("--plot", metavar="PNG", default=None,
                   help="plot file; default: the data file's name with .png")
    p.add_argument("--no-plot", action="store_true", help="write no plot, only the data file")
    p.add_argument("--force", action="store_true",
                   help="replace data and plot files that exist (refused otherwise)")


def add_subcommands(subparsers):
    iv = subparsers.add_parser(
        "iv", help="run an IV sweep and save curves and plot",
        description="Sweeps the bias current of the chosen units and saves the count rate and "
                    "monitor voltage of every point. Sweep options left out keep each unit's "
                    "configured values. Points must land on the hub's 10 nA grid and rise from "
                    "start to stop. Exit status: 0 done, 1 some units did not complete (the "
                    "curves that did are saved), 2 refused input, 130 interrupted.")
    iv.add_argument("--channels", default="all", metavar="LIST", help=CHANNELS_HELP)
    iv.add_argument("--start", type=float, metavar="A",
                    help="first bias current in amperes, a multiple of 10 nA; "
                         + KEEPS.format("biasIStart"))
    iv.add_argument("--stop", type=float, metavar="A",
                    help="last bias current in amperes (at least --start); "
                         + KEEPS.format("biasIStop"))
    iv.add_argument("--step", type=float, metavar="A",
                    help="bias current step in amperes, a multiple of 10 nA; "
                         + KEEPS.format("biasIStep"))
    iv.add_argument("--point-steps", type=int, metavar="N",
                    help="length of each point in 10 ms steps; " + KEEPS.format("biasSweepT"))
    iv.add_argument("--timeout", type=positive_seconds, metavar="SECONDS",
                    help="give up after this long (default: twice the sweep's length + 10 s)")
    _output_options(iv, "iv")
    _host_options(iv)
    iv.set_defaults(func=iv_command)

    rec = subparsers.add_parser(
        "record", help="record chosen channels for a while and save them",
        description="Records the counts and monitor voltage of every integration window of "
                    "the chosen units. Windows in which a unit sent nothing are saved as empty "
                    "rows marked silent or missing. Exit status: 0 done, 1 incomplete (gaps, "
                    "cut at the recording cap, lost records), 2 refused input, 130 interrupted "
                    "(what was recorded is saved).")
    rec.add_argument("--channels", default="all", metavar="LIST", help=CHANNELS_HELP)
    rec.add_argument("--seconds", type=positive_seconds, required=True,
                     help="length of the recording (Ctrl-C ends it early and saves it)")
    _output_options(rec, "record")
    _host_options(rec)
    rec.set_defaults(func=record_command)

    show = subparsers.add_parser(
        "show", help="summary and plot of a saved sweep or recording",
        description="Prints the summary of a file written by iv or record (channels, points, "
                    "incomplete units, gaps) and draws its plot. Exit status: 0 done, 2 the "
                    "file or an option was refused.")
    show.add_argument("file", metavar="FILE", help="an .h5 or .csv file written by iv or record")
    show.add_argument("--plot", metavar="PNG", default=None,
                      help="plot file; default: FILE's name with .png (replaced only if it is "
                           "the plot of this same run)")
    show.add_argument("--no-plot", action="store_true", help="print the summary only")
    show.add_argument("--force", action="store_true", help="replace the plot file whatever it is")
    show.add_argument("--open", action="store_true",
                      help="open the plot in the desktop's image viewer")
    show.set_defaults(func=show_command)
    return subparsers


def _fail(args, message):
    print(f"vantor {args.command}: {message}", file=sys.stderr)


def _outputs(args, kind):
    """The data file and plot (or None) to write, checked before any work."""
    from .session import check_outputs, default_name
    from .show import plot_path_for

    out = args.out or default_name(kind)
    plot = None if args.no_plot else (args.plot or plot_path_for(out))
    check_outputs(out, plot, args.force)
    return out, plot


def _prepare(args, kind):
    """Everything that can be checked before the host starts."""
    settings = settings_from(args)
    try:
        check_workers(args, settings)
    except UsageError as exc:
        raise OpsError(str(exc)) from None
    ranks = parse_channels(args.channels, settings)
    return (settings, ranks, *_outputs(args, kind))


def _via_service(args, kind):
    """The exit status of the command run on a vantor service, or None to run
    it with a host of its own."""
    from . import remote
    try:
        client = remote.service_for(args)
        if client is None:
            return None
        out, plot = _outputs(args, kind)
        return (remote.iv if kind == "iv" else remote.record)(args, client, out, plot)
    except OpsError as exc:
        _fail(args, exc)
        return EXIT_USAGE


def _say_own_host(args):
    from .remote import own_host_note
    note = own_host_note(args)
    if note and not args.quiet:
        print(note, flush=True)


def _session(args, settings, first_window=False):
    from .session import running_host
    return running_host(settings, hardware=args.hardware, listen=listen_address(args),
                        worker_processes=args.worker_processes, transport=args.transport,
                        faults=faults_from(args), seed=args.seed, first_window=first_window)


def _execute(args, work, interrupted):
    """Run the coroutine function `work`; (0, its result), or an exit status
    with the reason printed (and no result)."""
    try:
        return 0, asyncio.run(work())
    except BrokenPipeError:
        raise                  # the caller leaves quietly
    except (OpsError, OSError) as exc:
        line = port_in_use(exc, args)
        _fail(args, line or exc)
        return (EXIT_USAGE if line else EXIT_FAILED), (None, None)
    except KeyboardInterrupt:
        _fail(args, f"interrupted; {interrupted}; nothing was written")
        return EXIT_INTERRUPTED, (None, None)


def _worker_losses(host):
    """(deaths, records lost) of the host's worker processes so far."""
    state = host.workers_state()
    return state.get("deaths", 0), state.get("lost", 0)


def _note_losses(run, before, after):
    """Marks in the run (and so in its file) that worker processes died while
    it ran; the operator's line for it, or None."""
    deaths, lost = after[0] - before[0], after[1] - before[1]
    run.attrs["worker_deaths"], run.attrs["records_lost"] = deaths, lost
    if not deaths:
        return None
    return (f"data lost: a worker process died {deaths} time(s) during the run and "
            f"{lost} record(s) of its units were lost before it was restarted; the file "
            "holds what arrived")


def iv_command(args):
    from .iv import SweepPlan, SweepTimeout, describe, plan_points, run_sweep
    from .session import save
    remote = _via_service(args, "iv")
    if remote is not None:
        return remote
    try:
        settings, ranks, out, plot = _prepare(args, "iv")
        plan = SweepPlan(args.start, args.stop, args.step, args.point_steps)
        plan_points(settings, ranks, plan)
    except (OpsError, SettingsError) as exc:
        _fail(args, exc)
        return EXIT_USAGE
    _say_own_host(args)

    async def work():
        bar = Progress("IV sweep", quiet=args.quiet)
        failure = None
        async with _session(args, settings) as host:
            before = _worker_losses(host)
            try:
                run = await run_sweep(host, ranks, plan, timeout=args.timeout, progress=bar.update)
            except SweepTimeout as exc:
                if exc.run is None:
                    raise OpsError(f"{exc} Nothing was written.") from None
                run, failure = exc.run, str(exc)      # the curves that completed are kept
            finally:
                bar.finish()
            loss = _note_losses(run, before, _worker_losses(host))
        return save(run, out, plot, args.force), (run, loss, failure)

    status, (written, result) = _execute(args, work, "the units were asked to end the sweep")
    if status:
        return status
    run, loss, failure = result
    if loss:
        _fail(args, loss)
    points = sum(len(ch) for ch in run.channels)
    if failure or run.incomplete:
        done = len(run.channels) - len(run.incomplete)
        reason = failure or ("Incomplete: " + "; ".join(
            f"{describe(settings, ch.rank)} {ch.problem}" for ch in run.incomplete) + ".")
        _fail(args, f"{reason} Saved the {done} complete curve(s), and what the others sent, "
                    f"with those units named in the file: {', '.join(written)}")
        return EXIT_FAILED
    print(f"IV sweep of {len(ranks)} channel(s), {points} points: {', '.join(written)}")
    return EXIT_FAILED if loss else 0


def record_command(args):
    from .record import cap_message, run_recording
    from .session import save
    remote = _via_service(args, "record")
    if remote is not None:
        return remote
    try:
        settings, ranks, out, plot = _prepare(args, "record")
    except (OpsError, SettingsError) as exc:
        _fail(args, exc)
        return EXIT_USAGE
    _say_own_host(args)

    async def work():
        bar = Progress("recording", quiet=args.quiet)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, stop.set)
        try:
            async with _session(args, settings, first_window=True) as host:
                before = _worker_losses(host)
                try:
                    run = await run_recording(host, ranks, args.seconds, progress=bar.update,
                                              stop=stop)
                finally:
                    bar.finish()
                loss = _note_losses(run, before, _worker_losses(host))
        finally:
            for sig in (signal.SIGINT, signal.SIGTERM):
                loop.remove_signal_handler(sig)
        return save(run, out, plot, args.force), (run, loss)

    status, (written, result) = _execute(args, work, "before the recording began")
    if status:
        return status
    run, loss = result
    message = cap_message(run)
    holes = _gap_notes(run)
    for line in (message, loss, *holes):
        if line:
            _fail(args, line)
    if run.attrs["interrupted"]:
        _fail(args, f"interrupted after {run.attrs['recorded_s']:.1f} s; saved what was recorded")
    points = sum(len(ch) - _empty_rows(ch) for ch in run.channels)
    print(f"recorded {len(ranks)} channel(s) for {run.attrs['recorded_s']:.1f} s, "
          f"{points} points: {', '.join(written)}")
    if message or loss or holes:
        return EXIT_FAILED
    return EXIT_INTERRUPTED if run.attrs["interrupted"] else 0


def _empty_rows(ch):
    return sum(1 for s in ch.data.get("status", ()) if s)


def _gap_notes(run):
    """One line per unit whose recording has windows without data."""
    from .run import STATUS_NAMES, gaps, short_windows
    lines = []
    for ch in run.channels:
        found = gaps(ch)
        if ch.problem:
            lines.append(f"unit {ch.label} (rank {ch.rank}) {ch.problem}")
        elif found:
            rows = sum(g[2] for g in found)
            kinds = sorted({STATUS_NAMES[g[3]] for g in found})
            lines.append(f"unit {ch.label} (rank {ch.rank}): {rows} window(s) without data "
                         f"({', '.join(kinds)}) in {len(found)} gap(s); saved as empty rows")
        short = short_windows(run, ch)
        if short:
            lines.append(f"unit {ch.label} (rank {ch.rank}): {len(short)} window(s) missed "
                         f"records, so their counts read low; marked in column 'received'")
    return lines


def show_command(args):
    from .show import show
    try:
        show(args.file, plot=args.plot, no_plot=args.no_plot, open_plot=args.open,
             force=args.force)
    except OpsError as exc:
        _fail(args, exc)
        return EXIT_USAGE
    return 0
