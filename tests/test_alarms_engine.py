"""Alarm states and the conditions that raise and clear them, driven by
synthetic snapshots and events shaped like the host's."""
import pytest

from vantor.alarms import AlarmEngine, ConditionChecker, UnknownAlarm, parse_alarms
from vantor.alarms.options import AlarmOptions


def unit(rank=1, status="ok", rate=100.0, updates=0):
    return {"rank": rank, "name": f"0.{rank - 1}", "status": status, "rate": rate,
            "updates": updates}


def board(pll=True, temp1=35.0, temp2=4.2):
    return {"mcuId": 0, "pll": pll, "temp1": temp1, "temp2": temp2}


def snap(t, units=(), boards=(), uptime=100.0, totals=None):
    return {"time": t, "uptime": uptime, "units": list(units), "boards": list(boards),
            "totals": totals or {}}


@pytest.fixture
def engine():
    eng = AlarmEngine(clock=lambda: 0.0)
    eng.seen = []
    eng.listeners.append(eng.seen.append)
    return eng


def checker(engine, **options):
    return ConditionChecker(engine, AlarmOptions(**options))


# steps, the state after each, the transitions told, whether still shown at the end
@pytest.mark.parametrize("steps,states,told,shown", [
    (["on", "off", "ack"], ["active", "cleared", "cleared"],
     ["raised", "cleared", "acknowledged"], False),
    (["on", "ack", "off"], ["active", "acknowledged", "cleared"],
     ["raised", "acknowledged", "cleared"], False),
    (["on", "off", "on"], ["active", "cleared", "active"],           # back before anyone saw it
     ["raised", "cleared", "raised"], True),
    (["on", "ack", "on"], ["active", "acknowledged", "acknowledged"],  # still on: no news
     ["raised", "acknowledged"], True),
])
def test_states(engine, steps, states, told, shown):
    alarm_id = None
    for step, state in zip(steps, states):
        if step == "ack":
            engine.acknowledge(alarm_id, "seen it")
        else:
            event = engine.set("pll", "board 0", step == "on", "PLL not locked")
            alarm_id = alarm_id or event["id"]
        assert engine.seen[-1]["state"] == state
    assert bool(engine.alarms()) == shown
    assert all(e["id"] == alarm_id for e in engine.seen)
    assert [e["transition"] for e in engine.seen] == told


def test_ack_unknown_and_comment(engine):
    with pytest.raises(UnknownAlarm, match="no alarm with id '9'"):
        engine.acknowledge("9")
    first = engine.set("loss", "datagrams", True, "loss")
    engine.acknowledge(first["id"], "network maintenance")
    assert engine.get(first["id"]).comment == "network maintenance"
    later = engine.set("pll", "board 1", True, "pll")
    assert int(later["id"]) > int(first["id"])


def test_silence_and_never_heard(engine):
    check = checker(engine, unheard_seconds=5)
    check.snapshot(snap(1, [unit(1, "unheard"), unit(2, "silent")], uptime=2))
    assert engine.subjects("unheard") == [] and engine.subjects("silent") == ["unit 0.1"]
    check.snapshot(snap(6, [unit(1, "unheard"), unit(2, "ok")], uptime=6))
    assert engine.subjects("unheard") == ["unit 0.0"] and engine.subjects("silent") == []
    check.event({"kind": "silence", "rank": 2, "name": "0.1", "time": 7})
    assert engine.subjects("silent") == ["unit 0.1"]
    check.snapshot(snap(8, [unit(1, "ok"), unit(2, "IV")], uptime=8))
    assert engine.subjects("unheard") == engine.subjects("silent") == []
    # the host's own events raise and clear them between snapshots
    check.event({"kind": "unheard", "rank": 3, "name": "0.2", "since": 0, "time": 9})
    check.event({"kind": "silence", "rank": 1, "name": "0.0", "time": 9})
    assert engine.subjects("unheard") == ["unit 0.2"] and engine.subjects("silent") == ["unit 0.0"]
    for rank, name in ((3, "0.2"), (1, "0.0")):
        check.event({"kind": "status", "rank": rank, "name": name, "old": "silent",
                     "new": "ok", "time": 10})
    assert engine.subjects("unheard") == engine.subjects("silent") == []


def test_an_unheard_unit_is_raised_once_after_the_alarms_own_time(engine):
    check = checker(engine, unheard_seconds=10)
    transitions = []
    engine.listeners.append(transitions.append)
    # the host flags it after its 1 s time-out; the alarm waits its 10 s
    check.event({"kind": "unheard", "rank": 1, "name": "0.0", "since": 0, "time": 1})
    check.snapshot(snap(3, [unit(1, "unheard")], uptime=3))
    assert engine.subjects("unheard") == []
    check.snapshot(snap(11, [unit(1, "unheard")], uptime=11))
    check.snapshot(snap(12, [unit(1, "unheard")], uptime=12))
    assert engine.subjects("unheard") == ["unit 0.0"]
    assert [a["transition"] for a in transitions if a["condition"] == "unheard"] == ["raised"]


