"""The host as everything outside the data path sees it: a running data path
read through `snapshot()` and `subscribe()`, and changed through
`configure()`.  The terminal view, the operator commands and the service use
this facade only."""
import asyncio
import collections
import gc
import time

from vantor.wire import CU_CONFIG_FIELDS, CU_IV, CU_MESSAGE, CU_MESSAGE_FIELDS, ECHO_FIELDS, echo_of, unit_label
from .bus import KINDS, Bus
from .datapath import DataPath, default_listen
from .settings import SettingsError
from .stats import Stats, status_word
from .units import UnitError, resolve_units

__all__ = ["Host", "ConfigureError", "ConfigureTimeout", "default_listen"]

WATCH_PERIOD = 0.5        # seconds between rate and board-state refreshes
RATE_SPAN = 10            # rates average over this many periods: batches come once a window
IDENTITY_FIELDS = ("mcuId", "cuId")
SETTABLE_FIELDS = tuple(f for f in CU_CONFIG_FIELDS if f not in IDENTITY_FIELDS)
# Echo fields a change is verified on; cuStatus follows its own rules (a
# unit reports 1 for a configured 0, and sweeps move it on by themselves).
VERIFIED_FIELDS = tuple(f for f in ECHO_FIELDS if f != "cuStatus")
_ECHO_INDEX = [CU_MESSAGE_FIELDS.index(f) for f in VERIFIED_FIELDS]


class ConfigureError(ValueError):
    """A settings change refused before anything was written; names the field or unit."""


class ConfigureTimeout(RuntimeError):
    """Some units did not echo the new settings in time; `units` lists their names."""

    def __init__(self, message, units):
        super().__init__(message)
        self.units = units


UNITS_PER_SLICE = 256


