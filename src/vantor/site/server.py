"""`vantor site`, assembled: the bus connection, the stream and the archive's
durable consumer, the live subscriptions that keep the node board current,
the heartbeat watch, and the HTTP side (the service's own door: tokens,
Host and Origin checks) until SIGINT/SIGTERM."""
import asyncio
import logging
import signal
import tomllib
from dataclasses import dataclass
from pathlib import Path

from aiohttp import web

from vantor.history.options import ArchiveOptions, parse_archive
from vantor.host.option_table import entries, number
from vantor.service import routes_static, security
from vantor.service.http import MAX_BODY, json_errors
from vantor.service.local import remove_record, reachable_url, write_record

from . import live, protocol, routes
from .archive import SiteArchive, ensure_consumer, ensure_stream
from .connection import BusError, connect
from .keys import ARCHIVE, BOARD, BUS, LIVE, OPTIONS, STORE
from .metrics import registry_for, render
from .names import check_ranks
from .nodes import NodeBoard
from .options import BusOptions, parse_bus

log = logging.getLogger(__name__)
PENDING_POLL_S = 2.0
RESTORED_ALARMS = 10000          # transitions read back at start


class SiteError(Exception):
    """The site cannot start as asked: one line naming what to fix."""


@dataclass(frozen=True)
class SiteOptions:
    heartbeat_timeout_s: float = None     # None: 3 x the bus's heartbeat_s


@dataclass(frozen=True)
class SiteConfig:
    bus: BusOptions = BusOptions()
    archive: ArchiveOptions = ArchiveOptions()
    site: SiteOptions = SiteOptions()

    @property
    def timeout_s(self):
        return self.site.heartbeat_timeout_s or 3 * self.bus.heartbeat_s


def parse_site(table):
    values = {}
    for key, where, value in entries("site", table, SiteOptions):
        values[key] = float(number(where, value, 0.1, 3600))
    return SiteOptions(**values)


def load_config(path):
    """SiteConfig of a TOML file with [bus], [archive] and [site] (None: defaults)."""
    if path is None:
        return SiteConfig()
    try:
        with open(path, "rb") as fh:
            data = tomllib.load(fh)
    except OSError as exc:
        raise SiteError(f"--config {path}: {exc.strerror}") from None
    except tomllib.TOMLDecodeError as exc:
        raise SiteError(f"--config {path}: not TOML: {exc}") from None
    unknown = set(data) - {"bus", "archive", "site"}
    if unknown:
        raise SiteError(f"--config {path}: unknown table [{sorted(unknown)[0]}] "
                        f"(a site reads [bus], [archive] and [site])")
    try:
        return SiteConfig(parse_bus(data.get("bus")), parse_archive(data.get("archive", {})),
                          parse_site(data.get("site", {})))
    except ValueError as exc:
        raise SiteError(f"--config {path}: {exc}") from None


