"""The IOC inside `vantor serve`: every unit, board and total as a record over
Channel Access and pvAccess, updated from the host on the service's event
loop, and puts to `{P}U{rank}:BIAS_SP` run as the API's verified settings
change (`host.configure`, interface "epics").

pythonSoftIOC runs the IOC's servers in threads of its own (its asyncio
dispatcher gets the service's loop, which owns the host).  A put is decided in the server's thread: it asks the loop to start the
change and waits the one loop turn in which the host either refuses it (a
put failure, nothing changed) or writes it; the echo is then awaited on the
loop and shown through BIAS_SP's alarm status.  The loop never writes into
BIAS_SP itself (a server thread holding that record may be waiting for the
loop): a small thread of ours does."""
import asyncio
import concurrent.futures
import contextlib
import ctypes
import logging
import math
import os
import sys
import tempfile
import threading
import time

from vantor.host.app import ConfigureTimeout
from vantor.wire import CU_TIMEOUT, CU_TIMEOUT_POWERED, STATUS_WORDS, f32

from . import source
from .alarm_map import MAJOR, SEVERITY, alarm_target
from .records import BoardRecords, TotalRecords, UnitRecords, access_rules
from .window_records import WindowWriter

log = logging.getLogger("vantor.epics")

REFRESH_S = 1.0             # unit states, boards and totals
ROWS_PER_TURN = 256         # window rows written per turn of the loop
PUT_DECISION_S = 2.0        # a server thread waits this long for the loop's verdict
ECHO_TIMEOUT_S = 5.0        # as the API's default
NO_ALARM, MINOR, INVALID = 0, 1, 3
STAT_WRITE, STAT_TIMEOUT, STAT_UDF = 2, 10, 17
SILENT_STATUS = {"silent": STAT_TIMEOUT, "unheard": STAT_UDF}
_started = False            # the IOC starts once per process


class EpicsUnavailable(RuntimeError):
    """The epics extra is not installed, or the IOC cannot start; one line."""


def _import_softioc():
    try:
        from softioc import asyncio_dispatcher, builder, imports, softioc
    except ImportError:
        raise EpicsUnavailable("EPICS records need the epics extra: "
                               "pip install 'vantor[epics]'") from None
    return asyncio_dispatcher, builder, imports, softioc


