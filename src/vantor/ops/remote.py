"""`vantor iv` and `vantor record` through a running `vantor serve`: the
service runs the job while every unit keeps streaming, and the command
downloads the file and draws the plot here, as it does with a host of its own."""
import sys

from .channels import OpsError
from .progress import Progress

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130


def service_for(args):
    """The Client of the service to use, or None to run a host of our own.
    A --config or --hardware of its own means a host of its own too."""
    from vantor.client import Client

    if args.server:
        client = Client(args.server, token=args.token, via="cli")
        if not client.available():
            raise OpsError(f"no vantor service answers at {args.server}")
        return client
    if args.no_server or args.hardware or args.config:
        return None
    client = Client(None, token=args.token, via="cli")
    if client.available():
        print(f"vantor {args.command}: using the vantor service at {client.url} "
              "(--no-server runs a host of its own)", file=sys.stderr)
        return client
    return None


def own_host_note(args):
    """The line that says a command runs without a service."""
    if args.server or args.no_server or args.hardware or args.config:
        return None
    return (f"vantor {args.command}: no vantor service answers at 127.0.0.1:8765; "
            "running a host of its own")


def add_options(group):
    group.add_argument("--server", metavar="URL", default=None,
                       help="run the job on this running vantor serve (default: the service "
                            "at 127.0.0.1:8765 when one answers, else a host of its own)")
    group.add_argument("--no-server", action="store_true",
                       help="always run a host of its own, even when a service answers")
    group.add_argument("--token", default=None, help="API token of the service "
                                                     "(default $VANTOR_TOKEN)")


def units_of(client, text):
    """--channels as the service understands it."""
    from vantor.host.units import parse_unit_list

    if text is None or not text.strip():
        raise OpsError("channels: empty; name the units, or 'all' for every unit")
    if text.strip() == "all":
        return [u["rank"] for u in client.units()]
    try:
        return parse_unit_list(text)
    except ValueError as exc:
        raise OpsError(str(exc)) from None


def run_job(args, client, kind, submit, out, plot):
    """Submits, follows with a progress bar, cancels on Ctrl-C, then saves the
    file and plot.  Returns the exit status."""
    from vantor.client import ServiceError
    from . import files, plots

    bar = Progress("IV sweep" if kind == "iv" else "recording", quiet=args.quiet)
    job = None
    try:
        job = submit()
        client.wait(job, progress=lambda j: bar.update(j["progress"], 1.0, j["message"]))
    except KeyboardInterrupt:
        bar.finish()
        if job is not None:
            try:
                client.cancel(job)
            except ServiceError:
                pass
        print(f"vantor {args.command}: interrupted; job cancelled on the service",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    except ServiceError as exc:
        bar.finish()
        print(f"vantor {args.command}: {exc}", file=sys.stderr)
        return EXIT_USAGE if exc.status == 400 else EXIT_FAILED
    bar.finish()
    written = [str(client.download(job, out))]
    if plot is not None:
        written.append(str(plots.plot(files.read(out), plot, force=args.force)))
    print(f"{'IV sweep' if kind == 'iv' else 'recording'} on {client.url} (job {job['id']}): "
          f"{', '.join(written)}")
    return 0


def iv(args, client, out, plot):
    units = units_of(client, args.channels)
    return run_job(args, client, "iv", lambda: client.submit_iv(
        units, args.start, args.stop, args.step, args.point_steps, args.timeout), out, plot)


def record(args, client, out, plot):
    units = units_of(client, args.channels)
    return run_job(args, client, "acquire",
                   lambda: client.submit_acquire(units, args.seconds), out, plot)
