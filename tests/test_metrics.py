"""The Prometheus text: parsed back with prometheus-client's own parser."""
from prometheus_client.parser import text_string_to_metric_families

from vantor.alarms import AlarmEngine
from vantor.service.metrics import registry_for, render


class FakeHost:
    def __init__(self, snap):
        self.snap = snap

    def snapshot(self):
        return self.snap


SNAP = {
    "time": 1765000000.0, "uptime": 12.5,
    "units": [
        {"rank": 1, "name": "0.0", "status": "ok", "rate": 1234.5, "monitorV": 0.0123,
         "config": {"biasI": 2e-5}, "updates": 3, "alarms": 0, "age": 0.4},
        {"rank": 2, "name": "0.1", "status": "unheard", "rate": None, "monitorV": None,
         "config": {"biasI": 1.5e-5}, "updates": 0, "alarms": 0, "age": None},
    ],
    "boards": [{"mcuId": 0, "temp1": 35.1, "temp2": 4.2, "pll": False, "status": 0,
                "reports": 12},
               {"mcuId": 1, "temp1": None, "temp2": None, "pll": None, "status": 0,
                "reports": 0}],
    "totals": {"records_in": 3200, "datagrams": 400, "dropped": 7, "late": 1,
               "duplicated": 0, "malformed": 2, "updates_sent": 3, "errors": 0},
    "workers": {"processes": 2, "alive": [0, 1]},
}


def samples(text):
    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            out[(s.name, tuple(sorted(s.labels.items())))] = s.value
    return out


def test_series_and_labels():
    engine = AlarmEngine()
    raised = engine.set("pll", "board 0", True, "board 0: PLL not locked")
    engine.set("loss", "datagrams", True, "lost")
    engine.acknowledge(raised["id"])
    got = samples(render(registry_for(FakeHost(SNAP), engine)).decode())
    unit = (("rank", "1"), ("unit", "0.0"))
    assert got[("vantor_unit_rate", unit)] == 1234.5
    assert got[("vantor_unit_bias_current_setpoint_amperes", unit)] == 2e-5
    assert got[("vantor_unit_updates_total", unit)] == 3
    assert got[("vantor_unit_status", tuple(sorted(unit + (("status", "ok"),))))] == 1
    silent = (("rank", "2"), ("unit", "0.1"))
    assert ("vantor_unit_rate", silent) not in got          # not measured: no sample
    assert got[("vantor_unit_status", tuple(sorted(silent + (("status", "unheard"),))))] == 1
    assert got[("vantor_board_temperature", (("mcu", "0"), ("sensor", "temp1")))] == \
        35.1
    assert got[("vantor_board_pll_locked", (("mcu", "0"),))] == 0
    assert ("vantor_board_pll_locked", (("mcu", "1"),)) not in got
    assert got[("vantor_dropped_total", ())] == 7
    assert got[("vantor_records_in_total", ())] == 3200
    assert got[("vantor_worker_processes_alive", ())] == 2
    assert got[("vantor_alarms", (("state", "acknowledged"),))] == 1
    assert got[("vantor_alarms", (("state", "active"),))] == 1
    key = ("vantor_alarm", (("condition", "pll"), ("id", raised["id"]), ("severity", "critical"),
                            ("state", "acknowledged"), ("subject", "board 0")))
    assert got[key] == 1


def test_each_scrape_reads_a_fresh_snapshot():
    host = FakeHost(dict(SNAP, totals={"dropped": 1}))
    registry = registry_for(host)
    assert samples(render(registry).decode())[("vantor_dropped_total", ())] == 1
    host.snap = dict(SNAP, totals={"dropped": 5})
    assert samples(render(registry).decode())[("vantor_dropped_total", ())] == 5
