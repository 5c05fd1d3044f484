"""What a run's file holds beside its data, gathered from the host while the
run lasts: where the data came from, the data path's counters over the run
(drops, late, duplicated, re-synchronisations, ...), the boards' temperatures
and PLL lock as time series, and the silence reports that explain gaps."""
import time

from .files import software_version
from .run import STATUS_SILENT, STATUS_SILENT_POWERED, Log

# Totals of the host whose change over a run goes into its file.
COUNTERS = ("records_in", "datagrams", "dropped", "late", "duplicated", "missing", "malformed",
            "sync_failed", "resyncs", "restarts", "unknown_mcu", "unknown_unit", "errors",
            "updates_sent", "updates_undeliverable")
BOARD_QUANTITIES = (("temp1", "unknown"), ("temp2", "unknown"), ("pll", "1"))


class RunWatch:
    def __init__(self, host, ranks):
        self.host = host
        self.ranks = set(ranks)
        self.wall = time.time()
        self.origin = None                         # unix seconds of board time 0, at finish()
        self.before = self._totals()
        self.silences = {r: [] for r in ranks}     # rank -> [(seconds since start, status)]
        self.boards = {}                           # mcuId -> {quantity: Log}
        self._reports = {}
        self._events = host.subscribe({"event"}, maxsize=10000)
        # a unit already silent when the run starts explains a gap from its start
        for r in ranks:
            status = host.cu_status(r)
            if status in (STATUS_SILENT, STATUS_SILENT_POWERED):
                self.silences[r].append((0.0, status))
        self.poll()

    def _totals(self):
        totals = self.host.totals()
        return {k: totals[k] for k in COUNTERS if isinstance(totals.get(k), int)}

    def poll(self):
        """Take in silence reports and new board reports; call it often."""
        now = time.time()
        while self._events is not None:
            item = self._events.get_nowait()
            if item is None:
                break
            _, event = item
            if event.get("kind") == "silence" and event.get("rank") in self.ranks:
                status = self.host.cu_status(event["rank"])
                self.silences[event["rank"]].append(
                    (event.get("time", now) - self.wall, status if status in (STATUS_SILENT, STATUS_SILENT_POWERED) else STATUS_SILENT))
        for board in self.host.boards_state(now):
            if board.get("last_seen") is None or self._reports.get(board["mcuId"]) == board["reports"]:
                continue
            self._reports[board["mcuId"]] = board["reports"]
            logs = self.boards.setdefault(board["mcuId"], {q: Log([], [], u)
                                                           for q, u in BOARD_QUANTITIES})
            t = board["last_seen"] - self.wall
            for quantity, log in logs.items():
                value = board.get(quantity)
                log.time.append(t)
                log.value.append(float("nan") if value is None else float(value))

    def finish(self):
        """(attrs, counters, logs) for the Run; stops listening."""
        self.poll()
        if self._events is not None:
            self._events.close()
            self._events = None
        after = self._totals()
        self.origin = self.host.totals().get("time_origin")
        counters = {k: after[k] - self.before.get(k, 0) for k in after}
        logs = {f"mcu_{m}/{q}": log for m, quantities in sorted(self.boards.items())
                for q, log in quantities.items()}
        host = self.host
        attrs = {"software": f"vantor {software_version()}", "source": "simulator"}
        if host.hardware:
            attrs["hardware_address"] = f"{host.hardware[0]}:{host.hardware[1]}"
            attrs["source"] = f"hardware {attrs['hardware_address']}"
        if host.running:
            attrs["listen_address"] = "%s:%s" % host.address
        return attrs, counters, logs
