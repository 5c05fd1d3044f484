"""Console command `vantor`: `run` (host with simulator or hardware, live view),
`sim` (the simulator on its own) and the operator commands `iv`, `record` and
`show` (vantor.ops)."""

DESCRIPTION = """Read-out of multi-channel sensor electronics: run the host with the
simulator or real hardware (run, serve), sweep and record channels (iv,
record), look at saved files (show), and change or watch a running service
(set, status), and hand out tokens for it (token).  "vantor COMMAND --help"
describes each command."""
import argparse
import asyncio
import errno
import logging
import os
import signal
import socket
import sys

from vantor.host.settings import SettingsError, default_settings, load_settings
from vantor.sim.faults import Faults, parse_pair


def address(text):
    """HOST:PORT, the host name resolved now: a name that does not resolve is
    refused at once rather than sending into the void."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    host = host or "127.0.0.1"
    try:
        socket.getaddrinfo(host, int(port), type=socket.SOCK_DGRAM)
    except (socket.gaierror, UnicodeError) as exc:
        raise argparse.ArgumentTypeError(f"cannot resolve host {host!r} of {text!r}: "
                                         f"{getattr(exc, 'strerror', None) or exc}") from None
    return (host, int(port))


def positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected seconds, got {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"expected seconds > 0, got {text!r}")
    return value


def whole(low, high=None):
    """An argparse type: an integer low..high."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < low or (high is not None and value > high):
            span = f"{low} to {high}" if high is not None else f"{low} or more"
            raise argparse.ArgumentTypeError(f"expected {span}, got {value}")
        return value
    return parse