class Site:
    """The running parts; `start()` raises SiteError with one line."""

    def __init__(self, config, archive_location):
        self.config = config
        self.archive_location = archive_location
        self.board = NodeBoard(config.timeout_s, on_alarm=self._alarm)
        self.live = live.SiteLive()
        self.nc = self.store = self.archive = None
        self.tasks = []

    def _alarm(self, alarm):
        if self.archive is not None:
            self.archive.alarm(alarm)
        self.live.event(dict(alarm, kind="alarm"))

    async def start(self):
        from vantor.history.store import ArchiveError
        from vantor.history.writer import open_archive

        try:
            self.nc = await connect(self.config.bus, "vantor-site")
        except BusError as exc:
            raise SiteError(str(exc)) from None
        js = self.nc.jetstream()
        try:
            stream = await ensure_stream(js, self.config.bus.retention_h)
            subscription = await ensure_consumer(js)
        except Exception as exc:        # nats-py raises several unrelated types here
            raise SiteError(f"bus {self.config.bus.url}: JetStream stream {protocol.STREAM}: "
                            f"{str(exc).strip() or type(exc).__name__} (is JetStream enabled, "
                            f"nats-server -js?)") from None
        if self.config.archive.enabled:
            try:
                self.store = await asyncio.to_thread(open_archive, self.archive_location,
                                                     self.config.archive)
            except ArchiveError as exc:
                raise SiteError(str(exc)) from None
            self.archive = SiteArchive(self.store, self.config.archive)
            try:
                await asyncio.to_thread(self.archive.resume, stream)
                self.board.restore(await asyncio.to_thread(
                    self.store.alarm_log, 0.0, float("inf"), RESTORED_ALARMS))
            except ArchiveError as exc:
                raise SiteError(str(exc)) from None
            self.tasks.append(asyncio.create_task(self.archive.run(subscription)))
            self.tasks.append(asyncio.create_task(self._watch_pending(js)))
        for task in self.tasks:
            task.add_done_callback(_ended)
        for kind in ("heartbeat", "state", "windows", "events", "alarms"):
            await self.nc.subscribe(protocol.subject("*", kind), cb=self._on_message)
        heartbeats = asyncio.create_task(self._watch_heartbeats())
        heartbeats.add_done_callback(_ended)
        self.tasks.append(heartbeats)

    async def stop(self):
        for task in self.tasks:
            task.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)
        if self.nc is not None:
            try:
                await self.nc.close()
            except Exception:        # closing a connection that broke: nothing to save
                pass
        if self.store is not None:
            await asyncio.to_thread(self.store.close)

    async def _watch_pending(self, js):
        """How many stream messages the archive has still to take (None while
        the bus does not say)."""
        from .archive import DURABLE
        while True:
            try:
                info = await js.consumer_info(protocol.STREAM, DURABLE)
                self.archive.pending = info.num_pending + (info.num_ack_pending or 0)
            except Exception as exc:     # the bus away: said by the lag instead
                log.debug("site: consumer info: %s", exc)
                self.archive.pending = None
            await asyncio.sleep(PENDING_POLL_S)

    async def _watch_heartbeats(self):
        step = min(0.25, self.board.timeout_s / 10)
        while True:
            await asyncio.sleep(step)
            self.board.check()

    async def _on_message(self, msg):
        board = self.board
        try:
            node, kind = protocol.parse_subject(msg.subject)
            if kind == "windows":
                sender, _, rows = protocol.decode_windows(msg.data)
                check_ranks(rows)
                if sender != node:
                    raise ValueError(f"window batch from {sender!r} on {node}'s subject")
                board.windows(node, rows)
                self.live.windows(node, rows)
                return
            message = protocol.decode_json(msg.data)
            if kind == "heartbeat":
                board.heartbeat(node, message)
            elif kind == "state":
                board.state(node, message)
                self.live.state(node, list(board.nodes[node].units))
            elif kind == "events":
                if not isinstance(message.get("event"), dict):
                    raise ValueError("events: expected an event object")
                self.live.event(dict(message["event"], node=node))
            elif kind == "alarms":
                board.node_alarm(node, message)
                self.live.event(dict(message.get("alarm"), kind="alarm", node=node,
                                     transition=message.get("transition")))
        except (ValueError, KeyError, TypeError) as exc:
            board.malformed_message(msg.subject, str(exc))
        except Exception:            # a fault of ours: said loudly, the subscription kept
            board.malformed_message(msg.subject, "not handled")
            log.exception("site: a message on %s was not handled", msg.subject)


def _ended(task):
    """A part of the site that ended by itself: never silently."""
    if not task.cancelled() and task.exception() is not None:
        log.error("site: %s ended: %r", task.get_coro().__qualname__, task.exception())


def build_app(site, access):
    app = web.Application(middlewares=[json_errors, security.middleware(access)],
                          client_max_size=MAX_BODY)
    app.on_response_prepare.append(security.add_headers)
    app[BOARD], app[LIVE], app[BUS] = site.board, site.live, site.nc
    app[ARCHIVE], app[STORE], app[OPTIONS] = site.archive, site.store, site.config.archive
    registry = registry_for(site.board, site.archive)

    async def metrics(request):
        return web.Response(body=render(registry),
                            headers={"Content-Type": "text/plain; version=0.0.4; charset=utf-8"})

    app.router.add_get("/metrics", metrics)
    app.add_routes(routes.routes)
    app.add_routes(live.routes)
    app.add_routes(routes_static.routes)
    app.on_shutdown.append(site.live.close_clients)
    return app


async def serve(config, *, http, data_dir, archive_location, access, ready=None, stop=None):
    stop = stop or asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    site = Site(config, archive_location)
    try:
        await site.start()
        runner = web.AppRunner(build_app(site, access), access_log=None, handle_signals=False)
        await runner.setup()
        try:
            await web.TCPSite(runner, http[0], http[1]).start()
            bound = runner.addresses[0]
            shown = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
            write_record(data_dir, reachable_url("http", bound[0], bound[1]))
            if ready is not None:
                ready(f"http://{shown}:{bound[1]}")
            await stop.wait()
        finally:
            remove_record(data_dir)
            await runner.cleanup()
    finally:
        await site.stop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(sig)


def default_archive(data_dir):
    return str(Path(data_dir) / "archive.sqlite")
