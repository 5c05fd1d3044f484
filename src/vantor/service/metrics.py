"""Prometheus metrics read from the host's snapshot and the alarm engine at
scrape time, so a lab's existing Prometheus and Grafana see per-unit rates,
board temperatures, loss counters and alarm states."""
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

from vantor.wire import STATUS_WORDS

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
UNIT_LABELS = ("rank", "unit")
UNIT_STATUSES = STATUS_WORDS
ALARM_STATES = ("active", "acknowledged", "cleared")

# snapshot totals exported as counters: name -> help text
TOTALS = {
    "records_in": "Channel-unit records received",
    "stream_in": "Stream records received from the workers",
    "stream_out": "Stream records passed to the live batches",
    "datagrams": "Datagrams received",
    "status_in": "Microcontroller status records received",
    "dropped": "Datagrams lost (sequence gaps not filled later)",
    "late": "Datagrams that arrived after a later one",
    "duplicated": "Datagrams received twice",
    "malformed": "Datagrams or records of the wrong size",
    "sync_failed": "Records that failed the cycle check",
    "missing": "Channel units missing from a cycle",
    "unknown_mcu": "Datagrams from microcontrollers not in the settings",
    "updates_sent": "Settings updates sent to units",
    "updates_undeliverable": "Settings updates that could not be sent",
    "errors": "Errors in host code",
}


class VantorCollector:
    """A prometheus-client collector; `host` has snapshot(), `engine` alarms(),
    `archive()` the archive writer (its status()) or None while there is none."""

    def __init__(self, host, engine=None, archive=None):
        self.host, self.engine, self.archive = host, engine, archive

    def collect(self):
        snap = self.host.snapshot()
        yield from self._units(snap.get("units", ()))
        yield from self._boards(snap.get("boards", ()))
        yield from self._totals(snap)
        if self.engine is not None:
            yield from self._alarms()
        writer = self.archive() if self.archive is not None else None
        if writer is not None:
            status = writer.status()
            ok = GaugeMetricFamily("vantor_archive_ok", "1 while the archive writes")
            ok.add_metric([], 1.0 if status["ok"] else 0.0)
            yield ok
            lost = CounterMetricFamily("vantor_archive_lost_batches",
                                       "Archive batches that could not be written")
            lost.add_metric([], status["lost_batches"])
            yield lost

    def _units(self, units):
        rate = GaugeMetricFamily("vantor_unit_rate", "Counts per second of the unit's last "
                                 "integration window", labels=UNIT_LABELS)
        monitor = GaugeMetricFamily("vantor_unit_monitor_volts", "Mean monitor voltage of the "
                                    "last window", labels=UNIT_LABELS)
        bias = GaugeMetricFamily("vantor_unit_bias_current_setpoint_amperes",
                                 "Configured bias current", labels=UNIT_LABELS)
        age = GaugeMetricFamily("vantor_unit_age_seconds", "Seconds since the unit's last "
                                "stream record", labels=UNIT_LABELS)
        status = GaugeMetricFamily("vantor_unit_status", "1 for the unit's current status",
                                   labels=UNIT_LABELS + ("status",))
        updates = CounterMetricFamily("vantor_unit_updates", "Settings updates sent to the unit",
                                      labels=UNIT_LABELS)
        silences = CounterMetricFamily("vantor_unit_silence_records", "Silence records of "
                                       "the unit", labels=UNIT_LABELS)
        for unit in units:
            labels = [str(unit["rank"]), unit["name"]]
            for family, key in ((rate, "rate"), (monitor, "monitorV"), (age, "age")):
                if unit.get(key) is not None:     # not measured: no sample, not a zero
                    family.add_metric(labels, unit[key])
            setpoint = (unit.get("config") or {}).get("biasI")
            if setpoint is not None:
                bias.add_metric(labels, setpoint)
            for word in UNIT_STATUSES:
                status.add_metric(labels + [word], 1.0 if unit.get("status") == word else 0.0)
            updates.add_metric(labels, unit.get("updates") or 0)
            silences.add_metric(labels, unit.get("alarms") or 0)
        return rate, monitor, bias, age, status, updates, silences

    def _boards(self, boards):
        temp = GaugeMetricFamily("vantor_board_temperature", "Board temperature readings",
                                 labels=("mcu", "sensor"))
        pll = GaugeMetricFamily("vantor_board_pll_locked", "1 when the board's PLL is locked",
                                labels=("mcu",))
        status = GaugeMetricFamily("vantor_board_status", "Status byte the board reported",
                                   labels=("mcu",))
        reports = CounterMetricFamily("vantor_board_reports", "Status records of the board",
                                      labels=("mcu",))
        for board in boards:
            mcu = str(board["mcuId"])
            for sensor in ("temp1", "temp2"):
                if board.get(sensor) is not None:
                    temp.add_metric([mcu, sensor], board[sensor])
            if board.get("pll") is not None:
                pll.add_metric([mcu], 1.0 if board["pll"] else 0.0)
            if board.get("status") is not None:
                status.add_metric([mcu], board["status"])
            reports.add_metric([mcu], board.get("reports") or 0)
        return temp, pll, status, reports

    def _totals(self, snap):
        totals = snap.get("totals", {})
        for name, text in TOTALS.items():
            if totals.get(name) is not None:
                family = CounterMetricFamily(f"vantor_{name}", text)
                family.add_metric([], totals[name])
                yield family
        uptime = GaugeMetricFamily("vantor_uptime_seconds", "Seconds since the host started")
        uptime.add_metric([], snap.get("uptime", 0.0))
        yield uptime
        workers = snap.get("workers") or {}
        alive = GaugeMetricFamily("vantor_worker_processes_alive", "Worker processes running")
        alive.add_metric([], len(workers.get("alive") or ()))
        yield alive

    def _alarms(self):
        shown = GaugeMetricFamily("vantor_alarm", "1 per shown alarm, by its state",
                                  labels=("id", "condition", "subject", "severity", "state"))
        counts = GaugeMetricFamily("vantor_alarms", "Shown alarms per state", labels=("state",))
        per_state = dict.fromkeys(ALARM_STATES, 0)
        for alarm in self.engine.to_json():
            shown.add_metric([alarm["id"], alarm["condition"], alarm["subject"],
                              alarm["severity"], alarm["state"]], 1.0)
            per_state[alarm["state"]] += 1
        for state, n in per_state.items():
            counts.add_metric([state], n)
        return shown, counts


def registry_for(host, engine=None, archive=None):
    registry = CollectorRegistry(auto_describe=False)
    registry.register(VantorCollector(host, engine, archive))
    return registry


def render(registry):
    """The Prometheus text exposition of everything in the registry."""
    return generate_latest(registry)
