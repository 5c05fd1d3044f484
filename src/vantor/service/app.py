"""The service's application, assembled in one place (build_app): the route
groups it serves, the background components it runs from start to stop,
and the one middleware layer of checks every request passes.  What the
parts share is in the application under the typed keys of keys.py."""
import asyncio
import gc
import signal
import socket
from pathlib import Path

from aiohttp import web

from . import live, routes_alarms, routes_history, routes_jobs, routes_sim, routes_static
from . import routes_tune, routes_units
from . import security
from .guard import IDLE_S, AcceptErrors, Connections, CountedSite, Limits
from .http import MAX_BODY, json_errors
from .jobs import JobManager
from .keys import DATA_DIR, HOST, JOBS, LIMITS, LIVE, METRICS, NODE, PROBLEMS, SYSTEM, WATCH
from .local import remove_record, reachable_url, write_record
from .metrics import registry_for
from .settings_file import SettingsKeeper
from .watch import Watch

# Each module's `routes` table.
ROUTE_GROUPS = (
    routes_units,              # units, boards, totals, settings changes
    routes_jobs,               # IV sweeps and acquisitions
    routes_tune,               # tunes of operating points, calibrations
    live,                      # the live WebSocket
    routes_alarms,             # alarms, acknowledging, /metrics
    routes_history,            # the archive: series, logs, export
    routes_sim,                # the simulated sensors
    routes_static,             # the dashboard
)


def build_app(system, *, data_dir, settings_path=None, access=None, archive=None,
              epics=None, node=None):
    """`archive`: the archive's database URL or file (None: the data directory's file);
    `epics`: EpicsOptions (records served when enabled); `node`: the site bus's
    NodeLink (vantor serve --bus), opened already."""
    access = access or security.Access()
    app = web.Application(middlewares=[json_errors, security.middleware(access)],
                          client_max_size=MAX_BODY)
    app.on_response_prepare.append(security.add_headers)
    app[LIMITS] = Limits()
    app[SYSTEM] = system
    host = app[HOST] = system.host
    app[DATA_DIR] = Path(data_dir)
    problems = app[PROBLEMS] = []
    if settings_path is not None:
        host.settings_saver = SettingsKeeper(settings_path, on_error=problems.append)

    # Background components: started in this order, stopped in reverse.
    jobs = app[JOBS] = JobManager(host, data_dir, publish=host.publish_event)
    watch = app[WATCH] = Watch(host, app[DATA_DIR], problems, archive=archive)
    hub = app[LIVE] = live.LiveHub()
    app.cleanup_ctx.extend([jobs.lifetime, watch.lifetime])
    if epics is not None and epics.enabled:
        # EPICS records of every unit, board and total (vantor serve --epics)
        from vantor.epics.server import EpicsServer
        app.cleanup_ctx.append(EpicsServer(host, epics).lifetime)
    app.on_shutdown.append(hub.close_clients)
    app[METRICS] = registry_for(host, watch.engine, lambda: watch.writer)
    if node is not None:
        # after the watch: the node raises its alarms in the watch's engine
        from vantor.site.node_metrics import BusCollector
        app[NODE] = node
        app.cleanup_ctx.append(node.lifetime)
        app[METRICS].register(BusCollector(node))

    for group in ROUTE_GROUPS:
        app.add_routes(group.routes)

    async def freeze_startup_objects(app):
        # The application lives as long as the host: like the host's own
        # objects (see Host.start), full collections need not walk it.
        gc.freeze()

    app.on_startup.append(freeze_startup_objects)
    return app


async def serve(system, *, http, data_dir, settings_path=None, access=None, ssl_context=None,
                cert=None, archive=None, ready=None, stop=None, epics=None, bus=None):
    """Runs the System and the HTTP(S) server until `stop` is set (or
    SIGINT/SIGTERM).  `ready(url)` is called once both answer; meanwhile the
    data directory names the address (and `cert`) for this user's client.
    `bus`: BusOptions of the site's bus (enabled: this host is a node of it;
    credentials the bus refuses raise BusError before anything starts)."""
    stop = stop or asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    previous_handler = loop.get_exception_handler()
    loop.set_exception_handler(AcceptErrors(loop))
    connections = Connections()
    node = None
    if bus is not None and bus.enabled:
        from vantor.site.node import NodeLink
        node = NodeLink(bus)
        await node.open()
    try:
        async with system:
            app = build_app(system, data_dir=data_dir, settings_path=settings_path,
                            access=access, archive=archive, epics=epics, node=node)
            runner = web.AppRunner(app, access_log=None, handle_signals=False,
                                   keepalive_timeout=IDLE_S)
            await runner.setup()
            try:
                site = CountedSite(runner, http[0], http[1], connections,
                                   ssl_context=ssl_context)
                await site.start()
                bound = runner.addresses[0]
                scheme = "https" if ssl_context is not None else "http"
                shown = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
                write_record(data_dir, reachable_url(scheme, bound[0], bound[1]), cert)
                if node is not None:
                    # what the site's users reach: a wildcard address by this machine's name
                    name = socket.gethostname() if bound[0] in ("0.0.0.0", "::") else shown
                    node.http_url = f"{scheme}://{name}:{bound[1]}"
                if ready is not None:
                    ready(f"{scheme}://{shown}:{bound[1]}")
                await stop.wait()
            finally:
                remove_record(data_dir)
                await runner.cleanup()
    finally:
        if node is not None:
            await node.close()
        loop.set_exception_handler(previous_handler)
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(sig)