def probability(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a probability 0 to 1, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a probability 0 to 1, got {text!r}")
    return value


# Options whose values may be negative numbers: "--start -1e-5" is read as
# "--start=-1e-5" (argparse would take "-1e-5" for an option).
NUMBER_OPTIONS = {"--start", "--stop", "--step", "--seconds", "--timeout", "--sweep-after",
                  "--worker-processes", "--point-steps", "--seed", "--mcus", "--units"}


def _joined_numbers(argv):
    out, args = [], list(argv)
    k = 0
    while k < len(args):
        word = args[k]
        if word in NUMBER_OPTIONS and k + 1 < len(args):
            try:
                float(args[k + 1])
            except ValueError:
                pass
            else:
                out.append(f"{word}={args[k + 1]}")
                k += 2
                continue
        out.append(word)
        k += 1
    return out


def pair(text):
    try:
        return parse_pair(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def silence_option(text):
    """MCU.CU[@SECONDS[-SECONDS]] -> (pair, (first step, back step or None))."""
    unit, _, when = text.partition("@")
    first, _, back = when.partition("-")
    try:
        span = (int(float(first or 0) * 100) + 1, int(float(back) * 100) + 1 if back else None)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MCU.CU[@S[-S]], got {text!r}") from None
    return pair(unit), span


def burst_option(text):
    at, _, steps = text.partition(":")
    try:
        return int(float(at) * 100) + 1, int(steps or 50)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected SECONDS:STEPS, got {text!r}") from None


def settings_options(p):
    p.add_argument("--config", metavar="FILE",
                   help="settings file (TOML: units, their configuration, limits); default: "
                        "built-in settings of --mcus x --units units")
    p.add_argument("--mcus", type=whole(1, 256), default=4, metavar="N",
                   help="microcontrollers of the built-in settings (not with --config; default 4)")
    p.add_argument("--units", type=whole(1, 256), default=8, metavar="N",
                   help="channel units per microcontroller of the built-in settings (not with "
                        "--config; default 8)")


def host_options(p):
    p.add_argument("--hardware", type=address, metavar="HOST:PORT",
                   help="talk to real electronics at HOST:PORT instead of the simulator")
    p.add_argument("--listen", type=address, default=None, metavar="HOST:PORT",
                   help="UDP address of the host (default 127.0.0.1:0, or 0.0.0.0:PORT "
                        "of --hardware)")
    p.add_argument("--worker-processes", type=whole(0), default=0, metavar="N",
                   help="run the channel units' workers in N processes (at most one per unit) "
                        "instead of the host's own; default 0")
    p.add_argument("--transport", choices=("ipc", "tcp"), default="ipc",
                   help="how the host talks to worker processes: ipc (local sockets, default) "
                        "or tcp")


def listen_address(args):
    from vantor.host.datapath import default_listen
    return args.listen or default_listen(args.hardware)


def sim_options(p):
    g = p.add_argument_group("simulator")
    g.add_argument("--seed", type=int, default=1, metavar="N",
                   help="seed of the simulated counts and faults: the same seed gives the same "
                        "run (default 1)")
    g.add_argument("--drop", type=probability, default=0.0, metavar="P",
                   help="probability a datagram is lost (0 to 1)")
    g.add_argument("--duplicate", type=probability, default=0.0, metavar="P",
                   help="probability a datagram is sent twice")
    g.add_argument("--reorder", type=probability, default=0.0, metavar="P",
                   help="probability a step's datagrams leave shuffled")
    g.add_argument("--late", type=probability, default=0.0, metavar="P",
                   help="probability a datagram is held back one step")
    g.add_argument("--silence", type=silence_option, action="append", default=[],
                   metavar="MCU.CU[@S[-S]]",
                   help="the unit sends nothing (from S seconds on, until the second S); "
                        "repeatable")
    g.add_argument("--ignore-updates", type=pair, action="append", default=[], metavar="MCU.CU",
                   help="the unit ignores settings updates (so never starts a sweep); repeatable")
    g.add_argument("--wrong", type=pair, action="append", default=[], metavar="MCU.CU",
                   help="the unit starts with settings that differ from its configuration; "
                        "repeatable")
    g.add_argument("--burst", type=burst_option, default=None, metavar="SECONDS:STEPS",
                   help="hold STEPS steps of traffic from SECONDS on, then send them at once")
    g.add_argument("--pll-unlocked", type=int, action="append", default=[], metavar="MCU",
                   help="microcontroller MCU reports its PLL unlocked; repeatable")


def faults_from(args):
    return Faults(drop=args.drop, duplicate=args.duplicate, reorder=args.reorder, late=args.late,
                  silence=dict(args.silence), ignore_updates=set(args.ignore_updates),
                  wrong=set(args.wrong), burst=args.burst, pll_unlocked=set(args.pll_unlocked))


def settings_from(args):
    if args.config:
        return load_settings(args.config)
    return default_settings(args.mcus, args.units)


def parser():
    p = argparse.ArgumentParser(prog="vantor", description=DESCRIPTION)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = sub.add_parser(
        "run", help="host and simulator (or hardware) with a live view",
        description="Runs the host with the simulator (or, with --hardware, facing real "
                    "electronics) and shows every unit live, until Ctrl-C, q or --seconds. "
                    "In the view, s sweeps every unit and saves the curves as "
                    "iv-DATE-TIME.h5 and .png.")
    settings_options(run)
    run.add_argument("--seconds", type=positive_seconds, default=None,
                     help="stop after this long (default: until Ctrl-C or q)")
    host_options(run)
    run.add_argument("--sweep-after", type=positive_seconds, default=None, metavar="SECONDS",
                     help="after this long, sweep every unit with its configured sweep settings "
                          "and save the curves as the s key does")
    run.add_argument("--no-view", action="store_true",
                     help="no live view; print only the final summary")
    sim_options(run)
    sim = sub.add_parser(
        "sim", help="the simulator on its own, sending to a host",
        description="Simulates the electronics of the settings and sends their datagrams to "
                    "a host listening elsewhere, until Ctrl-C or --seconds.")
    settings_options(sim)
    sim.add_argument("--seconds", type=positive_seconds, default=None,
                     help="stop after this long (default: until Ctrl-C)")
    sim.add_argument("--target", type=address, required=True, metavar="HOST:PORT",
                     help="UDP address of the host to send to (its --listen address)")
    sim_options(sim)
    from vantor.ops.cli import add_subcommands   # here: vantor.ops.cli imports this module
    add_subcommands(sub)
    from vantor.service.command import add_subcommands as add_service_commands
    add_service_commands(sub)
    from vantor.service.alarm_commands import add_subcommands as add_alarm_commands
    add_alarm_commands(sub)
    from vantor.service.token_commands import add_subcommands as add_token_commands
    add_token_commands(sub)
    from vantor.tune.command import add_subcommands as add_tune_commands
    add_tune_commands(sub)
    from vantor.site.command import add_subcommands as add_site_commands
    add_site_commands(sub)
    return p


async def _until_stopped(seconds, stop=None):
    stop = stop or asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), seconds)
    except asyncio.TimeoutError:
        pass
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(sig)


