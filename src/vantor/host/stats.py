"""What the host has seen: per unit, per board and in total.  Units learn
from the hub's batches (the records the front end receives), boards from
their monitors, totals from every stage of the data path."""
import time

from vantor.wire import (CU_IV, CU_TIMEOUT, CU_TIMEOUT_POWERED, STEP_S, STREAM_DATA,
                         STREAM_FIELDS)

UPDATE_SHOWN_S = 1.0      # a unit shows "update" this long after a correction was sent
_RANK = STREAM_FIELDS.index("rank")


def status_word(status):
    """A unit's state from the cuStatus of its last stream record."""
    if status is None:
        return "unheard"
    if status in (CU_TIMEOUT, CU_TIMEOUT_POWERED):
        return "silent"
    return "IV" if status == CU_IV else "ok"


class UnitStats:
    def __init__(self, cu):
        self.rank, self.label = cu.rank, cu.label
        self.mcuId, self.cuId = cu.mcuId, cu.cuId
        self.status = None        # cuStatus of the last stream record
        self.rate = None          # counts per second of the last window
        self.counts = self.intSize = None
        self.monitorV = None
        self.biasI = None
        self.windows = self.iv_points = 0
        self.updates = 0
        self.alarms = 0           # silence status records (100)
        self.last_update = 0.0    # time.monotonic() of the last correction sent
        self.last_seen = None     # time.time() of the last stream record

    def stream_record(self, rec):
        status = rec["cuStatus"]
        if status == CU_TIMEOUT:
            self.alarms += 1
        elif status != CU_TIMEOUT_POWERED:
            if status == CU_IV:
                self.iv_points += 1
            else:
                self.windows += 1
            self.counts, self.intSize = rec["counts"], rec["intSize"]
            if rec["intSize"]:
                self.rate = rec["counts"] / (rec["intSize"] * STEP_S)
            self.monitorV = rec["monitorV"]
            self.biasI = rec["biasI"]
            self.last_seen = time.time()
        self.status = status

    def word(self, now=None):
        """The unit's state as operators read it."""
        word = status_word(self.status)
        if word == "ok":
            now = time.monotonic() if now is None else now
            if self.last_update and now - self.last_update < UPDATE_SHOWN_S:
                return "update"
        return word


class McuStats:
    def __init__(self, mcu_id):
        self.mcuId = mcu_id
        self.temp1 = self.temp2 = None
        self.pll = None
        self.status = 0
        self.status_changes = 0
        self.reports = 0
        self.last_seen = None     # time.time() of the last status record


class Stats:
    def __init__(self, settings):
        self.units = {cu.rank: UnitStats(cu) for cu in settings.units()}
        self.by_pair = {(cu.mcuId, cu.cuId): self.units[cu.rank] for cu in settings.units()}
        self.mcus = {m: McuStats(m) for m in settings.devices}
        self.sequences = {}       # mcuId -> SequenceTracker of its admitted datagrams
        self.datagrams = self.records_in = self.stream_in = self.stream_out = 0
        self.status_in = self.malformed = 0
        self.sync_failed = self.missing = self.errors = 0
        self.updates_sent = self.updates_undeliverable = 0
        self.iv_results = 0
        self.last_iv = None
        self.iv_range = None
        self.last_error = None

    def error(self, where, exc):
        self.errors += 1
        self.last_error = f"{where}: {type(exc).__name__}: {exc}"

    def stream_batch(self, data):
        """A batch the hub handed out (records back to back).  Returns how
        many records it held and the units whose state word changed, as
        (unit, old word) pairs."""
        size = STREAM_DATA.size
        count, changed = len(data) // size, []
        for values in STREAM_DATA.iter_unpack(data[:count * size]):
            unit = self.units.get(values[_RANK])
            if unit is not None:
                old = status_word(unit.status)
                unit.stream_record(dict(zip(STREAM_FIELDS, values)))
                if status_word(unit.status) != old:
                    changed.append((unit, old))
        self.stream_out += count
        return count, changed

    def dropped(self):
        return sum(s.dropped for s in self.sequences.values())

    def late(self):
        return sum(s.late for s in self.sequences.values())

    def duplicates(self):
        return sum(s.duplicated for s in self.sequences.values())
