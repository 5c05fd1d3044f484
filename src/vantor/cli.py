"""Console command `vantor`: `run` (host with simulator or hardware, live view),
`sim` (the simulator on its own) and the operator commands `iv`, `record` and
`show` (vantor.ops)."""
import argparse
import asyncio
import errno
import logging
import os
import signal
import sys

from vantor.host.settings import SettingsError, default_settings, load_settings
from vantor.sim.faults import Faults, parse_pair


def address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return (host or "127.0.0.1", int(port))


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
    p.add_argument("--config", metavar="FILE", help="settings file (TOML); default: built in")
    p.add_argument("--mcus", type=int, default=4, help="microcontrollers of the built-in settings (not with --config)")
    p.add_argument("--units", type=int, default=8, help="channel units per microcontroller (not with --config)")


def host_options(p):
    p.add_argument("--hardware", type=address, metavar="HOST:PORT",
                   help="talk to real electronics at HOST:PORT instead of the simulator")
    p.add_argument("--listen", type=address, default=None, metavar="HOST:PORT",
                   help="UDP address of the host (default 127.0.0.1:0, or 0.0.0.0:PORT "
                        "of --hardware)")
    p.add_argument("--worker-processes", type=int, default=0, metavar="N",
                   help="run the workers in N processes instead of the host's own")
    p.add_argument("--transport", choices=("ipc", "tcp"), default="ipc",
                   help="ZMQ transport to worker processes")


def listen_address(args):
    from vantor.host.datapath import default_listen
    return args.listen or default_listen(args.hardware)


def sim_options(p):
    g = p.add_argument_group("simulator")
    g.add_argument("--seed", type=int, default=1)
    g.add_argument("--drop", type=float, default=0.0, help="probability a datagram is lost")
    g.add_argument("--duplicate", type=float, default=0.0, help="probability a datagram is doubled")
    g.add_argument("--reorder", type=float, default=0.0,
                   help="probability a step's datagrams leave shuffled")
    g.add_argument("--late", type=float, default=0.0,
                   help="probability a datagram is held back one step")
    g.add_argument("--silence", type=silence_option, action="append", default=[],
                   metavar="MCU.CU[@S[-S]]", help="silence a unit (from/until seconds)")
    g.add_argument("--ignore-updates", type=pair, action="append", default=[], metavar="MCU.CU")
    g.add_argument("--wrong", type=pair, action="append", default=[], metavar="MCU.CU",
                   help="unit starts with settings that differ from its configuration")
    g.add_argument("--burst", type=burst_option, default=None, metavar="SECONDS:STEPS",
                   help="hold STEPS steps of traffic from SECONDS on, then send them at once")
    g.add_argument("--pll-unlocked", type=int, action="append", default=[], metavar="MCU")


def faults_from(args):
    return Faults(drop=args.drop, duplicate=args.duplicate, reorder=args.reorder, late=args.late,
                  silence=dict(args.silence), ignore_updates=set(args.ignore_updates),
                  wrong=set(args.wrong), burst=args.burst, pll_unlocked=set(args.pll_unlocked))


def settings_from(args):
    if args.config:
        return load_settings(args.config)
    return default_settings(args.mcus, args.units)


def parser():
    p = argparse.ArgumentParser(prog="vantor", description=__doc__)
    sub = p.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="host and simulator (or hardware) with a live view")
    settings_options(run)
    run.add_argument("--seconds", type=float, default=None, help="stop after this long")
    host_options(run)
    run.add_argument("--sweep-after", type=float, default=None, metavar="SECONDS",
                     help="start an IV sweep on every unit after this long")
    run.add_argument("--no-view", action="store_true", help="print only the final summary")
    sim_options(run)
    sim = sub.add_parser("sim", help="the simulator on its own, sending to a host")
    settings_options(sim)
    sim.add_argument("--seconds", type=float, default=None, help="stop after this long")
    sim.add_argument("--target", type=address, required=True, metavar="HOST:PORT")
    sim_options(sim)
    from vantor.ops.cli import add_subcommands   # here: vantor.ops.cli imports this module
    add_subcommands(sub)
    from vantor.service.command import add_subcommands as add_service_commands
    add_service_commands(sub)
    from vantor.service.alarm_commands import add_subcommands as add_alarm_commands
    add_alarm_commands(sub)
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
        sweep, keys = None, Keys({}, view.out)
        if not args.no_view:
            tasks.append(asyncio.create_task(view.run()))
            if keys.active:
                from vantor.ops.live import LiveSweep
                sweep = LiveSweep(host, view.notes)
                keys.actions = {"s": sweep.start, "q": stop.set}
        if args.sweep_after is not None:
            loop = asyncio.get_running_loop()
            loop.call_later(args.sweep_after, host.start_sweeps)
        with keys:
            await _until_stopped(args.seconds, stop)
        if sweep is not None:
            await sweep.close()
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        view.draw()
        name = host.shm_name
    print(f"stopped; shared memory {name} released")
    return 0


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
    signal.raise_signal(signal.SIGINT)


def main(argv=None):
    args = parser().parse_args(argv)
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
