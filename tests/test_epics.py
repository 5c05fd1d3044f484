"""vantor serve --epics as facility tools see it: Channel Access through
pyepics and pvAccess through p4p, on loopback ports of this test run, against
the service and its simulator."""
import importlib.util
import math
import time

import pytest

from tests import epics_ports
from tests.service_process import Service, settings_text, wait_for
from vantor.client import Client
from vantor.wire import f32

epics = pytest.importorskip("epics")
pytest.importorskip("p4p")
if importlib.util.find_spec("softioc") is None:    # not imported: the service runs it
    pytest.skip("the epics extra is not installed", allow_module_level=True)

WINDOW_S = 0.2
SETTINGS = settings_text([3, 3], head=f"buffSize = {int(WINDOW_S * 100)}\n"
                                      "[limits]\nbiasI = [0.0, 5e-5]\n"
                                      '[alarms.rate_band]\n"0.2" = [1e6, "none"]\n')
INVALID = 3


def start(tmp_path, prefix, *args):
    path = tmp_path / "site.toml"
    path.write_text(SETTINGS)
    svc = Service(tmp_path / "data", "--config", str(path), "--epics", prefix, *args,
                  env=epics_ports.SERVER_ENV)
    assert any(f"EPICS records {prefix}" in line for line in svc.lines)
    wait_for(lambda: all(u["windows"] for u in Client(svc.url).units()), 20, "first windows")
    return svc


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    svc = start(tmp_path_factory.mktemp("epics"), "TW:", "--epics-writes", "--silence", "1.2@4",
                "--ignore-updates", "0.0")
    yield svc
    code, _, err = svc.stop()
    assert code == 0, err


@pytest.fixture(scope="module")
def pva():
    ctx = epics_ports.pva_context()
    yield ctx
    ctx.close()


def pv(name):
    channel = epics.PV(name, form="ctrl")
    assert channel.wait_for_connection(5), f"{name} did not connect"
    return channel


@pytest.mark.parametrize("name, units, low, high", [
    ("TW:U1:RATE", "cts/s", 0, 1e6), ("TW:U1:MONV", "V", None, None),
    ("TW:U1:COUNTS", "counts", 0, None), ("TW:U1:BIAS_SP", "A", 0, 5e-5),
    ("TW:U1:BIAS_RBV", "A", 0, 5e-5), ("TW:MCU0:TEMP1", "degC", 0, 60),
    ("TW:MCU1:TEMP2", "K", 0, 10), ("TW:RECORDS", "records", 0, None),
])
def test_channel_access_values_carry_units_limits_and_window_times(service, name, units, low,
                                                                   high):
    channel = pv(name)
    value = channel.get(timeout=5)
    assert value is not None and math.isfinite(value)
    assert channel.units == units
    if low is not None:
        assert channel.lower_disp_limit == pytest.approx(low)
    if high is not None:
        assert channel.upper_disp_limit == pytest.approx(high)
    assert abs(time.time() - channel.timestamp) < 3


def test_enumerated_status_name_and_totals(service):
    wait_for(lambda: pv("TW:U2:STATUS").get(as_string=True, use_monitor=False) == "ok", 3,
             "status ok")
    assert pv("TW:U2:STATUS").enum_strs[:6] == ("ok", "IV", "silent", "update", "unheard",
                                               "latched")
    assert pv("TW:U5:NAME").get() == "1.1"
    assert pv("TW:RECORDS").get() > 0 and pv("TW:ALARMS").get() >= 0


def test_rate_is_posted_every_window_with_its_time(service):
    seen = []
    channel = epics.PV("TW:U3:RATE", callback=lambda **kw: seen.append(kw["timestamp"]))
    assert channel.wait_for_connection(5)
    time.sleep(10 * WINDOW_S + 0.3)
    channel.clear_callbacks()
    steps = [b - a for a, b in zip(seen[1:], seen[2:])]
    assert len(steps) >= 8, seen
    # times are the windows' ends on the boards' clock: one window apart
    assert all(step == pytest.approx(WINDOW_S, abs=0.011) for step in steps), steps


def test_pvaccess_get_and_monitor(service, pva):
    value = pva.get("TW:U4:RATE", timeout=5)
    assert value.raw.display.units == "cts/s" and value.severity == 0
    assert abs(time.time() - value.timestamp) < 3
    stamps = []
    sub = pva.monitor("TW:U4:RATE", lambda v: stamps.append(v.timestamp))
    time.sleep(10 * WINDOW_S + 0.3)
    sub.close()
    assert len(set(stamps)) >= 8, stamps


