"""The latch watch: pure detection and the recovery plan with a hand-driven
clock, then a real service in which units latch, recover, and hit the limit."""
import pytest

from tests.service_process import Service, settings_text, wait_for
from vantor.client import Client
from vantor.host.latch import LatchOptions, LatchWatch, RecoveryPlan, parse_latch
from vantor.wire import CU_IV, CU_TIMEOUT


def window(watch, counts, monitor, status=0, rank=1):
    return watch.feed([rank], [counts], [monitor], [status])


def test_latched_after_n_windows_and_free_at_the_first_count():
    watch = LatchWatch(LatchOptions(windows=3, monitor_volts=0.8), units=2)
    assert window(watch, 0, 1.0) == [] and window(watch, 0, -1.0) == []
    assert window(watch, 0, 1.0) == [(1, True)]
    assert window(watch, 0, 1.0) == []                    # once per event
    assert window(watch, 0, 1.0, status=CU_IV) == []      # sweeps and silence say nothing
    assert window(watch, 0, 1.0, status=CU_TIMEOUT) == []
    assert window(watch, 5, 0.2) == [(1, False)]
    assert watch.events[1] == 1


@pytest.mark.parametrize("counts, monitor", [(0, 0.3), (1, 1.0)])
def test_zero_counts_at_a_low_monitor_or_counts_at_a_high_one_are_not_latched(counts, monitor):
    watch = LatchWatch(LatchOptions(windows=1), units=1)
    assert window(watch, counts, monitor) == [] and not watch.latched[1]


def test_recovery_plan_holds_its_hourly_limit_and_leaves_quick_relatchers():
    now = [0.0]
    plan = RecoveryPlan(LatchOptions(max_per_hour=2, relatch_seconds=5), clock=lambda: now[0])
    assert plan.decide(1) == "recover"
    plan.restored_now(1)
    now[0] = 3.0
    assert plan.decide(1) == "relatched"
    now[0] = 100.0
    assert plan.decide(1) == "recover"
    now[0] = 200.0
    assert plan.decide(1) == "limit" and plan.decide(2) == "recover"
    now[0] = 3601.0
    assert plan.decide(1) == "recover"


@pytest.mark.parametrize("table, named", [({"windows": 0}, "latch.windows"),
                                          ({"windows": 2.5}, "latch.windows"),
                                          ({"recover": "yes"}, "latch.recover"),
                                          ({"wait": 1}, "latch.wait: unknown key")])
def test_bad_latch_table_is_named(table, named):
    with pytest.raises(ValueError, match=named):
        parse_latch(table)


HEAD = """buffSize = 10
[latch]
windows = 3
recover = true
recover_wait = 0.3
max_per_hour = 1
relatch_seconds = 1.0
[sim]
switching_spread = 0.0
[sim.unit."0.0"]
switching_current = 2.2e-5
[sim.unit."0.1"]
switching_current = 2.6e-5
"""


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    root = tmp_path_factory.mktemp("latch")
    (root / "site.toml").write_text(settings_text([4], HEAD))
    with Service(root / "data", "--config", str(root / "site.toml")) as svc:
        yield Client(svc.url)


def alarm(client, condition, name):
    return [a for a in client.alarms() if a["condition"] == condition
            and a["subject"] == f"unit {name}" and a["state"] == "active"]


def test_a_unit_above_switching_latches_within_three_windows_and_is_left_at_zero(client):
    wait_for(lambda: client.unit(1)["windows"] > 5, 10, "windows of unit 0.0")
    with client.live(rate=10) as live:
        client.configure([1], biasI=2.5e-5)
        seen = client.unit(1)["windows"]
        for message in live:
            events = message.get("events") or [message.get("event") or {}]
            latch = [e for e in events if e.get("kind") == "latch" and e.get("rank") == 1]
            if latch:
                break
    # three latched windows; before them the window that held the change (part
    # counting, part latched) and the one still on its way through the hub
    # when the unit echoed the new bias
    assert latch[0]["latched"] and latch[0]["windows"] - seen <= 3 + 2
    # recovered once, latched again at once: left at zero bias with an alarm saying so
    found = wait_for(lambda: alarm(client, "latch_recovery", "0.0"), 10, "left-at-zero alarm")
    assert "left at zero" in found[0]["message"]
    wait_for(lambda: client.unit(1)["config"]["biasI"] == 0.0, 10, "bias left at zero")


def test_a_sweep_past_switching_latches_a_unit_recovery_frees_it_then_the_limit_holds(client):
    def sweep():
        client.iv([2], start=0, stop=3e-5, step=1e-6, point_steps=5)
        return wait_for(lambda: client.unit(2)["latch_events"] > events, 10, "latched")

    events = client.unit(2)["latch_events"]
    sweep()
    wait_for(lambda: client.unit(2)["status"] == "ok" and client.unit(2)["rate"], 10,
             "counting again after recovery")
    latch_log = wait_for(lambda: [c for c in client.settings_log() if c["via"] == "latch"
                                  and c["rank"] == 2], 10, "the recovery in the settings log")
    assert sorted(c["new"] for c in latch_log) == [0.0, pytest.approx(2e-5)]
    assert alarm(client, "latched", "0.1") == []          # cleared once it counted again
    events = client.unit(2)["latch_events"]
    sweep()                                               # a second latch within the hour
    found = wait_for(lambda: alarm(client, "latch_recovery", "0.1"), 10, "limit alarm")
    assert "1 recoveries within the hour" in found[0]["message"]
    assert client.unit(2)["status"] == "latched" and alarm(client, "latched", "0.1")
    assert len([c for c in client.settings_log() if c["via"] == "latch" and c["rank"] == 2]) == 2
