"""What the host has seen, for the live view and for tests."""
import time

from .records import CU_IV, CU_TIMEOUT, CU_TIMEOUT_POWERED, STREAM_DATA, STREAM_FIELDS, decode


class SequenceTracker:
    """Per-microcontroller sequence bookkeeping on arrival: a gap counts as
    dropped until the missing datagram turns up late."""

    def __init__(self, window=1000):
        self.window = window
        self.top = None
        self.missing = set()
        self.dropped = self.late = self.duplicates = 0

    def see(self, seq):
        if self.top is None:
            self.top = seq
        elif seq > self.top:
            gap = seq - self.top - 1
            self.dropped += gap
            if gap <= self.window:
                self.missing.update(range(self.top + 1, seq))
            self.top = seq
            if len(self.missing) > self.window:
                floor = self.top - self.window
                self.missing = {s for s in self.missing if s > floor}
        elif seq in self.missing:
            self.missing.discard(seq)
            self.dropped -= 1
            self.late += 1
        else:
            self.duplicates += 1


class UnitStats:
    def __init__(self, cu):
        self.rank, self.label = cu.rank, cu.label
        self.powered = cu.configuration.powered == 1
        self.status = None        # cuStatus of the last stream record
        self.rate = None          # counts per second of the last window
        self.monitorV = None
        self.windows = self.iv_points = 0
        self.updates = 0
        self.alarms = 0           # silence status records (100)
        self.last_update = 0.0

    def stream_record(self, rec):
        status = rec["cuStatus"]
        if status == CU_TIMEOUT:
            self.alarms += 1
        elif status != CU_TIMEOUT_POWERED:
            if status == CU_IV:
                self.iv_points += 1
            else:
                self.windows += 1
            if rec["intSize"]:
                self.rate = rec["counts"] / (rec["intSize"] * 0.01)
            self.monitorV = rec["monitorV"]
        self.status = status


class McuStats:
    def __init__(self, mcu_id):
        self.mcuId = mcu_id
        self.temp1 = self.temp2 = None
        self.pll = None
        self.status = 0
        self.status_changes = 0
        self.reports = 0
        self.sequence = SequenceTracker()


class Stats:
    def __init__(self, settings):
        self.started = time.monotonic()
        self.units = {cu.rank: UnitStats(cu) for cu in settings.units()}
        self.by_pair = {(cu.mcuId, cu.cuId): self.units[cu.rank] for cu in settings.units()}
        self.mcus = {m: McuStats(m) for m in settings.devices}
        self.datagrams = self.records_in = self.stream_in = self.stream_out = 0
        self.status_in = self.malformed = self.unknown_mcu = 0
        self.sync_failed = self.missing = self.errors = 0
        self.updates_sent = self.updates_undeliverable = 0
        self.iv_results = 0
        self.last_iv = None
        self.iv_range = None
        self.last_error = None

    def error(self, where, exc):
        self.errors += 1
        self.last_error = f"{where}: {type(exc).__name__}: {exc}"

    def stream_frame(self, frame):
        """A record straight from a worker."""
        self.stream_in += 1
        if len(frame) >= STREAM_DATA.size:
            rec = decode(STREAM_DATA, STREAM_FIELDS, frame)
            unit = self.units.get(rec["rank"])
            if unit is not None:
                unit.stream_record(rec)

    def dropped(self):
        return sum(m.sequence.dropped for m in self.mcus.values())

    def late(self):
        return sum(m.sequence.late for m in self.mcus.values())

    def duplicates(self):
        return sum(m.sequence.duplicates for m in self.mcus.values())

    def snapshot(self):
        return {"t": time.monotonic(), "records_in": self.records_in,
                "stream_out": self.stream_out, "datagrams": self.datagrams}