class Host:
    def __init__(self, settings, *, listen=("127.0.0.1", 0), hardware=None,
                 worker_processes=0, transport="ipc"):
        self.settings = settings
        self.units = settings.units()     # rank order
        self.hardware = hardware
        self.stats = Stats(settings)
        self.bus = Bus()
        self.path = DataPath(settings, self.stats, self, listen=listen, hardware=hardware,
                             worker_processes=worker_processes, transport=transport)
        self.settings_saver = None     # callable(settings, changes) after a change is written
        self.started_wall = None
        self._rates = {"records_in": 0.0, "stream_out": 0.0, "datagrams": 0.0}
        self._samples = collections.deque(maxlen=RATE_SPAN + 1)
        self._boards_seen = {}
        self._unheard = set()          # names of units not heard within their time-out
        self._watch = None

    # -- life cycle --------------------------------------------------------------

    async def start(self):
        await self.path.start()
        self.started_wall = time.time()
        self._samples.append(self._counts())
        self._watch = asyncio.create_task(self._watch_loop())
        # What the host built lives as long as it runs.  A full collection
        # walking it held the loop 35-45 ms at 2000+ units, long enough for
        # datagrams to pile up: the collector leaves it alone until stop().
        gc.freeze()
        return self

    async def stop(self):
        if self._watch is not None:
            self._watch.cancel()
            await asyncio.gather(self._watch, return_exceptions=True)
            self._watch = None
        await self.path.stop()
        self.bus.close()
        gc.unfreeze()

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.stop()

    @property
    def running(self):
        return self.path.udp is not None

    @property
    def address(self):
        return self.path.address

    @property
    def shm_name(self):
        return self.path.shm_name

    @property
    def worker_processes(self):
        return self.path.worker_processes

    @property
    def hub(self):
        return self.path.hub

    @property
    def block(self):
        return self.path.block

    # -- what the hub hands out (the data path's sink) ---------------------------

    def stream(self, data):
        count, changed = self.stats.stream_batch(data)
        if count:
            self.bus.publish("stream", data)
        now = time.time()
        for unit, old in changed:
            new = status_word(unit.status)
            self.bus.publish("event", {"kind": "status", "rank": unit.rank, "name": unit.label,
                                       "old": old, "new": new, "time": now})
            if new == "silent":
                self.bus.publish("event", {"kind": "silence", "rank": unit.rank,
                                           "name": unit.label, "time": now})

    def iv(self, data):
        self.stats.iv_results += 1
        self.stats.last_iv = data
        self.bus.publish("iv", data)

    def iv_range(self, start, stop, steps):
        self.stats.iv_range = (start, stop, steps)
        self.bus.publish("iv_range", (start, stop, steps))

    # -- reading -----------------------------------------------------------------

    def subscribe(self, kinds=KINDS, maxsize=1000):
        """A bounded queue of (kind, payload); see vantor.host.bus."""
        return self.bus.subscribe(kinds, maxsize)

    def publish_event(self, event):
        self.bus.publish("event", event)

    def snapshot(self, units=None):
        """Every unit, board and counter now; `units` takes unit states the
        caller already read (a few at a time) instead of reading them all here."""
        now_wall = time.time()
        if units is None:
            units = [self.unit_state(r, now_wall) for r in range(1, len(self.stats.units) + 1)]
        return {"time": now_wall,
                "uptime": 0.0 if self.started_wall is None else now_wall - self.started_wall,
                "units": units,
                "boards": self.boards_state(now_wall), "totals": self.totals(),
                "workers": self.path.workers_state()}

    def unit_state(self, rank, now_wall=None):
        """One unit of the snapshot."""
        cu = self.units[rank - 1]
        u = self.stats.units[rank]
        now_wall = time.time() if now_wall is None else now_wall
        return {"rank": rank, "name": cu.label, "mcuId": cu.mcuId, "cuId": cu.cuId,
                "status": u.word(), "cuStatus": u.status, "rate": u.rate,
                "counts": u.counts, "intSize": u.intSize, "monitorV": u.monitorV,
                "biasI": u.biasI, "config": cu.configuration.as_dict(),
                "updates": u.updates, "alarms": u.alarms, "windows": u.windows,
                "iv_points": u.iv_points, "last_seen": u.last_seen,
                "age": None if u.last_seen is None else max(0.0, now_wall - u.last_seen)}

    def unit_state_slices(self, now_wall=None, size=UNITS_PER_SLICE):
        """Every unit's state in rank order, `size` units per list, each read
        when asked for: a reader on the loop gives it a turn between two, since
        thousands of units in one pass hold it long enough for datagrams to
        pile up."""
        now_wall = time.time() if now_wall is None else now_wall
        count = len(self.units)
        for first in range(1, count + 1, size):
            yield [self.unit_state(r, now_wall) for r in range(first, min(first + size, count + 1))]

    def unit_versions(self):
        """Per unit (rank order) a value that changes whenever the unit's state
        does, ages aside: lets readers send only what changed."""
        now = time.monotonic()
        units = self.stats.units
        return [(units[cu.rank].word(now), units[cu.rank].last_seen, units[cu.rank].updates,
                 units[cu.rank].alarms, id(cu.configuration)) for cu in self.units]

    def boards_state(self, now_wall=None):
        now_wall = time.time() if now_wall is None else now_wall
        return [{"mcuId": m.mcuId, "temp1": m.temp1, "temp2": m.temp2,
                 "pll": None if m.pll is None else bool(m.pll), "status": m.status,
                 "reports": m.reports, "last_seen": m.last_seen,
                 "age": None if m.last_seen is None else max(0.0, now_wall - m.last_seen),
                 **self._board_intake(m.mcuId)}
                for m in self.stats.mcus.values()]

    def _board_intake(self, mcu_id):
        """The board's believed source and its sequence counters."""
        gate = self.path.admission
        return gate.board(mcu_id) if gate is not None else {}

    def totals(self):
        s = self.stats
        return {"records_in": s.records_in, "stream_in": s.stream_in, "stream_out": s.stream_out,
                "datagrams": s.datagrams, "status_in": s.status_in, "dropped": s.dropped(),
                "late": s.late(), "duplicated": s.duplicates(), "malformed": s.malformed,
                "sync_failed": s.sync_failed, "missing": s.missing,
                "updates_sent": s.updates_sent, "updates_undeliverable": s.updates_undeliverable,
                "errors": s.errors, "last_error": s.last_error, "iv_results": s.iv_results,
                "iv_range": list(s.iv_range) if s.iv_range is not None else None,
                "rates": dict(self._rates), **self._intake_totals()}

    def _intake_totals(self):
        """Refused traffic (with the ids and addresses seen), sequence
        restarts, re-synchronisations and units never heard."""
        gate, base = self.path.admission, self.path.timebase
        out = {"unknown_mcu": 0, "unknown_unit": 0, "foreign": 0, "mixed": 0, "restarts": 0,
               "stray": 0, "refused": None, "resyncs": 0, "time_origin": None,
               "unheard": sorted(self._unheard)}
        if gate is not None:
            t = gate.totals()
            out.update({k: t[k] for k in ("unknown_mcu", "unknown_unit", "foreign", "mixed",
                                          "restarts", "stray")})
            out["refused"] = gate.report()
        if base is not None:
            out["resyncs"], out["time_origin"] = base.resyncs, base.origin
        return out

    def _counts(self):
        s = self.stats
        return (time.monotonic(), s.records_in, s.stream_out, s.datagrams)

    async def _watch_loop(self):
        """Rates over the last period, and board changes as events (the
        monitors report them inside the data path, where nothing waits)."""
        while True:
            await asyncio.sleep(WATCH_PERIOD)
            self._samples.append(self._counts())
            first, last = self._samples[0], self._samples[-1]
            dt = last[0] - first[0]
            if dt > 0:
                self._rates = {k: (a - b) / dt for k, a, b in
                               zip(("records_in", "stream_out", "datagrams"), last[1:], first[1:])}
            now = time.time()
            self._flag_unheard(now)
            for m in self.stats.mcus.values():
                for field, value in (("pll", m.pll), ("status", m.status)):
                    key = (m.mcuId, field)
                    old = self._boards_seen.get(key)
                    if value is not None and old != value:
                        self._boards_seen[key] = value
                        if old is not None or (field == "pll" and not value):
                            self.publish_event({"kind": "board", "mcuId": m.mcuId, "field": field,
                                                "old": old, "new": value, "time": now})

    def _flag_unheard(self, now):
        """A unit that has sent nothing since the start raises no silence alarm
        of its own (its worker has nothing to time out from): flag it once its
        time-out has passed, and say so again if it is heard later."""
        gate = self.path.admission
        if gate is None or self.started_wall is None \
                or now - self.started_wall < self.settings.timeout:
            return
        unheard = gate.unheard
        if not self._unheard and not any(unheard.values()):
            return                    # everybody heard: nothing can change any more
        for unit in self.stats.units.values():
            heard = unit.cuId not in unheard[unit.mcuId]
            if not heard and unit.label not in self._unheard:
                self._unheard.add(unit.label)
                self.publish_event({"kind": "unheard", "rank": unit.rank, "name": unit.label,
                                    "since": self.started_wall, "time": now})
            elif heard and unit.label in self._unheard:
                self._unheard.discard(unit.label)

    # -- changing settings -------------------------------------------------------

    def resolve(self, units):
        """Ranks of unit names (ranks or MCU.CU); UnitError names a bad one."""
        return resolve_units(self.settings, units)

    def set_config(self, rank, **changes):
        """Change a unit's configuration: the shared record (under its lock) and
        the settings object the hub reads."""
        return self._write_config(rank, self.units[rank - 1].configuration.replaced(**changes))

    def _write_config(self, rank, configuration):
        self.units[rank - 1].configuration = configuration
        self.path.block.write_config(rank - 1, configuration)
        return configuration

    def read_config(self, rank):
        """The unit's cu_config as it is in shared memory now."""
        return self.path.block.read_config(rank - 1)

    def start_sweeps(self, ranks=None):
        for cu in self.units:
            if ranks is None or cu.rank in ranks:
                self.set_config(cu.rank, cuStatus=2)

    def check_changes(self, ranks, changes):
        """The new configuration of every unit, or ConfigureError naming the
        field: nothing is written unless every value of every unit is good."""
        if not isinstance(changes, dict) or not changes:
            raise ConfigureError("settings: expected at least one FIELD=VALUE")
        for field in changes:
            if field in IDENTITY_FIELDS:
                raise ConfigureError(f"{field}: a unit's identity cannot be changed")
            if field not in SETTABLE_FIELDS:
                raise ConfigureError(f"{field}: not a cu_config field "
                                     f"(fields: {', '.join(SETTABLE_FIELDS)})")
        new = {}
        for r in ranks:
            cu = self.units[r - 1]
            try:
                new[r] = cu.configuration.replaced(**changes)
            except SettingsError as exc:
                raise ConfigureError(str(exc)) from None
        return new

    async def configure(self, units, changes, *, via="api", timeout=5.0, actor=None):
        """Write `changes` into every unit's configuration and wait until each
        unit echoes them.  Returns the ranks.  A bad field, value or unit raises
        ConfigureError or UnitError before anything changes; units that do not
        follow within `timeout` raise ConfigureTimeout (the new settings stay:
        the workers go on sending corrections).  `actor` (who asked: a dict
        such as {"token": name, "address": ip}) goes into the settings event."""
        try:
            ranks = self.resolve(units)
        except UnitError as exc:
            raise ConfigureError(str(exc)) from None
        if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) \
                or not 0 < timeout <= 600:
            raise ConfigureError(f"timeout: expected 0 to 600 seconds, got {timeout!r}")
        sweeping = [self.units[r - 1].label for r in ranks
                    if self.stats.units[r].status == CU_IV]
        if sweeping:
            # A sweeping unit echoes the sweep's bias, not its setpoint.
            raise ConfigureError(f"unit{'s' if len(sweeping) > 1 else ''} "
                                 f"{', '.join(sweeping)} {'are' if len(sweeping) > 1 else 'is'} "
                                 "in an IV sweep; change settings after the sweep")
        new = self.check_changes(ranks, changes)
        units_cfg = self.units
        loop = asyncio.get_running_loop()
        pending = {}
        for r in ranks:
            cu = units_cfg[r - 1]
            expected = echo_of(new[r].as_dict())
            pending[(cu.mcuId, cu.cuId)] = (r, tuple(expected[f] for f in VERIFIED_FIELDS),
                                            loop.create_future())
        log = []
        watch = self.path.echo_watch = dict(self.path.echo_watch or {})
        for pair, (r, want, done) in pending.items():
            watch[pair] = self._echo_checker(want, done)
            old = units_cfg[r - 1].configuration
            self._write_config(r, new[r])
            for field in changes:
                before, after = old.get_c_value(field), new[r].get_c_value(field)
                if before != after:
                    log.append({"rank": r, "name": unit_label(*pair), "field": field,
                                "old": before, "new": after})
        event = {"kind": "settings", "time": time.time(), "via": via, "actor": actor,
                 "changes": log}
        self.publish_event(event)
        if self.settings_saver is not None and log:
            self.settings_saver(self.settings, log)
        try:
            futures = [done for _, _, done in pending.values()]
            await asyncio.wait(futures, timeout=timeout)
        finally:
            watch = dict(self.path.echo_watch or {})
            for pair in pending:
                watch.pop(pair, None)
            self.path.echo_watch = watch or None
        late = [unit_label(*pair) for pair, (_, _, done) in pending.items() if not done.done()]
        if late:
            raise ConfigureTimeout(
                f"unit{'s' if len(late) > 1 else ''} {', '.join(late)} did not echo the new "
                f"settings within {timeout:g} s (the change is kept and corrections go on; "
                f"is the unit silent or ignoring updates?)", late)
        return ranks

    @staticmethod
    def _echo_checker(want, done):
        def check(chunk):
            if done.done():
                return
            values = CU_MESSAGE.unpack_from(chunk)
            if tuple(values[i] for i in _ECHO_INDEX) == want:
                done.set_result(True)
        return check
