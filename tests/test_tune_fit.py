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
from vantor.tune.fit import Curve, analyse, analyse_all
from vantor.tune.policy import Policy, propose, unit_result
from vantor.tune.rise import fit_rises

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


@pytest.mark.parametrize("background", [0.0, 20.0])
def test_a_noiseless_rise_is_fitted_exactly(background):
    """Counts equal to their expectation: the fit must land on the truth,
    also with the background held at its bound of zero."""
    x = np.arange(0.0, 2.6e-5, 1e-6)
    rate = 3000.0 / (1.0 + np.exp(-(x - 1.4e-5) / 2e-6)) + background
    fitted, = fit_rises([(x, rate * 0.2, 0.2, None)])
    assert fitted["plateau"] == pytest.approx(3000.0, rel=1e-4)
    assert fitted["midpoint"] == pytest.approx(1.4e-5, rel=1e-4)
    assert fitted["width"] == pytest.approx(2e-6, rel=1e-4)
    assert fitted["background"] == pytest.approx(background, abs=0.05)
    assert fitted["deviance"] < 1e-4


def test_a_fit_held_at_its_zero_background_is_still_the_best_one():
    """No counts at low bias pull the background below zero, so it stays at
    its bound: the other parameters must still be at their optimum."""
    x = np.arange(0.0, 2.6e-5, 1e-6)
    counts = np.round(600.0 / (1.0 + np.exp(-(x - 1.4e-5) / 2e-6)))
    counts[:8] = 0.0
    fitted, = fit_rises([(x, counts, 0.2, None)])
    assert fitted["background"] == 0.0

    def deviance(p, m, w):
        mu = 0.2 * p / (1.0 + np.exp(-(x - m) / w))
        safe = np.where(counts > 0, counts, 1.0)
        return 2.0 * np.sum(np.where(counts > 0, counts * np.log(safe / mu), 0.0) - counts + mu)

    best = [fitted[k] for k in ("plateau", "midpoint", "width")]
    at = deviance(*best)
    assert at == pytest.approx(fitted["deviance"], rel=1e-6)
    for i in range(3):
        for nudge in (0.999, 1.001):
            moved = list(best)
            moved[i] *= nudge
            assert deviance(*moved) >= at - 1e-9, (i, nudge)


def test_curves_fitted_together_come_out_as_each_fitted_alone():
    """Curves of different lengths share one padded array in the fit: no
    curve's padding or neighbours may move another's result."""
    curves, darks = [], []
    for seed, case in enumerate(CASES):
        values = unit_values(SimOptions(unit={(0, 0): case}, dark_rate=30.0), (0, 0), seed)
        curves.append(sweep(Sensor(values), seed, stop=4e-5 - seed * 3e-6))
        darks.append(sweep(Sensor({**values, "light": 0.0}), seed + 10) if seed % 2 else None)
    curves.append(sweep(Sensor(unit_values(SimOptions(dead=frozenset({(0, 0)})), (0, 0), 1)), 1))
    darks.append(None)
    together = analyse_all(curves, 0.8, darks)
    alone = [analyse(c, 0.8, d) for c, d in zip(curves, darks)]
    assert [a.status for a in together] == [a.status for a in alone]
    assert together[-1].status == "dead"
    for a, b in zip(together[:-1], alone[:-1]):
        assert a.plateau_onset == pytest.approx(b.plateau_onset, rel=1e-6)
        assert a.plateau_rate == pytest.approx(b.plateau_rate, rel=1e-6)
        assert a.dark_rise == b.dark_rise


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
