"""The latch watch: which units sit latched (monitor voltage at the latched
level, zero counts, for `windows` windows in a row), and whether a latched
unit may be recovered now (at most `max_per_hour`; not one that latched
again at once after its last recovery).  Pure logic: arrays of one batch of
windows in, transitions out; the clock is passed in."""
import collections
import time
from dataclasses import dataclass

import numpy as np

from vantor.wire import CU_IV, CU_TIMEOUT, CU_TIMEOUT_POWERED
from .option_table import entries, flag, number

HOUR = 3600.0


@dataclass(frozen=True)
class LatchOptions:
    enabled: bool = True
    windows: int = 3              # windows in a row at the latched level with zero counts
    monitor_volts: float = 0.8    # |monitorV| at or above which a unit looks latched
    recover: bool = False         # lower the bias to zero, wait, restore it
    recover_wait: float = 1.0     # seconds at zero bias
    max_per_hour: int = 3         # recoveries per unit within the last hour
    relatch_seconds: float = 10.0  # latched again within this after a recovery: left at zero


_LIMITS = {"windows": (1, 10000), "monitor_volts": (1e-6, 1e6), "recover_wait": (0.01, 600),
           "max_per_hour": (0, 1000), "relatch_seconds": (0, 3600)}


def parse_latch(table):
    """LatchOptions from the [latch] table; ValueError naming the key otherwise."""
    values = {}
    for key, where, value in entries("latch", table, LatchOptions):
        if key in ("enabled", "recover"):
            values[key] = flag(where, value)
        else:
            value = number(where, value, *_LIMITS[key])
            if key in ("windows", "max_per_hour") and not isinstance(value, int):
                raise ValueError(f"{where}: expected a whole number, got {value!r}")
            values[key] = value if isinstance(value, int) and key in ("windows", "max_per_hour") \
                else float(value)
    return LatchOptions(**values)


class LatchWatch:
    """Per unit: windows in a row that looked latched, latched now, latch events."""

    def __init__(self, options, units):
        self.options = options
        self.run = np.zeros(units + 1, dtype=np.int64)        # index: rank
        self.latched = np.zeros(units + 1, dtype=bool)
        self.events = np.zeros(units + 1, dtype=np.int64)

    def feed(self, rank, counts, monitorV, cuStatus):
        """One batch of windows; returns [(rank, latched)] of units that changed.
        Sweep points and silence records say nothing either way."""
        rank = np.asarray(rank, dtype=np.int64)
        status = np.asarray(cuStatus)
        measured = (status != CU_IV) & (status != CU_TIMEOUT) & (status != CU_TIMEOUT_POWERED) \
            & (rank > 0) & (rank < len(self.run))
        looks = measured & (np.asarray(counts) == 0) \
            & (np.abs(np.asarray(monitorV)) >= self.options.monitor_volts)
        changed = []
        for r in rank[looks]:
            self.run[r] += 1
            if self.run[r] >= self.options.windows and not self.latched[r]:
                self.latched[r] = True
                self.events[r] += 1
                changed.append((int(r), True))
        free = rank[measured & ~looks]
        free = free[(self.run[free] > 0) | self.latched[free]]
        for r in free:
            self.run[r] = 0
            if self.latched[r]:
                self.latched[r] = False
                changed.append((int(r), False))
        return changed


class RecoveryPlan:
    """Whether a unit that latched may be recovered now."""

    def __init__(self, options, clock=time.monotonic):
        self.options, self.clock = options, clock
        self.done = collections.defaultdict(collections.deque)   # rank -> recovery times
        self.restored = {}                                        # rank -> time bias restored

    def decide(self, rank):
        """"recover", "relatched" (latched again at once after the last one:
        leave it at zero) or "limit" (max_per_hour reached)."""
        now = self.clock()
        back = self.restored.get(rank)
        if back is not None and now - back <= self.options.relatch_seconds:
            return "relatched"
        recent = self.done[rank]
        while recent and now - recent[0] >= HOUR:
            recent.popleft()
        if len(recent) >= self.options.max_per_hour:
            return "limit"
        recent.append(now)
        return "recover"

    def restored_now(self, rank):
        self.restored[rank] = self.clock()
