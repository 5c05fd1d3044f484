"""The simulated sensor of one channel unit with a [sim] table: a sigmoid rise
of the count rate to a plateau, dark counts that rise steeply near the
switching current, and latching at or above it until the bias falls below
the re-trapping current (README, Simulator: the sensor model)."""
import math
import random

from vantor.wire import STEP_S, unit_label
from .options import PER_UNIT

PLATEAU_RATE = 2000.0     # counts/s at light = 1
DARK_RISE = 100.0         # dark rate at switching, in multiples of dark_rate (plus one)
DARK_SCALE = 0.05         # e-folding of the dark rise, relative to the switching current


def _sigmoid(x):
    return 1.0 / (1.0 + math.exp(-max(-60.0, min(60.0, x))))


def unit_values(options, pair, seed):
    """The unit's sensor values: the [sim] table's, the switching current
    drawn around its mean for this seed and unit, [sim.unit] entries on top."""
    values = {key: getattr(options, key) for key in PER_UNIT}
    rng = random.Random(f"switching:{seed}:{unit_label(*pair)}")
    values["switching_current"] = options.switching_current * max(
        0.2, 1.0 + options.switching_spread * rng.gauss(0.0, 1.0))
    values.update(options.unit.get(pair, {}))
    values["retrap_current"] = min(values["retrap_current"], values["switching_current"])
    values["dead"] = pair in options.dead
    values["no_plateau"] = pair in options.no_plateau
    return values


class Sensor:
    """Counts per 10 ms step for a bias current, with the latched state it leaves."""

    def __init__(self, values):
        self.values = values
        self.switching = values["switching_current"]
        self.retrap = values["retrap_current"]
        self.dead, self.no_plateau = values["dead"], values["no_plateau"]
        self.plateau = values["light"] * PLATEAU_RATE
        # A unit without a plateau is still rising at switching: its sigmoid's
        # midpoint sits at the switching current.
        self.midpoint = self.switching if self.no_plateau else values["plateau_midpoint"]
        self.width = values["plateau_width"]
        self.dark = values["dark_rate"]
        self.latched_voltage = values["latched_voltage"]
        self.latched = False
        # The bias stays put for many steps (a window, a sweep point): its mean is kept.
        self._mean_at = (None, 0.0)

    def rate(self, current):
        """Counts per second of an unlatched unit at `current` amperes."""
        if self.dead:
            return 0.0
        a = abs(current)
        signal = self.plateau * _sigmoid((a - self.midpoint) / self.width)
        rise = math.exp(min(60.0, (a - self.switching) / (DARK_SCALE * self.switching)))
        return signal + self.dark * (1.0 + DARK_RISE * rise)

    def step(self, current):
        """Mean counts of one step at `current`; latches or recovers first."""
        a = abs(current)
        if self.latched and a < self.retrap:
            self.latched = False
        elif not self.latched and not self.dead and a >= self.switching:
            self.latched = True
        if self.latched:
            return 0.0
        if self._mean_at[0] != current:
            self._mean_at = (current, self.rate(current) * STEP_S)
        return self._mean_at[1]

    def describe(self):
        return {**self.values, "plateau_rate": self.plateau, "latched": self.latched}
