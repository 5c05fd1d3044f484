"""Console commands of the service: `vantor serve` runs it; `vantor set` and
`vantor status` talk to a running one."""
import asyncio
import json
import sys
from pathlib import Path

DEFAULT_HTTP = ("127.0.0.1", 8765)
DEFAULT_URL = "http://127.0.0.1:8765"


def add_subcommands(sub):
    from vantor.cli import address, host_options, settings_options, sim_options

    serve = sub.add_parser(
        "serve", help="run the host as a long-running service with an HTTP API and dashboard",
        description="Runs the host (with the simulator, or facing hardware with --hardware) "
                    "and an HTTP/JSON API, a live WebSocket stream and the browser dashboard "
                    "on one address, until Ctrl-C or SIGTERM.")
    settings_options(serve)
    serve.add_argument("--http", type=address, default=DEFAULT_HTTP, metavar="HOST:PORT",
                       help="address of the API and dashboard (default 127.0.0.1:8765; port 0 "
                            "picks a free one). Off loopback every request needs a token.")
    serve.add_argument("--data", metavar="DIR", default=None,
                       help="data directory: tokens, settings of built-in setups, job files, "
                            "archive (default $VANTOR_DATA, $XDG_DATA_HOME/vantor or "
                            "~/.local/share/vantor)")
    serve.add_argument("--auth", choices=("auto", "always"), default="auto",
                       help="auto: tokens are needed off loopback (default); always: on "
                            "loopback too, for computers several people use")
    serve.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                       help="a host name the service answers to besides its addresses and "
                            "localhost (the name in the browser's address bar, or the one "
                            "a reverse proxy passes on); repeatable")
    serve.add_argument("--tls-cert", metavar="FILE", default=None,
                       help="serve HTTPS and WSS with this certificate (PEM; with --tls-key)")
    serve.add_argument("--tls-key", metavar="FILE", default=None,
                       help="the private key of --tls-cert (PEM)")
    serve.add_argument("--archive", metavar="URL|FILE", default=None,
                       help="the archive: a PostgreSQL database (postgresql://USER@HOST:PORT/DB; "
                            "the password from ~/.pgpass or PGPASSWORD) or an SQLite file "
                            "(default: archive.sqlite in the data directory)")
    serve.add_argument("--epics", metavar="PREFIX", default=None,
                       help="serve every unit, board and total as EPICS records named PREFIX... "
                            "over Channel Access and pvAccess (also [epics] in the settings; "
                            "needs the epics extra)")
    serve.add_argument("--epics-writes", action="store_true",
                       help="take puts to PREFIXU<rank>:BIAS_SP (off by default; limited by "
                            "[epics] access_security)")
    serve.add_argument("--bus", metavar="URL", default=None,
                       help="the site's NATS bus (nats://HOST:PORT or tls://...; also [bus] "
                            "in the settings): this host publishes its windows, state, events "
                            "and alarms there and takes commands (needs the site extra)")
    serve.add_argument("--node", metavar="NAME", default=None,
                       help="this host's name at the site (with --bus; also [bus] node)")
    serve.add_argument("--show-token", action="store_true",
                       help="print your operator token (creating it if needed) and exit")
    host_options(serve)
    sim_options(serve)
    serve.set_defaults(func=serve_command)

    server_help = ("URL of a running vantor serve (default $VANTOR_URL, else the address of "
                   f"your running service, else {DEFAULT_URL})")
    setc = sub.add_parser(
        "set", help="change settings of units through a running service",
        description="Writes FIELD=VALUE into the configuration of each unit and waits until "
                    "every unit echoes the new settings. Example: vantor set 1,0.3 biasI=1.5e-5")
    setc.add_argument("units", metavar="UNITS",
                      help="ranks (1,2,5), ranges (3-6) or MCU.CU names (0.3), comma-separated")
    setc.add_argument("changes", metavar="FIELD=VALUE", nargs="+",
                      help="cu_config field and value, e.g. biasI=1.5e-5 or powered=0")
    setc.add_argument("--server", metavar="URL", default=None, help=server_help)
    setc.add_argument("--token", default=None, help="API token (default $VANTOR_TOKEN)")
    setc.add_argument("--timeout", type=float, default=5.0, metavar="SECONDS",
                      help="how long units may take to echo the change (default 5)")
    setc.set_defaults(func=set_command)

    status = sub.add_parser("status", help="units, boards and totals of a running service",
                            description="One table of every unit and board of a running "
                                        "service, and its totals.")
    status.add_argument("--server", metavar="URL", default=None, help=server_help)
    status.add_argument("--token", default=None, help="API token (default $VANTOR_TOKEN)")
    status.add_argument("--json", action="store_true", help="the snapshot as JSON")
    status.set_defaults(func=status_command)


