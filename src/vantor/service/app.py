"""The service's application: the running System, the job queues and every
route module, on one asyncio loop.

Route modules are the `routes_*.py` files of this package (and `live`): each
has `add_routes(app)`, and may hook `app.on_startup`/`app.on_cleanup`.  What
they find in the app: "system", "host", "jobs", "data_dir", "settings_path",
"problems" (a list of texts the service reports about itself)."""
import asyncio
import gc
import importlib
import os
import pkgutil
import signal
from pathlib import Path

from aiohttp import web

from . import auth, live
from .http import MAX_BODY
from .jobs import JobManager
from .settings_file import SettingsKeeper


def route_modules():
    package = Path(__file__).parent
    names = sorted(m.name for m in pkgutil.iter_modules([str(package)])
                   if m.name.startswith("routes_"))
    return [importlib.import_module(f"{__package__}.{name}") for name in names] + [live]


@web.middleware
async def json_errors(request, handler):
    """Every failure of an API route answers JSON {"error"}; a fault of ours
    is a 500 naming itself, never a traceback page."""
    try:
        return await handler(request)
    except web.HTTPException as exc:
        if request.path.startswith("/api/") and exc.content_type != "application/json" \
                and exc.status >= 400:
            # aiohttp's own refusals (no such route, method not allowed) in
            # the API's form, with their headers (Allow, ...)
            return web.json_response({"error": f"{exc.reason}: {request.method} {request.path}"},
                                     status=exc.status, headers={
                                         k: v for k, v in exc.headers.items()
                                         if k.lower() not in ("content-type", "content-length")})
        raise
    except asyncio.CancelledError:
        raise
    except Exception as exc:
        request.app.logger.exception("request %s failed", request.path)
        return web.json_response({"error": f"internal error: {type(exc).__name__}: {exc}"},
                                 status=500)


def build_app(system, *, data_dir, settings_path=None, token=None, epics=None):
    middlewares = [json_errors]
    check = auth.middleware(token)
    if check is not None:
        middlewares.insert(0, check)
    app = web.Application(middlewares=middlewares, client_max_size=MAX_BODY)
    host = system.host
    app["system"], app["host"] = system, host
    app["data_dir"] = Path(data_dir)
    app["settings_path"] = settings_path
    app["problems"] = []
    app["jobs"] = JobManager(host, data_dir, publish=host.publish_event)
    if settings_path is not None:
        host.settings_saver = SettingsKeeper(settings_path, on_error=app["problems"].append)

    async def start_jobs(app):
        app["jobs"].start()

    async def close_clients(app):
        for client in list(app["live_clients"]):
            await client.ws.close(code=1001, message=b"service stopping")

    async def stop_jobs(app):
        await app["jobs"].close()

    app.on_startup.append(start_jobs)
    app.on_shutdown.append(close_clients)
    app.on_cleanup.append(stop_jobs)
    for module in route_modules():
        module.add_routes(app)

    # EPICS records of every unit, board and total (vantor serve --epics)
    if epics is not None and epics.enabled:
        from vantor.epics.server import add_to_app
        app["epics"] = add_to_app(app, host, epics)

    async def freeze_startup_objects(app):
        # The application lives as long as the host: like the host's own
        # objects (see Host.start), full collections need not walk it.
        gc.freeze()

    app.on_startup.append(freeze_startup_objects)
    return app


async def serve(system, *, http, data_dir, settings_path=None, token=None, ready=None,
                stop=None, epics=None):
    """Runs the System and the HTTP server until `stop` is set (or SIGINT/SIGTERM).
    `ready(url)` is called once both answer."""
    stop = stop or asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    try:
        async with system:
            app = build_app(system, data_dir=data_dir, settings_path=settings_path, token=token,
                            epics=epics)
            runner = web.AppRunner(app, access_log=None, handle_signals=False)
            await runner.setup()
            try:
                site = web.TCPSite(runner, http[0], http[1], reuse_address=True)
                await site.start()
                bound = runner.addresses[0]
                shown = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
                url = f"http://{shown}:{bound[1]}"
                if ready is not None:
                    ready(url)
                await stop.wait()
            finally:
                await runner.cleanup()
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(sig)


def default_data_dir():
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                            "share")
    return Path(base) / "vantor"
