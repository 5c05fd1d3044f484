"""The simulated sensor of a [sim] table: settings checks, drawn values,
latching and re-trapping, dead units, as the records on the wire show them."""
import statistics

import pytest

from tests.test_sim import capture, records, update_for
from vantor.host.settings import SettingsError, parse_settings
from vantor.sim import Simulator
from vantor.wire import config_voltages


def doc(sim, mcus=2, units=4):
    return {"sim": sim, "mcu": [{"mcuId": m, "unit": [{"cuId": c, "rank": m * units + c + 1}
                                                     for c in range(units)]}
                                for m in range(mcus)]}


@pytest.mark.parametrize("table, named", [
    ({"lihgt": 1.0}, "sim.lihgt: unknown key"),
    ({"light": -1}, "sim.light"),
    ({"switching_spread": "big"}, "sim.switching_spread"),
    ({"dead": "1.3"}, "sim.dead"),
    ({"dead": ["7.0"]}, "sim.dead[0]: no unit 7.0"),
    ({"no_plateau": ["x"]}, "sim.no_plateau[0]"),
    ({"unit": {"0.1": {"dead": True}}}, 'sim.unit."0.1".dead: unknown key'),
    ({"unit": {"0.1": {"switching_current": 5e-6}}}, 'sim.unit."0.1": retrap_current'),
    ({"unit": {"9.1": {"light": 2}}}, "sim.unit.9.1: no unit"),
    ({"retrap_current": 3e-5}, "sim: retrap_current"),
])
def test_bad_sim_table_is_one_error_naming_the_key(table, named):
    with pytest.raises(SettingsError) as err:
        parse_settings(doc(table))
    assert named in str(err.value)


def sensors(table, seed=1):
    return {s["name"]: s for s in Simulator(parse_settings(doc(table)), None, seed=seed).sensors()}


def test_switching_currents_are_drawn_per_seed_and_set_per_unit():
    table = {"switching_current": 3e-5, "switching_spread": 0.05,
             "unit": {"0.3": {"switching_current": 2.2e-5, "light": 0.5}}}
    first, again, other = sensors(table), sensors(table), sensors(table, seed=2)
    drawn = [s["switching_current"] for n, s in first.items() if n != "0.3"]
    assert drawn == [s["switching_current"] for n, s in again.items() if n != "0.3"]
    assert drawn != [s["switching_current"] for n, s in other.items() if n != "0.3"]
    assert len(set(drawn)) == len(drawn) and all(2.4e-5 < x < 3.6e-5 for x in drawn)
    assert first["0.3"]["switching_current"] == 2.2e-5 == other["0.3"]["switching_current"]
    assert first["0.3"]["plateau_rate"] == 1000.0
    equal = sensors({"switching_spread": 0.0})
    assert {s["switching_current"] for s in equal.values()} == {3e-5}


def test_no_sim_table_keeps_the_plain_response():
    plain = Simulator(parse_settings({"mcu": doc({})["mcu"]}), None).sensors()
    assert all(s["switching_current"] is None and 1600 <= s["plateau_rate"] <= 2400
               for s in plain)


class Bench:
    """A simulator of 2 x 4 units stepped by hand, one unit's records read."""

    def __init__(self, table, pair=(0, 1)):
        self.settings = parse_settings(doc(table))
        self.sim = Simulator(self.settings, None, seed=3)
        self.sent = capture(self.sim)
        self.pair, self.unit = pair, self.sim.units[pair]
        self.config = self.settings.unit(*pair).configuration.as_dict()

    def bias(self, current):
        volts = config_voltages({**self.config, "biasI": current})["biasV"]
        self.unit.receive_update(update_for(self.unit, biasV=volts))

    def steps(self, n):
        self.sent.clear()
        for _ in range(n):
            self.sim.step()
        return [r for mcu, data in self.sent if mcu == self.pair[0] and len(data) % 60 == 0
                for r in records(data) if r["cuId"] == self.pair[1]]


def test_a_unit_latches_at_switching_and_recovers_below_retrapping():
    bench = Bench({"unit": {"0.1": {"switching_current": 2.5e-5, "retrap_current": 1.2e-5}},
                   "latched_voltage": 1.5})
    below = bench.steps(200)                       # the default bias, 20 uA
    assert statistics.mean(r["counts"] for r in below) > 10
    assert max(abs(r["monitorV"]) for r in below) < 0.5
    bench.bias(2.6e-5)
    latched = bench.steps(100)[1:]
    assert {r["counts"] for r in latched} == {0}
    assert all(abs(r["monitorV"] - 1.5) < 0.01 for r in latched)
    bench.bias(2.0e-5)                             # above re-trapping: stays latched
    assert {r["counts"] for r in bench.steps(100)[1:]} == {0}
    bench.bias(1.0e-5)                             # below it: counts again
    recovered = bench.steps(200)[1:]
    assert sum(r["counts"] for r in recovered) > 100
    assert max(abs(r["monitorV"]) for r in recovered) < 0.5


@pytest.mark.parametrize("kind", ["dead", "no_plateau"])
def test_dead_units_never_count_and_no_plateau_units_rise_to_switching(kind):
    bench = Bench({kind: ["0.1"], "dark_rate": 0.0, "switching_spread": 0.0})
    rates = {}
    for current in (1.8e-5, 2.4e-5, 2.9e-5):
        bench.bias(current)
        rates[current] = statistics.mean(r["counts"] for r in bench.steps(300)[1:]) / 0.01
    if kind == "dead":
        assert set(rates.values()) == {0.0}
    else:
        # the plain plateau is flat from 24 uA on; this unit still climbs steeply
        assert rates[2.4e-5] > 1.3 * rates[1.8e-5] and rates[2.9e-5] > 1.5 * rates[2.4e-5]
