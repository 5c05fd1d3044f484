"""Operator commands `iv`, `record` and `show`; `add_subcommands(subparsers)`
adds them to the `vantor` command.  Each parsed command carries
`func(args) -> exit status`."""
import asyncio
import signal
import sys

from vantor.cli import (faults_from, host_options, listen_address, port_in_use, settings_from,
                        settings_options, sim_options)
from vantor.host.settings import SettingsError
from .channels import OpsError, parse_channels
from .progress import Progress

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130
CHANNELS_HELP = "ranks (1,2,5), ranges (3-6) or MCU.CU pairs (0.3); default all"


def _host_options(p):
    g = p.add_argument_group("host")
    settings_options(g)
    host_options(g)
    g.add_argument("--quiet", action="store_true", help="no progress bar")
    from . import remote
    remote.add_options(p.add_argument_group("service"))
    sim_options(p)


def _output_options(p, kind):
    p.add_argument("--out", metavar="FILE", default=None,
                   help=f"data file: .h5 (HDF5) or .csv; default {kind}-DATE-TIME.h5")
    p.add_argument("--plot", metavar="PNG", default=None,
                   help="plot file; default: the data file's name with .png")
    p.add_argument("--no-plot", action="store_true", help="write no plot")


def add_subcommands(subparsers):
    iv = subparsers.add_parser("iv", help="run an IV sweep and save curves and plot")
    iv.add_argument("--channels", default="all", metavar="LIST", help=CHANNELS_HELP)
    iv.add_argument("--start", type=float, metavar="A", help="first bias current, amperes")
    iv.add_argument("--stop", type=float, metavar="A", help="last bias current, amperes")
    iv.add_argument("--step", type=float, metavar="A", help="bias current step, amperes")
    iv.add_argument("--point-steps", type=int, metavar="N", help="10 ms steps per point")
    iv.add_argument("--timeout", type=float, metavar="SECONDS",
                    help="give up after this long (default: twice the sweep's length + 10 s)")
    _output_options(iv, "iv")
    _host_options(iv)
    iv.set_defaults(func=iv_command)

    rec = subparsers.add_parser("record", help="record chosen channels for a while and save them")
    rec.add_argument("--channels", default="all", metavar="LIST", help=CHANNELS_HELP)
    rec.add_argument("--seconds", type=float, required=True, help="length of the recording")
    _output_options(rec, "record")
    _host_options(rec)
    rec.set_defaults(func=record_command)

    show = subparsers.add_parser("show", help="summary and plot of a saved sweep or recording")
    show.add_argument("file", metavar="FILE")
    show.add_argument("--plot", metavar="PNG", default=None,
                      help="plot file; default: FILE's name with .png")
    show.add_argument("--no-plot", action="store_true")
    show.add_argument("--open", action="store_true", help="open the plot in the desktop's viewer")
    show.set_defaults(func=show_command)
    return subparsers


def _fail(args, message):
    print(f"vantor {args.command}: {message}", file=sys.stderr)


def _prepare(args, kind):
    """Everything that can be checked before the host starts."""
    from .session import check_outputs, default_name
    from .show import plot_path_for

    settings = settings_from(args)
    ranks = parse_channels(args.channels, settings)
    out = args.out or default_name(kind)
    plot = None if args.no_plot else (args.plot or plot_path_for(out))
    check_outputs(out, plot)
    return settings, ranks, out, plot


def _via_service(args, kind):
    """The exit status of the command run on a vantor service, or None to run
    it with a host of its own."""
    from . import remote
    from .session import check_outputs, default_name
    from .show import plot_path_for
    try:
        client = remote.service_for(args)
        if client is None:
            return None
        out = args.out or default_name("iv" if kind == "iv" else "record")
        plot = None if args.no_plot else (args.plot or plot_path_for(out))
        check_outputs(out, plot)
        return (remote.iv if kind == "iv" else remote.record)(args, client, out, plot)
    except OpsError as exc:
        _fail(args, exc)
        return EXIT_USAGE


def _say_own_host(args):
    from .remote import own_host_note
    note = own_host_note(args)
    if note and not args.quiet:
        print(note, flush=True)


def _session(args, settings):
    from .session import running_host
    return running_host(settings, hardware=args.hardware, listen=listen_address(args),
                        worker_processes=args.worker_processes, transport=args.transport,
                        faults=faults_from(args), seed=args.seed)


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
    state = host.path.workers_state()
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
    from .iv import SweepPlan, plan_points, run_sweep
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
        async with _session(args, settings) as host:
            before = _worker_losses(host)
            try:
                run = await run_sweep(host, ranks, plan, timeout=args.timeout, progress=bar.update)
            finally:
                bar.finish()
            loss = _note_losses(run, before, _worker_losses(host))
        return save(run, out, plot), (run, loss)

    status, (written, result) = _execute(args, work, "the units were asked to end the sweep")
    if status:
        return status
    run, loss = result
    if loss:
        _fail(args, loss)
    points = sum(len(ch) for ch in run.channels)
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
        if not args.seconds > 0:
            raise OpsError(f"--seconds must be positive, got {args.seconds:g}")
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
            async with _session(args, settings) as host:
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
        return save(run, out, plot), (run, loss)

    status, (written, result) = _execute(args, work, "before the recording began")
    if status:
        return status
    run, loss = result
    message = cap_message(run)
    for line in (message, loss):
        if line:
            _fail(args, line)
    if run.attrs["interrupted"]:
        _fail(args, f"interrupted after {run.attrs['recorded_s']:.1f} s; saved what was recorded")
    points = sum(len(ch) for ch in run.channels)
    print(f"recorded {len(ranks)} channel(s) for {run.attrs['recorded_s']:.1f} s, "
          f"{points} points: {', '.join(written)}")
    if message or loss:
        return EXIT_FAILED
    return EXIT_INTERRUPTED if run.attrs["interrupted"] else 0


def show_command(args):
    from .show import show
    try:
        show(args.file, plot=args.plot, no_plot=args.no_plot, open_plot=args.open)
    except OpsError as exc:
        _fail(args, exc)
        return EXIT_FAILED
    return 0
