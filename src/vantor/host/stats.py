"""What the data path has counted: per board from its monitor, in total
from every stage.  Unit state is the read model's (readmodel.py)."""


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
        self.mcus = {m: McuStats(m) for m in settings.devices}
        self.sequences = {}       # mcuId -> SequenceTracker of its admitted datagrams
        self.router = None        # counts the records that passed the broker's check
        self.datagrams = self.stream_in = self.stream_out = 0
        self.status_in = self.malformed = 0
        self.sync_failed = self.missing = self.errors = 0
        self.updates_sent = self.updates_undeliverable = 0
        self.last_error = None

    @property
    def records_in(self):
        return 0 if self.router is None else self.router.records_in

    def error(self, where, exc):
        self.errors += 1
        self.last_error = f"{where}: {type(exc).__name__}: {exc}"

    def dropped(self):
        return sum(s.dropped for s in self.sequences.values())

    def late(self):
        return sum(s.late for s in self.sequences.values())

    def duplicates(self):
        return sum(s.duplicated for s in self.sequences.values())