@pytest.mark.parametrize("via", ["ca", "pva"])
def test_bias_put_is_verified_logged_and_shown(service, pva, via):
    client, unit = Client(service.url), {"ca": 2, "pva": 3}[via]
    name, target = f"TW:U{unit}:BIAS_SP", {"ca": 1.25e-5, "pva": 1.75e-5}[via]
    if via == "ca":
        assert pv(name).put(target, wait=True, timeout=5) == 1
    else:
        pva.put(name, target, timeout=5)
    wait_for(lambda: client.unit(unit)["config"]["biasI"] == f32(target), 5, "the new set point")
    rbv = wait_for(lambda: (v := pva.get(f"TW:U{unit}:BIAS_RBV", timeout=5)) == f32(target)
                   and v, 6, "the echoed bias")
    assert rbv.severity == 0
    wait_for(lambda: pva.get(name, timeout=5).severity == 0, 3, "BIAS_SP's alarm clearing")
    logged = wait_for(lambda: [c for c in client.settings_log(since=-60)
                               if c["rank"] == unit and c["field"] == "biasI"], 5, "log entry")
    assert logged[0]["via"] == "epics" and logged[0]["new"] == f32(target)


def test_bias_sp_says_while_the_unit_has_not_echoed(service, pva):
    # unit 0.0 (rank 1) ignores updates: the change stays, the echo never comes
    pva.put("TW:U1:BIAS_SP", 1.1e-5, timeout=5)
    def alarm():
        return tuple(epics.caget(f"TW:U1:BIAS_SP.{f}", as_string=True, use_monitor=False)
                     for f in ("SEVR", "STAT"))
    wait_for(lambda: alarm() == ("MINOR", "WRITE"), 1, "BIAS_SP MINOR/WRITE while not echoed")
    wait_for(lambda: alarm() == ("MAJOR", "TIMEOUT"), 8, "BIAS_SP MAJOR/TIMEOUT once overdue")
    assert Client(service.url).unit(1)["config"]["biasI"] == f32(1.1e-5)


def test_alarms_of_the_engine_set_their_records_severity(service, pva):
    # unit 0.2 (rank 3) counts far below the band's lower end: a minor rate alarm
    def rate_alarm():
        return tuple(epics.caget(f"TW:U3:RATE.{f}", as_string=True, use_monitor=False)
                     for f in ("SEVR", "STAT"))
    wait_for(lambda: rate_alarm() == ("MINOR", "LOW"), 5, "U3:RATE MINOR/LOW")
    assert pva.get("TW:U2:RATE", timeout=5).severity == 0
    wait_for(lambda: pva.get("TW:ALARMS", timeout=5) >= 1, 5, "ALARMS counting it")


def test_set_points_from_the_api_show_on_bias_sp(service, pva):
    Client(service.url).configure([4], biasI=1.1e-5)
    wait_for(lambda: pva.get("TW:U4:BIAS_SP", timeout=5) == f32(1.1e-5), 3, "BIAS_SP following")


@pytest.mark.parametrize("via", ["ca", "pva"])
def test_a_refused_put_changes_nothing(service, pva, via):
    client, name = Client(service.url), "TW:U6:BIAS_SP"
    def changes_of_6():
        return [c for c in client.settings_log(since=-600) if c["rank"] == 6]
    before, log_before = client.unit(6)["config"], changes_of_6()
    if via == "pva":
        with pytest.raises(Exception, match="not permitted|refused|rror"):
            pva.put(name, 2e-4, timeout=5)          # outside [limits]
    else:
        pv(name).put(2e-4, wait=True, timeout=5)
    time.sleep(0.5)
    assert client.unit(6)["config"] == before
    assert pva.get(name, timeout=5) == before["biasI"] and pv(name).get() == before["biasI"]
    time.sleep(1.0)                       # the archive writes once a second
    assert changes_of_6() == log_before


def test_a_silenced_unit_turns_invalid_within_its_timeout(service, pva):
    # unit 1.2 (rank 6) stops sending 4 s after the start; its time-out is 1 s
    def invalid():
        value = pva.get("TW:U6:RATE", timeout=5)
        return value.severity == INVALID and value
    value = wait_for(invalid, 15, "U6:RATE INVALID")
    assert value.status != 0
    wait_for(lambda: pv("TW:U6:STATUS").get(as_string=True) == "silent", 3, "status silent")
    assert pva.get("TW:U5:RATE", timeout=5).severity == 0      # its neighbour goes on
