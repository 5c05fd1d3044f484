"""The curve analysis and both policies, on curves the simulator's sensor
model makes for known per-unit values (seeded): switching within one sweep
step, plateau onset within two."""
import math
import random

import numpy as np
import pytest

from vantor.sim.options import SimOptions
from vantor.sim.sensor import Sensor, unit_values
from vantor.sim.unit import poisson
from vantor.tune.fit import Curve, analyse
from vantor.tune.policy import Policy, propose, unit_result

STEP = 1e-6
VOLTS_PER_AMP = 0.8 * 15057.5      # monitor gain x the built-in divider


def sweep(sensor, seed, start=0.0, stop=4e-5, step=STEP, point_steps=50):
    """The curve a sweep of `sensor` gives: counts per point, mean monitor voltage."""
    rng = random.Random(seed)
    bias = np.arange(start, stop + step / 2, step)
    counts, monitor = [], []
    for current in bias:
        total = volts = 0.0
        for _ in range(point_steps):
            total += poisson(rng, sensor.step(current))
            level = sensor.latched_voltage if sensor.latched else VOLTS_PER_AMP * current
            volts += level + rng.gauss(0, 1e-3)
        counts.append(total)
        monitor.append(volts / point_steps)
    return Curve(bias, counts, point_steps * 0.01, monitor)


def truth(values, onset_fraction=0.9):
    onset = values["plateau_midpoint"] + values["plateau_width"] * math.log(
        onset_fraction / (1 - onset_fraction))
    return values["switching_current"], onset


CASES = [dict(switching_current=s, plateau_midpoint=m, plateau_width=w, light=light)
         for s, m, w, light in [(3.0e-5, 1.5e-5, 3e-6, 1.0), (2.2e-5, 1.2e-5, 2e-6, 1.0),
                                (3.6e-5, 1.8e-5, 3e-6, 0.5), (2.75e-5, 1.4e-5, 2.5e-6, 2.0),
                                (3.3e-5, 1.6e-5, 2.5e-6, 0.5)]]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("case", CASES, ids=lambda c: f"sw{c['switching_current']:.3g}")
def test_switching_within_a_step_and_onset_within_two(case, seed):
    options = SimOptions(unit={(0, 0): case})
    values = unit_values(options, (0, 0), seed)
    result = analyse(sweep(Sensor(values), seed))
    switching, onset = truth(values)
    assert result.status == "ok", result.reason
    assert abs(result.switching_current - switching) <= STEP
    assert abs(result.plateau_onset - onset) <= 2 * STEP
    assert result.plateau_rate == pytest.approx(values["light"] * 2000 + 10, rel=0.05)


@pytest.mark.parametrize("kind, status, words", [
    ("dead", "dead", "no count"),
    ("no_plateau", "no plateau", "still rises"),
    ("high", "no switching", "no switching up to"),
    ("dim", "noisy", "counts on the plateau"),
])
def test_units_that_cannot_be_tuned_are_named_with_the_reason(kind, status, words):
    pair = (0, 0)
    options = {"dead": SimOptions(dead=frozenset({pair})),
               "no_plateau": SimOptions(no_plateau=frozenset({pair})),
               "high": SimOptions(unit={pair: {"switching_current": 9e-5}}),
               "dim": SimOptions(unit={pair: {"light": 0.01}}, dark_rate=0.0)}[kind]
    result = analyse(sweep(Sensor(unit_values(options, pair, 1)), 1, point_steps=5))
    assert result.status == status and words in result.reason
    assert propose(result, Policy())[1] is None


def test_a_dark_sweep_gives_the_dark_rate_and_where_it_rises():
    options = SimOptions(unit={(0, 0): {"switching_current": 3e-5}}, dark_rate=50.0)
    values = unit_values(options, (0, 0), 2)
    light = sweep(Sensor(values), 2, point_steps=20)
    dark = sweep(Sensor({**values, "light": 0.0}), 3, point_steps=20)
    result = analyse(light, dark=dark)
    assert result.status == "ok"
    assert result.dark_rate == pytest.approx(50.0, rel=0.3)
    # twice the base rate: 100 x exp((I - Is) / (0.05 Is)) = 1 at Is (1 - 0.05 ln 100)
    assert abs(result.dark_rise - 3e-5 * (1 - 0.05 * math.log(100))) <= 1.5 * STEP


def test_policies_propose_below_switching_and_on_the_plateau():
    values = unit_values(SimOptions(unit={(0, 0): {"switching_current": 3e-5}}), (0, 0), 1)
    analysis = analyse(sweep(Sensor(values), 1))
    status, bias, reason = propose(analysis, Policy("fraction", fraction=0.8))
    assert status == "ok" and bias == pytest.approx(0.8 * analysis.switching_current)
    assert "0.8 x switching" in reason
    status, bias, reason = propose(analysis, Policy("plateau", margin=1e-6))
    assert bias == pytest.approx(analysis.plateau_onset + 1e-6) and "margin" in reason
    status, bias, reason = propose(analysis, Policy("plateau", margin=1e-5 - 1e-9))
    assert bias == pytest.approx(analysis.switching_current - STEP) and "capped" in reason
    row = unit_result(analysis, Policy("plateau"))
    assert row["proposed_bias"] == pytest.approx(analysis.plateau_onset + 2 * STEP)
    assert 0 <= row["plateau_flatness"] < 0.3


@pytest.mark.parametrize("policy, named", [
    (Policy("middle"), "policy"), (Policy(fraction=1.2), "fraction"),
    (Policy(margin=-1e-6), "margin"), (Policy(onset_fraction=1.0), "onset_fraction")])
def test_bad_policy_options_are_named(policy, named):
    with pytest.raises(ValueError, match=named):
        policy.check()
