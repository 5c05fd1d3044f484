"""Everything that changes what the units do: settings changes verified by
the units' echo, IV sweeps and recordings.  Every caller (the API, the
operator commands, the faces around the service) comes through here, so the
hub's rule of one IV assembly and one recording at a time is kept in one
place: a second sweep or recording is refused with a message naming the
first, never allowed to end it."""
import asyncio
import time

from vantor.wire import CU_CONFIG_FIELDS, CU_IV, unit_label
from .readmodel import echo_values, expected_echo
from .recording import run_recording
from .settings import SettingsError
from .sweep import run_sweep
from .units import UnitError, resolve_units

IDENTITY_FIELDS = ("mcuId", "cuId")
SETTABLE_FIELDS = tuple(f for f in CU_CONFIG_FIELDS if f not in IDENTITY_FIELDS)


class ConfigureError(ValueError):
    """A settings change refused before anything was written; names the field or unit."""


class ConfigureTimeout(RuntimeError):
    """Some units did not echo the new settings in time; `units` lists their names."""

    def __init__(self, message, units):
        super().__init__(message)
        self.units = units


class HostBusy(RuntimeError):
    """The hub's IV assembly or recording is taken; the message names by what."""


def _plural(names, one, many):
    return f"{one if len(names) == 1 else many} {', '.join(names)}"


class Control:
    def __init__(self, settings, path, model):
        self.settings, self.path, self.model = settings, path, model
        self.units = settings.units()
        self.settings_saver = None     # callable(settings, changes) after a change is written
        self.sweeping = None           # the ranks of the running IV sweep
        self.recording = None          # the ranks of the running recording

    # -- configuration -----------------------------------------------------------

    def set_config(self, rank, **changes):
        """Change a unit's configuration: the shared record (under its lock) and
        the settings object the hub reads."""
        return self._write_config(rank, self.units[rank - 1].configuration.replaced(**changes))

    def _write_config(self, rank, configuration):
        self.units[rank - 1].configuration = configuration
        self.path.write_config(rank, configuration)
        self.model.config_changed(rank)
        return configuration

    def check_changes(self, ranks, changes):
        """The new configuration of every unit, or ConfigureError naming the
        field: nothing is written unless every value of every unit is good."""
        if not isinstance(changes, dict) or not changes:
            raise ConfigureError("settings: expected at least one FIELD=VALUE")
        for name in changes:
            if name in IDENTITY_FIELDS:
                raise ConfigureError(f"{name}: a unit's identity cannot be changed")
            if name not in SETTABLE_FIELDS:
                raise ConfigureError(f"{name}: not a cu_config field "
                                     f"(fields: {', '.join(SETTABLE_FIELDS)})")
        new = {}
        for r in ranks:
            try:
                new[r] = self.units[r - 1].configuration.replaced(**changes)
            except SettingsError as exc:
                raise ConfigureError(str(exc)) from None
        return new

    async def configure(self, units, changes, *, via="api", actor=None, timeout=5.0):
        """Write `changes` into every unit's configuration and wait until each
        unit echoes them.  Returns the ranks.  A bad field, value or unit raises
        ConfigureError before anything changes; units that do not follow within
        `timeout` raise ConfigureTimeout (the new settings stay: the workers go
        on sending corrections).  `actor` (who asked: a token's name, an
        address) goes into the settings event beside `via`."""
        try:
            ranks = resolve_units(self.settings, units)
        except UnitError as exc:
            raise ConfigureError(str(exc)) from None
        if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) \
                or not 0 < timeout <= 600:
            raise ConfigureError(f"timeout: expected 0 to 600 seconds, got {timeout!r}")
        sweeping = [self.units[r - 1].label for r in ranks if self.model.cu_status(r) == CU_IV]
        if sweeping:
            # A sweeping unit echoes the sweep's bias, not its setpoint.
            raise ConfigureError(f"{_plural(sweeping, 'unit', 'units')} "
                                 f"{'is' if len(sweeping) == 1 else 'are'} in an IV sweep; "
                                 "change settings after the sweep")
        new = self.check_changes(ranks, changes)
        loop = asyncio.get_running_loop()
        pending = {}
        for r in ranks:
            cu = self.units[r - 1]
            pending[(cu.mcuId, cu.cuId)] = (r, expected_echo(new[r]), loop.create_future())
        log = []
        self.path.watch_echoes({pair: _echo_checker(want, done)
                                for pair, (_, want, done) in pending.items()})
        try:
            for pair, (r, _, _) in pending.items():
                old = self.units[r - 1].configuration
                self._write_config(r, new[r])
                for name in changes:
                    before, after = old.get_c_value(name), new[r].get_c_value(name)
                    if before != after:
                        log.append({"rank": r, "name": unit_label(*pair), "field": name,
                                    "old": before, "new": after})
            event = {"kind": "settings", "time": time.time(), "via": via, "changes": log}
            if actor is not None:
                event["actor"] = actor
            self.model.publish_event(event)
            if self.settings_saver is not None and log:
                self.settings_saver(self.settings, log)
            await asyncio.wait([done for _, _, done in pending.values()], timeout=timeout)
        finally:
            self.path.unwatch_echoes(set(pending))
        late = [unit_label(*pair) for pair, (_, _, done) in pending.items() if not done.done()]
        if late:
            raise ConfigureTimeout(
                f"{_plural(late, 'unit', 'units')} did not echo the new settings within "
                f"{timeout:g} s (the change is kept and corrections go on; is the unit silent "
                "or ignoring updates?)", late)
        return ranks

    # -- the hub's two resources -------------------------------------------------

    def _names(self, ranks):
        names = [self.units[r - 1].label for r in sorted(ranks)[:8]]
        return ", ".join(names) + (f" and {len(ranks) - 8} more" if len(ranks) > 8 else "")

    async def sweep(self, ranks, changes, planned, *, timeout, progress=None, stop=None,
                    poll=0.05):
        """One IV sweep (see sweep.py); HostBusy while another one runs."""
        self._check_running()
        if self.sweeping is not None:
            raise HostBusy(f"an IV sweep of units {self._names(self.sweeping)} is running; the "
                           "hub assembles one at a time (wait for it to end or cancel it)")
        busy = [r for r in ranks if self.model.cu_status(r) == CU_IV]
        if busy:
            raise HostBusy(f"an IV sweep is already running on units {self._names(busy)}")
        self.sweeping = list(ranks)
        try:
            return await run_sweep(self, ranks, changes, planned, timeout=timeout,
                                   progress=progress, stop=stop, poll=poll)
        finally:
            self.sweeping = None

    async def record(self, ranks, seconds, *, progress=None, stop=None, poll=0.1):
        """One recording (see recording.py); HostBusy while another one runs."""
        self._check_running()
        if self.recording is not None:
            raise HostBusy(f"a recording of units {self._names(self.recording)} is running; "
                           "the hub keeps one at a time (wait for it to end or stop it)")
        self.recording = list(ranks)
        try:
            return await run_recording(self, ranks, seconds, progress=progress, stop=stop,
                                       poll=poll)
        finally:
            self.recording = None

    def _check_running(self):
        if self.path.hub is None or self.path.block is None:
            raise HostBusy("the host is not running")


def _echo_checker(want, done):
    def check(chunk):
        if not done.done() and echo_values(chunk) == want:
            done.set_result(True)
    return check