def test_pll_and_temperature_hysteresis(engine):
    check = checker(engine, temp1_max=40.0, temp_hysteresis=1.0)
    for t, temp, expect in [(1, 39.0, []), (2, 40.5, ["board 0 temp1"]),
                            (3, 39.5, ["board 0 temp1"]),     # inside, not by the margin
                            (4, 38.9, []), (5, 39.9, [])]:
        check.snapshot(snap(t, boards=[board(temp1=temp)]))
        assert engine.subjects("temperature") == expect, t
    check.snapshot(snap(6, boards=[board(pll=False, temp2=-1.0)]))
    assert engine.subjects("pll") == ["board 0"]
    assert engine.subjects("temperature") == ["board 0 temp2"]
    check.snapshot(snap(7, boards=[board(pll=None)]))        # not heard yet: no judgement
    assert engine.subjects("pll") == ["board 0"]
    check.snapshot(snap(8, boards=[board(pll=True)]))
    assert engine.subjects("pll") == []


def test_verification_needs_updates_in_a_row(engine):
    check = checker(engine, verify_updates=3)
    for t, updates, expect in [(0, 0, []), (1, 1, []), (2, 1, []),   # one update, followed
                               (3, 2, []), (4, 3, []), (5, 4, ["unit 0.0"]),
                               (6, 14, ["unit 0.0"]), (7, 14, [])]:
        check.snapshot(snap(t, [unit(updates=updates)]))
        assert engine.subjects("verification") == expect, t


def test_updates_the_unit_followed_raise_no_verification_alarm(engine):
    """Several changes between two looks (a sweep's start and end, a reset and
    its restore) send several updates; the unit's echo says it followed them."""
    check = checker(engine, verify_updates=3)
    for t, updates, matches, expect in [(0, 0, True, []), (1, 4, True, []), (2, 9, True, []),
                                        (3, 11, False, []), (4, 13, False, ["unit 0.0"]),
                                        (5, 14, True, [])]:
        check.snapshot(snap(t, [{**unit(updates=updates), "echo_matches": matches}]))
        assert engine.subjects("verification") == expect, t


def test_rate_band_per_unit_with_hysteresis(engine):
    options = parse_alarms({"rate_band": {"0.0": [100, 1000], "*": ["none", 50]},
                            "rate_hysteresis": 0.1})
    check = ConditionChecker(engine, options)
    for t, rate1, rate2, expect in [
            (1, 500, 10, []), (2, 90, 60, ["unit 0.0", "unit 0.1"]),
            (3, 150, 48, ["unit 0.0", "unit 0.1"]),   # back inside, not by 10 % of the limit
            (4, 250, 40, []), (5, 1001, 40, ["unit 0.0"])]:
        check.snapshot(snap(t, [unit(1, rate=rate1), unit(2, rate=rate2)]))
        assert sorted(engine.subjects("rate")) == expect, t
    check.snapshot(snap(6, [unit(1, status="silent", rate=None)]))
    assert engine.subjects("rate") == ["unit 0.0"]           # silence is its own alarm


def test_loss_over_a_window(engine):
    check = checker(engine, loss_percent=1.0, loss_seconds=10)
    dropped = datagrams = 0
    for t in range(40):
        datagrams += 400
        dropped += 20 if 10 <= t < 20 else 0
        check.snapshot(snap(t, totals={"dropped": dropped, "datagrams": datagrams}))
        if t == 12:
            assert engine.subjects("loss") == ["datagrams"]
            assert engine.get(engine.alarms()[0].id).value > 1.0
    assert engine.subjects("loss") == []
    assert [e["transition"] for e in engine.seen] == ["raised", "cleared"]


def test_worker_disk_and_archive(engine, tmp_path):
    check = checker(engine, disk_min_mb=1e9)
    for state, expect in [("died", ["worker 2"]), ("restarting", ["worker 2"]),
                          ("restarted", []), ("died", ["worker 2"]), ("failed", ["worker 2"])]:
        check.event({"kind": "worker", "index": 2, "state": state, "time": 3.0})
        assert engine.subjects("worker") == expect, state
    check.disk([tmp_path, tmp_path / "not-yet"])
    assert engine.subjects("disk") == [str(tmp_path)]
    check.archive(False, "archive write failed: database or disk is full")
    assert "full" in engine.alarms()[0].message or any(
        "full" in a.message for a in engine.alarms())
    check.archive(True, "archive writing again")
    assert engine.subjects("archive") == []
    relaxed = ConditionChecker(engine, AlarmOptions(disk_min_mb=0))
    relaxed.disk([tmp_path])
    assert engine.subjects("disk") == []


@pytest.mark.parametrize("table,message", [
    ({"silence": 1}, "alarms.silence: expected true or false"),
    ({"temp1_max": "hot"}, "alarms.temp1_max: expected a number"),
    ({"temp2_min": 5, "temp2_max": 4}, "alarms.temp2_max: must be above temp2_min"),
    ({"rate_band": {"0.3": [5]}}, "alarms.rate_band.0.3: expected [min, max]"),
    ({"rate_band": {"zero": [1, 2]}}, "alarms.rate_band.zero: expected MCU.CU"),
    ({"rate_band": {"1": [5, 2]}}, "max must be above min"),
    ({"verify_updates": 2.5}, "alarms.verify_updates: expected a whole number"),
    ({"hook": 5}, "alarms.hook: expected a command line"),
    ({"pager": "x"}, "alarms.pager: unknown key"),
])
def test_bad_options_name_the_key(table, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace(".", r"\.")):
        parse_alarms(table)