async def run_command(args):
    from vantor.host.view import Keys, LiveView
    from vantor.system import System

    settings = settings_from(args)
    check_workers(args, settings)
    system = System(settings, hardware=args.hardware, listen=listen_address(args),
                    worker_processes=args.worker_processes, transport=args.transport,
                    faults=faults_from(args), seed=args.seed)
    async with system:
        host, tasks = system.host, []
        if args.hardware:
            source = f"hardware {args.hardware[0]}:{args.hardware[1]}"
        else:
            source = f"simulator {len(settings.devices)} x {len(settings.units()) // len(settings.devices)}"
        title = (f"{source}   listening {host.address[0]}:{host.address[1]}   "
                 f"buffSize {settings.buffSize}   workers "
                 f"{'in ' + str(args.worker_processes) + ' processes' if args.worker_processes else 'in-process'}")
        view = LiveView(host, title)
        stop = asyncio.Event()
        sweep, keys, outcome = None, Keys({}, view.out), None
        if not args.no_view:
            drawing = asyncio.create_task(view.run())
            # Nobody reads the view any more (`vantor run | head`): stop, as Ctrl-C does.
            drawing.add_done_callback(lambda t: t.cancelled() or not isinstance(
                t.exception(), BrokenPipeError) or stop.set())
            tasks.append(drawing)
            if keys.active:
                from vantor.ops.live import LiveSweep
                sweep = LiveSweep(host, view.notes)
                keys.actions = {"s": sweep.start, "q": stop.set, "n": view.turn,
                                "p": lambda: view.turn(-1)}
        if args.sweep_after is not None:
            if sweep is None:            # no keys: the sweep is saved all the same
                from vantor.ops.live import LiveSweep
                sweep = LiveSweep(host, [] if args.no_view else view.notes, keys=False)
            loop = asyncio.get_running_loop()
            loop.call_later(args.sweep_after, sweep.start)
        with keys:
            await _until_stopped(args.seconds, stop)
        if sweep is not None:
            outcome = await sweep.close()
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        view.draw()
        name = host.shm_name
    if outcome:
        print(outcome)
    print(f"stopped; shared memory {name} released")
    return 1 if sweep is not None and sweep.failed else 0


async def sim_command(args):
    from vantor.sim import Simulator

    settings = settings_from(args)
    sim = Simulator(settings, args.target, seed=args.seed, faults=faults_from(args))
    await sim.start()
    task = asyncio.create_task(sim.run())
    print(f"simulating {len(settings.units())} units, sending to {args.target[0]}:{args.target[1]}")
    await _until_stopped(args.seconds)
    sim.stop()
    steps = await task
    sim.close()
    print(f"{steps} steps, {sim.datagrams_sent} datagrams, {sim.status_sent} status records, "
          f"{sum(u.updates_applied for u in sim.units.values())} updates applied")
    return 0


def port_in_use(exc, args):
    """The one line for a UDP address another program holds, or None when
    `exc` is some other failure."""
    if not isinstance(exc, OSError) or exc.errno != errno.EADDRINUSE:
        return None
    if args.command == "sim" or not hasattr(args, "listen"):
        return f"an address is already in use: {exc.strerror}"
    host, port = listen_address(args)
    return (f"UDP address {host}:{port} is already in use (another vantor?); stop that "
            "program or choose another address with --listen")


def _output_closed():
    """The reader of our output went away (`vantor ... | head`): send what is
    still buffered nowhere, so leaving does not fail once more."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    return 141   # as if ended by SIGPIPE, what shells report for a closed pipe


def _terminate_as_interrupt(signum, frame):
    """SIGTERM (a service manager, `kill`) does what Ctrl-C does: a command
    saves what it has, ends a sweep and restores the units."""
    if signal.getsignal(signal.SIGINT) in (signal.SIG_IGN, signal.SIG_DFL, None):
        # A shell starts background jobs with SIGINT ignored: raising it would
        # do nothing, and `kill` would not stop the command.
        raise KeyboardInterrupt
    signal.raise_signal(signal.SIGINT)


class UsageError(ValueError):
    """Options that cannot be used together or with these settings."""


def check_workers(args, settings):
    """More worker processes than units would leave processes with nothing to do."""
    n = getattr(args, "worker_processes", 0) or 0
    units = len(settings.units())
    if n > units:
        raise UsageError(f"--worker-processes {n} is more than the {units} units of the "
                            f"settings (at most one process per unit)")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parser().parse_args(_joined_numbers(argv))
    logging.basicConfig(level=logging.WARNING, format="%(name)s: %(message)s")
    previous = signal.signal(signal.SIGTERM, _terminate_as_interrupt)
    try:
        return _main(args)
    finally:
        signal.signal(signal.SIGTERM, previous)


def _main(args):
    try:
        if args.command not in ("run", "sim"):
            return args.func(args)
        command = run_command if args.command == "run" else sim_command
        return asyncio.run(command(args))
    except SettingsError as exc:
        print(f"vantor: settings: {exc}", file=sys.stderr)
        return 2
    except UsageError as exc:
        print(f"vantor {args.command}: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return _output_closed()
    except OSError as exc:
        line = port_in_use(exc, args)
        if line is None:
            raise
        print(f"vantor: {line}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