def _data_dir(args):
    from .local import default_data_dir
    return Path(args.data).expanduser() if getattr(args, "data", None) else default_data_dir()


def _settings(args, data_dir):
    """The settings and the file changes are saved to.  Without --config a
    built-in setup lives in the data directory once it was changed, and a
    restart takes it from there."""
    from vantor.cli import settings_from
    from vantor.host.settings import load_settings

    if args.config:
        return settings_from(args), Path(args.config)
    kept = data_dir / "settings.toml"
    if kept.exists():
        print(f"settings from {kept} (changes made through the service)", flush=True)
        return load_settings(kept), kept
    return settings_from(args), kept


def serve_command(args):
    from vantor.cli import faults_from, listen_address
    from vantor.host.settings import SettingsError
    from vantor.epics.server import EpicsUnavailable
    from vantor.site.connection import BusError
    from vantor.system import System
    from .app import serve
    from .local import is_loopback
    from .security import Access
    from .tokens import TokenError, TokenStore

    data_dir = _data_dir(args)
    store = TokenStore(data_dir)
    required = args.auth == "always" or not is_loopback(args.http[0])
    try:
        data_dir.mkdir(parents=True, exist_ok=True)
        if args.show_token:
            print(store.local_operator())
            return 0
        if required:
            store.local_operator()        # this user's client and commands find it
        store.tokens()
    except OSError as exc:
        print(f"vantor serve: data directory {data_dir}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    except TokenError as exc:
        print(f"vantor serve: {exc}", file=sys.stderr)
        return 2
    try:
        ssl_context = tls_context(args.tls_cert, args.tls_key)
    except ValueError as exc:
        print(f"vantor serve: {exc}", file=sys.stderr)
        return 2
    names = {name.strip().lower() for item in args.allow_host for name in item.split(",")
             if name.strip()}
    names.add(args.http[0].lower())
    access = Access(store, required, frozenset(names), tls=ssl_context is not None)
    try:
        settings, settings_path = _settings(args, data_dir)
    except SettingsError as exc:
        print(f"vantor: settings: {exc}", file=sys.stderr)
        return 2
    try:
        epics = _epics_options(args, settings)
        bus = _bus_options(args, settings)
    except (ValueError, RuntimeError) as exc:
        print(f"vantor serve: {exc}", file=sys.stderr)
        return 2
    system = System(settings, hardware=args.hardware, listen=listen_address(args),
                    worker_processes=args.worker_processes, transport=args.transport,
                    faults=faults_from(args), seed=args.seed)

    def ready(url):
        if epics.enabled:
            print(f"EPICS records {epics.prefix}... over Channel Access and pvAccess, writes "
                  f"{'on' if epics.writes else 'off'}", flush=True)
        if bus.enabled:
            print(f"node {bus.node} of the site bus {bus.url}", flush=True)
        print(f"serving {url}", flush=True)
        if required:
            print(f"every request needs a token: yours (operator) is in {data_dir / 'token'}; "
                  "vantor token create --role viewer NAME makes one for others", flush=True)

    try:
        asyncio.run(serve(system, http=args.http, data_dir=data_dir, settings_path=settings_path,
                          access=access, ssl_context=ssl_context, cert=args.tls_cert,
                          archive=args.archive, ready=ready, epics=epics, bus=bus))
    except (EpicsUnavailable, BusError) as exc:
        print(f"vantor serve: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        import errno
        if exc.errno == errno.EADDRINUSE:
            print(f"vantor serve: an address is already in use ({exc.strerror}): choose another "
                  "with --http HOST:PORT or --listen HOST:PORT", file=sys.stderr)
            return 2
        if exc.errno == errno.EADDRNOTAVAIL:
            print(f"vantor serve: {args.http[0]} is no address of this machine ({exc.strerror})",
                  file=sys.stderr)
            return 2
        raise
    print("stopped", flush=True)
    return 0


def _epics_options(args, settings):
    """[epics] with --epics and --epics-writes applied; the extra checked when needed."""
    epics = settings.epics.with_command_line(args.epics, args.epics_writes)
    if epics.enabled:
        from vantor.epics.server import check_available
        check_available()
    return epics


def _bus_options(args, settings):
    """[bus] with --bus and --node applied; a node needs a name and the extra."""
    from vantor.site.options import BusOptions
    bus = (settings.bus or BusOptions()).with_command_line(args.bus, args.node)
    if bus.enabled:
        if bus.node is None:
            raise ValueError("--bus: needs --node NAME (or [bus] node), this host's name at "
                             "the site")
        try:
            import nats  # noqa: F401
        except ImportError:
            raise RuntimeError("--bus needs nats-py: pip install 'vantor[site]'") from None
    return bus


def tls_context(cert, key):
    """The server's TLS context for --tls-cert/--tls-key, None without them;
    ValueError with one line when they cannot be used."""
    import ssl

    if cert is None and key is None:
        return None
    if cert is None or key is None:
        raise ValueError("--tls-cert and --tls-key go together")
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    try:
        context.load_cert_chain(cert, key)
    except FileNotFoundError as exc:
        raise ValueError(f"TLS: {exc.filename}: no such file") from None
    except (ssl.SSLError, OSError) as exc:
        raise ValueError(f"TLS certificate {cert} with key {key}: "
                         f"{getattr(exc, 'reason', None) or exc}") from None
    return context


def _client(args):
    from vantor.client import Client
    return Client(args.server, token=args.token, via="cli")


def _parse_value(field, text):
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{field}: expected a number, got {text!r}") from None


def set_command(args):
    from vantor.client import ServiceError
    from vantor.host.units import parse_unit_list

    changes = {}
    try:
        for item in args.changes:
            field, sep, text = item.partition("=")
            if not sep or not field:
                raise ValueError(f"expected FIELD=VALUE, got {item!r}")
            changes[field.strip()] = _parse_value(field.strip(), text.strip())
        units = parse_unit_list(args.units)
    except ValueError as exc:
        print(f"vantor set: {exc}", file=sys.stderr)
        return 2
    try:
        answer = _client(args).configure(units, timeout=args.timeout, **changes)
    except ServiceError as exc:
        print(f"vantor set: {exc}", file=sys.stderr)
        return 2 if exc.status in (400, 404) else 1
    names = ", ".join(u["name"] for u in answer)
    print(f"set {', '.join(f'{k}={v}' for k, v in changes.items())} on {names}: every unit "
          "echoes it")
    return 0


def status_command(args):
    from vantor.client import ServiceError
    from vantor.host.view import render

    try:
        client = _client(args)
        snap = client.snapshot()
    except ServiceError as exc:
        print(f"vantor status: {exc}", file=sys.stderr)
        return 1
    if args.json:
        print(json.dumps(snap, indent=1))
    elif snap.get("site"):
        from vantor.site.view import render_site
        print(render_site(snap, f"vantor status   {client.url}   site"))
    else:
        print(render(snap, f"vantor status   {client.url}   up "
                           f"{snap['uptime']:.0f} s"))
    return 0