class EpicsServer:
    def __init__(self, host, options):
        self.host, self.options = host, options
        self.units, self.boards, self.totals = {}, {}, None
        self.ranks = {cu.label: cu.rank for cu in host.units}
        self.changes = {}           # rank -> the change over EPICS awaited now
        self.overlay = {}           # record -> (severity, status) from the alarm engine
        self.alarm_states = {}      # alarm id -> state
        self.shown_word = {}        # rank -> status word the values were last marked for
        self.shown = {}             # rank or record -> what it shows now
        self._own_acf = None
        self.writer = None          # WindowWriter once the IOC runs
        self._local = threading.local()
        self._sp_thread = concurrent.futures.ThreadPoolExecutor(1, "vantor-epics-put")
        self._tasks = []
        self._subscription = None
        self.loop = None

    # -- life cycle --------------------------------------------------------------

    async def start(self):
        global _started
        dispatcher_module, builder, imports, softioc = _import_softioc()
        if _started:
            raise EpicsUnavailable("the EPICS server runs once per process")
        self.loop = asyncio.get_running_loop()
        _started = True
        # from now on: no alarm raised while the records are built is missed
        self._subscription = source.subscribe(self.host)
        # Building thousands of records takes seconds: beside the loop, which
        # goes on serving the host meanwhile.
        await asyncio.to_thread(self._start_ioc, dispatcher_module, builder, imports, softioc)
        if self._own_acf is not None:
            os.unlink(self._own_acf)          # read by iocInit
        self._tasks = [asyncio.create_task(self._follow_windows()),
                       asyncio.create_task(self._refresh_loop())]
        for task in self._tasks:
            task.add_done_callback(_report_failure)
        return self

    async def stop(self):
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        if self._subscription is not None:
            self._subscription.close()
        for change in self.changes.values():
            change.cancel()
        # The IOC lives as long as the process: say that nothing is measured any more.
        now = time.time()
        for recs in self.units.values():
            for record in (*recs.window, recs.bias_rbv, recs.status):
                self.writer.write(record, None, now, INVALID, STAT_UDF)
        self._sp_thread.shutdown(wait=True)

    async def lifetime(self, app):
        """The records from the application's start to its cleanup."""
        await self.start()
        yield
        await self.stop()

    def _start_ioc(self, dispatcher_module, builder, imports, softioc):
        self._build(builder)
        self._access_security(imports)
        with _output_to_stderr():     # the IOC's banner is no output of the service
            builder.LoadDatabase()
            softioc.iocInit(dispatcher_module.AsyncioDispatcher(loop=self.loop))
        self.writer = WindowWriter(imports.dbCore, imports.get_field_offsets)
        for group in (*self.units.values(), *self.boards.values(), self.totals):
            group.resolve(self.writer)

    def _build(self, builder):
        settings = self.host.settings
        limits = settings.limits
        for cu in self.host.units:
            self.units[cu.rank] = UnitRecords(
                builder, self.options.prefix, cu, limits, settings.alarms.band(cu.rank, cu.label),
                validate=lambda record, value, rank=cu.rank: self._put_bias(rank, value),
                checked=bool(self.units))
        for mcu_id in settings.devices:
            self.boards[mcu_id] = BoardRecords(builder, self.options.prefix, mcu_id,
                                               settings.alarms)
        self.totals = TotalRecords(builder, self.options.prefix)

    def _access_security(self, imports):
        path = self.options.access_security if self.options.writes else None
        if path is None:
            fd, path = tempfile.mkstemp(prefix="vantor-epics-", suffix=".acf")
            with os.fdopen(fd, "w") as fh:
                fh.write(access_rules(self.options.writes))
            self._own_acf = path
        imports.dbCore.asSetFilename.argtypes = (ctypes.c_char_p,)
        if imports.dbCore.asSetFilename(str(path).encode()) != 0:
            raise EpicsUnavailable(f"epics.access_security: {path} cannot be used")

    # -- puts to BIAS_SP ---------------------------------------------------------

    def _put_bias(self, rank, value):
        """Whether a put is taken (in a server thread, or our own writer)."""
        if getattr(self._local, "ours", False):
            return True
        if not self.options.writes:
            log.warning("EPICS put to U%d:BIAS_SP refused: writes are off (--epics-writes)",
                        rank)
            return False
        decision = asyncio.run_coroutine_threadsafe(self._begin_change(rank, value), self.loop)
        try:
            return decision.result(PUT_DECISION_S)
        except concurrent.futures.TimeoutError:
            decision.cancel()
            log.warning("EPICS put to U%d:BIAS_SP refused: the service did not answer "
                        "within %g s", rank, PUT_DECISION_S)
            return False

    async def _begin_change(self, rank, value):
        change = asyncio.ensure_future(self.host.configure(
            [rank], {"biasI": value}, via="epics", timeout=ECHO_TIMEOUT_S))
        # configure checks everything and writes before it first waits
        await asyncio.sleep(0)
        if change.done() and change.exception() is not None:
            log.warning("EPICS put U%d:BIAS_SP = %r refused: %s", rank, value,
                        change.exception())
            return False
        previous = self.changes.get(rank)
        self.changes[rank] = change
        if previous is not None:
            previous.cancel()
        # not echoed yet; the value given, since the put is still being taken
        self._write_sp(rank, f32(value), severity=MINOR, status=STAT_WRITE)
        change.add_done_callback(lambda done: self._change_done(rank, f32(value), done))
        return True

    def _change_done(self, rank, value, change):
        if self.changes.get(rank) is not change:
            return                      # a later put took its place
        del self.changes[rank]
        if change.cancelled():
            return
        exc = change.exception()
        if exc is None:
            self._write_sp(rank, value, severity=NO_ALARM, status=NO_ALARM)
            self._unit(source.unit_reading(self.host, rank), time.time())    # the echo, now
        else:
            log.warning("EPICS put U%d:BIAS_SP = %r: %s", rank, value, exc)
            self._write_sp(rank, value, severity=MAJOR,
                           status=STAT_TIMEOUT if isinstance(exc, ConfigureTimeout)
                           else STAT_WRITE)

    def _write_sp(self, rank, value, severity=None, status=None):
        """BIAS_SP's value (and alarm), written by our thread (never the
        loop's).  The value is always given: read in our thread it could be
        the one a put still being taken is about to replace."""
        record = self.units[rank].bias_sp

        def write():
            self._local.ours = True
            try:
                record.set(value)
                if severity is not None:
                    record.set_alarm(severity, status)
            except Exception:
                log.exception("EPICS: writing U%d:BIAS_SP failed", rank)
            finally:
                self._local.ours = False
        self._sp_thread.submit(write)

    # -- per window --------------------------------------------------------------

    async def _follow_windows(self):
        async for kind, payload in self._subscription:
            if kind == "event":
                self._event(payload)
            else:
                await self._windows(*source.window_rows(payload))

    async def _windows(self, ranks, statuses, rates, counts, monitors, times):
        units, overlay, write = self.units, self.overlay, self.writer.write
        rows = list(zip(ranks.tolist(), statuses.tolist(), rates.tolist(), counts.tolist(),
                        monitors.tolist(), times.tolist()))
        for first in range(0, len(rows), ROWS_PER_TURN):
            if first:
                await asyncio.sleep(0)       # the data path's turn
            now = time.time()
            for rank, status, rate, count, monitor, when in rows[first:first + ROWS_PER_TURN]:
                recs = units.get(rank)
                if recs is None:
                    continue
                stamp = when if math.isfinite(when) else now
                rate_record, monitor_record, counts_record = recs.window
                if status in (CU_TIMEOUT, CU_TIMEOUT_POWERED):
                    for record in recs.window:
                        write(record, None, stamp, INVALID, STAT_TIMEOUT)
                    self.shown_word[rank] = "silent"
                    continue
                severity, stat = overlay.get(recs.rate, (NO_ALARM, NO_ALARM))
                write(rate_record, rate, stamp, severity, stat)
                write(monitor_record, monitor, stamp)
                write(counts_record, count, stamp)
                self.shown_word[rank] = "ok"

    # -- alarms ------------------------------------------------------------------

    def _event(self, event):
        if event.get("kind") != "alarm":
            return
        alarm = event["alarm"]
        self.alarm_states[alarm["id"]] = alarm["state"]
        if alarm["state"] == "cleared" and not alarm.get("shown", True):
            self.alarm_states.pop(alarm["id"], None)
        record, status = alarm_target(alarm, self)
        if record is None:
            return
        if alarm["state"] == "cleared":
            self.overlay.pop(record, None)
        else:
            self.overlay[record] = (SEVERITY.get(alarm["severity"], MAJOR), status)

    # -- unit states, boards, totals ---------------------------------------------

    async def _refresh_loop(self):
        while True:
            started = time.monotonic()
            await self._refresh()
            await asyncio.sleep(max(0.05, REFRESH_S - (time.monotonic() - started)))

    async def _refresh(self):
        now = time.time()
        for readings in source.unit_readings(self.host):
            for reading in readings:
                self._unit(reading, now)
            await asyncio.sleep(0)
        for board in source.boards(self.host):
            self._board(board, now)
        totals, write = source.totals(self.host), self.writer.write
        for key, record in self.totals.counters.items():
            write(record, totals.get(key) or 0, now, *self.overlay.get(record, (NO_ALARM, 0)))
        active = sum(1 for state in self.alarm_states.values() if state == "active")
        write(self.totals.alarms, active, now)

    def _unit(self, reading, now):
        rank, word = reading.rank, reading.status
        recs = self.units[rank]
        if word in SILENT_STATUS and self.shown_word.get(rank) != word:
            for record in recs.window:
                self.writer.write(record, None, now, INVALID, SILENT_STATUS[word])
            self.shown_word[rank] = word
        severity, status = self.overlay.get(recs.bias_rbv, (NO_ALARM, NO_ALARM))
        if reading.echoed_bias is None:
            severity, status = INVALID, STAT_UDF
        elif word in SILENT_STATUS:
            severity, status = INVALID, SILENT_STATUS[word]
        shown = (word, reading.updates, reading.echoed_bias, severity, status)
        if self.shown.get(rank) != shown:
            last = self.shown.get(rank) or (None,) * 5
            self.shown[rank] = shown
            write = self.writer.write
            if word != last[0]:
                write(recs.status, STATUS_WORDS.index(word) if word in STATUS_WORDS else 0, now)
            if reading.updates != last[1]:
                write(recs.updates, reading.updates, now)
            if shown[2:] != last[2:]:
                write(recs.bias_rbv, reading.echoed_bias or 0.0, now, severity, status)
        # BIAS_SP follows set points asked for through the API, the dashboard, ...
        if rank not in self.changes and f32(recs.bias_sp.get()) != reading.set_point:
            self._write_sp(rank, value=reading.set_point)

    def _board(self, board, now):
        recs = self.boards.get(board["mcuId"])
        if recs is None or board["last_seen"] is None:
            return
        stamp, write = board["last_seen"], self.writer.write
        for name, record in (("temp1", recs.temp1), ("temp2", recs.temp2),
                             ("pll", recs.pll), ("status", recs.status)):
            value = board[name]
            if value is None:
                continue
            shown = (int(value) if name in ("pll", "status") else value, stamp,
                     *self.overlay.get(record, (NO_ALARM, NO_ALARM)))
            if self.shown.get(record) != shown:
                self.shown[record] = shown
                write(record, *shown)


@contextlib.contextmanager
def _output_to_stderr():
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def _report_failure(task):
    if not task.cancelled() and task.exception() is not None:
        log.error("EPICS records stopped following the host", exc_info=task.exception())


def check_available():
    """EpicsUnavailable (one line) unless the epics extra is installed."""
    _import_softioc()
