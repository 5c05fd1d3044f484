"""The service's watch over the host: once a second one snapshot feeds the
archive and the alarm conditions; stream batches and events go to both as
they come.  The application builds one (app.build_app) and runs it for as
long as it serves (`lifetime`); routes find it under keys.WATCH.

A database that cannot be opened or written leaves the service running
live: the archive is off (or retried batch by batch) and an alarm says why."""
import asyncio
import logging
import sqlite3
import time

from vantor.alarms import AlarmEngine, ConditionChecker, HookRunner
from vantor.alarms.conditions import free_space
from vantor.history.store import ArchiveError
from vantor.host.app import UNITS_PER_SLICE

log = logging.getLogger("vantor.service.watch")
POLL_S = 1.0
DISK_EVERY_S = 10.0
UNITS_SHARE = 0.005      # of a core, for reading every unit's state
ARCHIVE_FILE = "archive.sqlite"


class Watch:
    def __init__(self, host, data_dir, problems, archive=None):
        self.host = host
        self.problems = problems         # texts the service reports about itself
        settings = self.host.settings
        self.alarm_options, self.archive_options = settings.alarms, settings.archive
        self.data_dir = data_dir
        # a database URL or a file (--archive), else the file in the data directory
        self.archive_location = archive or data_dir / ARCHIVE_FILE
        self.engine = AlarmEngine()
        self.checker = ConditionChecker(self.engine, self.alarm_options)
        self.hook = None
        self.store = None
        self.writer = None
        self.archive_error = None        # why the archive is off, or None
        self.cpu = 0.0                   # CPU seconds spent on the event loop by the watch
        self._sub = None
        self._tasks = []

    # -- life cycle --------------------------------------------------------------

    async def lifetime(self, app):
        """For the application's cleanup_ctx: runs from its start to its stop."""
        await self.start()
        yield
        await self.stop()

    async def start(self):
        self.engine.listeners.append(self._publish)
        if self.alarm_options.hook:
            self.hook = HookRunner(self.alarm_options.hook, self.alarm_options.hook_timeout,
                                   on_result=self.host.publish_event).start()
            self.engine.listeners.append(self.hook)
        if self.archive_options.enabled:
            await self._open_archive()
        else:
            self.archive_error = "archive off in the settings ([archive] enabled = false)"
        self._sub = self.host.subscribe({"windows", "event"}, maxsize=5000)
        loop = asyncio.get_running_loop()
        self._tasks = [loop.create_task(self._follow()), loop.create_task(self._poll())]
        if self.writer is not None:
            self._tasks.append(loop.create_task(self.writer.run()))

    async def stop(self):
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks = []
        if self._sub is not None:
            self._sub.close()
        if self.writer is not None:
            await self.writer.stop()
        if self.hook is not None:
            await self.hook.stop()

    async def _open_archive(self):
        from vantor.history.writer import ArchiveWriter, archive_name, open_archive

        path = archive_name(self.archive_location)
        try:
            self.store = await asyncio.to_thread(open_archive, self.archive_location,
                                                 self.archive_options)
            recent = await asyncio.to_thread(self.store.alarm_log, 0.0, float("inf"), 1000)
        except (ArchiveError, sqlite3.Error) as exc:
            if self.store is not None:
                self.store.close()
                self.store = None
            where = "" if isinstance(exc, ArchiveError) else f"archive {path}: "
            self.archive_error = f"{where}{exc}; archiving is off, live data goes on"
            log.error("%s", self.archive_error)
            self.problems.append(self.archive_error)
            self.checker.archive(False, self.archive_error)
            return
        ids = [int(a["id"]) for a in recent if str(a.get("id", "")).isdigit()]
        if ids:
            self.engine.renumber(max(ids) + 1)     # ids go on across restarts
        self.writer = ArchiveWriter(self.store, self.archive_options,
                                    on_state=self.checker.archive).start()

    # -- feeding -----------------------------------------------------------------

    def _publish(self, alarm):
        if self.writer is not None:
            self.writer.collector.alarm(alarm)
        self.host.publish_event({"kind": "alarm", "alarm": alarm})

    async def _follow(self):
        collector = self.writer.collector if self.writer is not None else None
        async for kind, payload in self._sub:
            started = time.thread_time()
            if kind == "windows":
                if collector is not None:
                    collector.stream(payload)
            elif payload.get("kind") != "alarm":
                if collector is not None:
                    collector.event(payload)
                self.checker.event(payload)
            self.cpu += time.thread_time() - started

    async def _poll(self):
        """Boards and counters every second; the whole snapshot (every unit) as
        often as keeps its cost near 0.5 % of a core: it grows with the units,
        and unit changes between two reach us as events anyway."""
        next_disk = next_units = 0.0
        while True:
            await asyncio.sleep(POLL_S)
            started = time.thread_time()
            if time.monotonic() >= next_units:
                units, spent = await self._read_units()
                started = time.thread_time()
                snap = self.host.snapshot(units=units)
                spent += time.thread_time() - started
                next_units = time.monotonic() + max(POLL_S, spent / UNITS_SHARE)
            else:
                now = time.time()
                snap = {"time": now, "boards": self.host.boards_state(now),
                        "totals": self.host.totals()}
            if self.writer is not None:
                self.writer.collector.snapshot(snap)
            units = snap.pop("units", ())
            self.checker.snapshot(snap)
            for first in range(0, len(units), UNITS_PER_SLICE):
                self.checker.check_units(units[first:first + UNITS_PER_SLICE], snap["uptime"],
                                         snap["time"])
                self.cpu += time.thread_time() - started
                await asyncio.sleep(0)
                started = time.thread_time()
            self.cpu += time.thread_time() - started
            if time.monotonic() >= next_disk:
                next_disk = time.monotonic() + DISK_EVERY_S
                self.checker.disk_free(await asyncio.to_thread(free_space, [self.data_dir]))

    async def _read_units(self):
        """Every unit's state, a slice per turn of the loop, and the CPU
        seconds the reading took."""
        units, spent = [], 0.0
        started = time.thread_time()
        for chunk in self.host.unit_state_slices():
            spent += time.thread_time() - started
            units += chunk
            await asyncio.sleep(0)
            started = time.thread_time()
        self.cpu += spent
        return units, spent

    # -- for the routes ----------------------------------------------------------

    def archive_status(self):
        if self.writer is None:
            return {"ok": False, "error": self.archive_error, "path": None}
        status = self.writer.status()
        from vantor.history.writer import archive_name

        status.update(path=archive_name(self.archive_location), skipped=self._sub.skipped,
                      watch_cpu_s=round(self.cpu, 3))
        return status

