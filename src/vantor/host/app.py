"""The host as everything outside it sees it: its life cycle, what it reads
(snapshots, unit states, subscriptions to the read model's decoded batches
and events) and what it changes (settings, IV sweeps, recordings).  The
terminal view, the operator commands, the service and the faces around it
use this facade only; the hub, the shared memory, the counters and the data
path stay inside."""
import asyncio
import gc
import time

from vantor.wire import unit_label
from .bus import KINDS
from .control import ConfigureError, ConfigureTimeout, Control, HostBusy
from .datapath import DataPath, default_listen
from .latch_keeper import LatchKeeper
from .overview import Overview
from .readmodel import ReadModel
from .stats import Stats
from .units import resolve_units

__all__ = ["Host", "ConfigureError", "ConfigureTimeout", "HostBusy", "default_listen"]

UNITS_PER_SLICE = 256
# A subscription holds at least this many items per unit: every unit falling
# silent at once (a crate losing power, the end of a run) is one event each,
# in the same turn as the windows around it, and none of it may be skipped.
ITEMS_PER_UNIT = 4


async def _until(condition, wait, poll=0.02):
    deadline = time.monotonic() + wait
    while not condition():
        if time.monotonic() > deadline:
            return False
        await asyncio.sleep(poll)
    return True


class Host:
    def __init__(self, settings, *, listen=("127.0.0.1", 0), hardware=None,
                 worker_processes=0, transport="ipc"):
        self.settings = settings
        self.units = settings.units()     # rank order
        self.hardware = hardware
        stats = Stats(settings)
        self._model = ReadModel(settings, stats, origin=self._origin)
        self._path = DataPath(settings, stats, self._model, listen=listen,
                              hardware=hardware, worker_processes=worker_processes,
                              transport=transport)
        self._overview = Overview(settings, stats, self._path, self._model)
        self._control = Control(settings, self._path, self._model)
        self._stats = stats
        self._watch = None
        self._model.latch = self.latch = LatchKeeper(self, settings.latch)

    def _origin(self):
        base = self._path.timebase
        return None if base is None else base.origin

    # -- life cycle --------------------------------------------------------------

    async def start(self):
        await self._path.start()
        self._overview.started_wall = time.time()
        self._watch = asyncio.create_task(self._overview.watch())
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
        await self.latch.close()
        await self._path.stop()
        self._model.bus.close()
        gc.unfreeze()

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.stop()

    @property
    def running(self):
        return self._path.udp is not None

    @property
    def address(self):
        return self._path.address

    @property
    def shm_name(self):
        return self._path.shm_name

    @property
    def worker_processes(self):
        return self._path.worker_processes

    @property
    def started_wall(self):
        return self._overview.started_wall

    async def wait_for_records(self, wait):
        """True once a record has reached the workers, False after `wait` s."""
        return await _until(lambda: self._stats.records_in > 0, wait)

    async def wait_for_windows(self, wait):
        """True once every unit's first window has reached the hub, False after `wait` s."""
        return await _until(lambda: self._stats.stream_in >= len(self.units), wait)

    # -- reading -----------------------------------------------------------------

    def subscribe(self, kinds=KINDS, maxsize=1000):
        """A bounded queue of (kind, payload); see vantor.host.bus.  Kind
        "windows" carries each decoded batch (readmodel.Windows)."""
        if maxsize > 0:          # 0: unbounded, as asyncio.Queue takes it
            maxsize = max(maxsize, ITEMS_PER_UNIT * len(self.units))
        return self._model.subscribe(kinds, maxsize)

    def publish_event(self, event):
        self._model.publish_event(event)

    def snapshot(self, units=None):
        """Every unit, board and counter now; `units` takes unit states the
        caller already read (a few at a time) instead of reading them all here."""
        now_wall = time.time()
        if units is None:
            units = self._model.states(1, len(self.units) + 1, now_wall)
        started = self.started_wall
        return {"time": now_wall, "uptime": 0.0 if started is None else now_wall - started,
                "units": units, "boards": self.boards_state(now_wall), "totals": self.totals(),
                "workers": self.workers_state()}

    def unit_state(self, rank, now_wall=None):
        """One unit of the snapshot."""
        return self._model.states(rank, rank + 1, now_wall)[0]

    def cu_status(self, rank):
        """cuStatus of the unit's last stream record (None before any), without
        building its whole state: a run of thousands of units asks for each."""
        return self._model.cu_status(rank)

    def unit_state_slices(self, now_wall=None, size=UNITS_PER_SLICE):
        """Every unit's state in rank order, `size` units per list, each read
        when asked for: a reader on the loop gives it a turn between two, since
        thousands of units in one pass hold it long enough for datagrams to
        pile up."""
        now_wall = time.time() if now_wall is None else now_wall
        count = len(self.units)
        for first in range(1, count + 1, size):
            yield self._model.states(first, min(first + size, count + 1), now_wall)

    def unit_versions(self):
        """Per unit (rank order) a number that changes whenever the unit's state
        does, ages aside: lets readers send only what changed."""
        return self._model.versions()

    def boards_state(self, now_wall=None):
        return self._overview.boards_state(now_wall)

    def totals(self):
        return self._overview.totals()

    def workers_state(self):
        return self._path.workers_state()

    def resolve(self, units):
        """Ranks of unit names (ranks or MCU.CU); UnitError names a bad one."""
        return resolve_units(self.settings, units)

    def name_of(self, rank):
        cu = self.units[rank - 1]
        return unit_label(cu.mcuId, cu.cuId)

    # -- changing ----------------------------------------------------------------

    @property
    def settings_saver(self):
        return self._control.settings_saver

    @settings_saver.setter
    def settings_saver(self, saver):
        """callable(settings, changes), run after a change is written."""
        self._control.settings_saver = saver

    async def configure(self, units, changes, *, via="api", actor=None, timeout=5.0):
        """See Control.configure: a settings change verified by the units' echo."""
        return await self._control.configure(units, changes, via=via, actor=actor,
                                             timeout=timeout)

    async def sweep(self, ranks, changes, planned, *, timeout, progress=None, stop=None,
                    poll=0.05):
        """One IV sweep (host/sweep.py); HostBusy while another runs.  Callers
        plan and check it first: vantor.ops.iv.run_sweep does both."""
        return await self._control.sweep(ranks, changes, planned, timeout=timeout,
                                         progress=progress, stop=stop, poll=poll)

    async def record(self, ranks, seconds, *, progress=None, stop=None, poll=0.1):
        """One recording (host/recording.py); HostBusy while another runs."""
        return await self._control.record(ranks, seconds, progress=progress, stop=stop,
                                          poll=poll)

    @property
    def sweeping(self):
        """Ranks of the IV sweep running now, or None."""
        return self._control.sweeping

    @property
    def recording(self):
        """Ranks of the recording running now, or None."""
        return self._control.recording
