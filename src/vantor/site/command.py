"""`vantor site`: one view, API, archive and alarms over every node on the bus."""
import asyncio
import sys
from dataclasses import replace
from pathlib import Path

DEFAULT_HTTP = ("127.0.0.1", 8766)


def add_subcommands(sub):
    from vantor.cli import address, positive_seconds

    site = sub.add_parser(
        "site", help="one view over several read-out hosts (nodes) on a NATS JetStream bus",
        description="Serves the dashboard, HTTP API, live stream, /metrics, alarms and history "
                    "of every node on the bus (units named NODE/RANK or NODE/MCU.CU), archives "
                    "every window durably from the bus's stream, and forwards commands to the "
                    "node that owns the units, until Ctrl-C or SIGTERM.")
    site.add_argument("--bus", metavar="URL", default=None,
                      help="the bus, nats://HOST:PORT or tls://HOST:PORT (or [bus] url in "
                           "--config; authentication and TLS from [bus])")
    site.add_argument("--http", type=address, default=DEFAULT_HTTP, metavar="HOST:PORT",
                      help="address of the API and dashboard (default 127.0.0.1:8766; port 0 "
                           "picks a free one). Off loopback every request needs a token.")
    site.add_argument("--data", metavar="DIR", default=None,
                      help="data directory: tokens and the SQLite archive (default: site/ in "
                           "vantor serve's data directory)")
    site.add_argument("--archive", metavar="URL|FILE", default=None,
                      help="the archive: postgresql://USER@HOST:PORT/DB or an SQLite file "
                           "(default: archive.sqlite in the data directory)")
    site.add_argument("--config", metavar="FILE", default=None,
                      help="TOML file with [bus], [archive] and [site] tables")
    site.add_argument("--heartbeat-timeout", type=positive_seconds, default=None,
                      metavar="SECONDS",
                      help="a node is lost (an alarm) after this long without a heartbeat "
                           "(default [site] heartbeat_timeout_s, else 3 x [bus] heartbeat_s)")
    site.add_argument("--auth", choices=("auto", "always"), default="auto",
                      help="auto: tokens are needed off loopback (default); always: everywhere")
    site.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                      help="a host name the site answers to besides its addresses; repeatable")
    site.set_defaults(func=site_command)


def site_command(args):
    from vantor.service.local import default_data_dir, is_loopback
    from vantor.service.security import Access
    from vantor.service.tokens import TokenError, TokenStore
    from .server import SiteError, default_archive, load_config, serve

    def fail(text):
        print(f"vantor site: {text}", file=sys.stderr)
        return 2

    try:
        config = load_config(args.config)
        bus = config.bus.with_command_line(url=args.bus)
    except (SiteError, ValueError) as exc:
        return fail(exc)
    if not bus.enabled:
        return fail("--bus: needed (nats://HOST:PORT), or [bus] url in --config")
    site_options = config.site
    if args.heartbeat_timeout is not None:
        site_options = replace(site_options, heartbeat_timeout_s=args.heartbeat_timeout)
    config = replace(config, bus=bus, site=site_options)
    data_dir = Path(args.data).expanduser() if args.data else default_data_dir() / "site"
    tokens = TokenStore(data_dir)
    required = args.auth == "always" or not is_loopback(args.http[0])
    try:
        data_dir.mkdir(parents=True, exist_ok=True)
        if required:
            tokens.local_operator()
        tokens.tokens()
    except OSError as exc:
        return fail(f"data directory {data_dir}: {exc.strerror or exc}")
    except TokenError as exc:
        return fail(exc)
    names = {n.strip().lower() for item in args.allow_host for n in item.split(",") if n.strip()}
    names.add(args.http[0].lower())
    access = Access(tokens, required, frozenset(names))

    def ready(url):
        print(f"serving {url}", flush=True)
        if required:
            print(f"every request needs a token: yours (operator) is in {data_dir / 'token'}",
                  flush=True)

    try:
        asyncio.run(serve(config, http=args.http, data_dir=data_dir,
                          archive_location=args.archive or default_archive(data_dir),
                          access=access, ready=ready))
    except SiteError as exc:
        return fail(exc)
    except OSError as exc:
        return fail(f"--http {args.http[0]}:{args.http[1]}: {exc.strerror or exc}")
    print("stopped", flush=True)
    return 0
