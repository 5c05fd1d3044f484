"""What units' IV curves say about their sensors: where each switches (the
monitor voltage jumps while the counts drop), where its count rate reaches
its plateau, how high and how flat that plateau is, and, given a sweep in
the dark, where the dark counts start to rise.  Pure: arrays in, Analyses
out; the rises of all curves are fitted together (`rise`).

The rise to the plateau is fitted by Poisson maximum likelihood (the
deviance of the counts is minimised), which weighs each point by what its
own counts can tell, so the few counts at low bias neither dominate nor
vanish as they would in a least-squares fit.  The fit stops short of
switching, where the dark counts rise steeply and would lift the plateau."""
import math
from dataclasses import dataclass, field

import numpy as np

from .rise import fit_rises

STATUSES = ("ok", "dead", "no plateau", "no switching", "noisy")
MIN_POINTS = 6             # below switching, to fit anything
JUMP_V = 0.05              # smallest monitor jump taken for switching, volts
JUMP_TIMES_STEP = 10.0     # ... and at least this many times the curve's usual step
DROP = 0.1                 # counts at switching below this share of the points before
EDGE = 0.85                # the fit takes points below this share of the switching current
NOISY_DEVIANCE = 4.0       # deviance per degree of freedom of a curve too noisy to judge
MIN_PLATEAU_COUNTS = 100   # counts on the plateau needed to state its rate
DARK_RISE = 2.0            # the dark rate has risen once it stays above this x its base


def _median(values):
    """np.median of a short 1-d array, without its general machinery (most
    of a curve's analysis time went there)."""
    ordered = np.sort(values)
    n = len(ordered)
    return float(0.5 * (ordered[(n - 1) // 2] + ordered[n // 2]))


def _slope(x, y):
    """The least-squares slope of y over x."""
    dx = x - x.mean()
    return float(np.dot(dx, y - y.mean()) / np.dot(dx, dx))


@dataclass
class Curve:
    """One unit's sweep: bias current (A, rising), counts per point, the
    point's length (s), mean monitor voltage per point (V)."""
    bias: np.ndarray
    counts: np.ndarray
    point_s: float
    monitorV: np.ndarray

    def __post_init__(self):
        self.bias = np.asarray(self.bias, dtype=float)
        self.counts = np.asarray(self.counts, dtype=float)
        self.monitorV = np.asarray(self.monitorV, dtype=float)

    @property
    def rate(self):
        return self.counts / self.point_s

    @property
    def step(self):
        return _median(np.diff(self.bias)) if len(self.bias) > 1 else 0.0


@dataclass
class Analysis:
    status: str
    reason: str
    switching_current: float = None    # A, midway between the last free and first latched point
    plateau_onset: float = None        # A, where the fitted rise reaches onset_fraction
    plateau_rate: float = None         # counts/s on the plateau
    plateau_flatness: float = None     # relative rise of the rate over the fitted plateau
    dark_rate: float = None            # counts/s far below switching (dark sweep)
    dark_rise: float = None            # A, from where the dark rate stays above twice that
    step: float = None                 # A, the sweep's step
    fit: dict = field(default_factory=dict)   # plateau, background, midpoint, width, points

    def as_dict(self):
        return dict(self.__dict__)


def switching_index(curve):
    """Index of the first latched point (monitor jump with the counts
    dropping), or None when the unit did not switch."""
    mon, counts = np.abs(curve.monitorV), curve.counts
    if len(mon) < 2:
        return None
    rises = np.diff(mon)
    usual = _median(np.abs(rises))
    jump = max(JUMP_V, JUMP_TIMES_STEP * usual)
    for k in np.flatnonzero(rises > jump) + 1:
        before = counts[max(0, k - 3):k]
        if counts[k] <= DROP * _median(before):
            return int(k)
    return None


def _dark(curve, dark, below):
    """(base dark rate, bias from which it stays above DARK_RISE x base,
    dark counts per light point) of a dark sweep."""
    rate = np.interp(curve.bias, dark.bias, dark.rate)
    base = _median(rate[:max(1, below // 2)])
    risen = rate[:below] > DARK_RISE * max(base, 1.0 / dark.point_s)
    rise = None
    if risen.any() and risen[-1]:
        falls = np.flatnonzero(~risen)
        rise = float(curve.bias[falls[-1] + 1 if len(falls) else 0])
    return base, rise, rate * curve.point_s


@dataclass
class _Pending:
    """A curve whose rise is still to be fitted, with what was found before."""
    curve: Curve
    out: Analysis
    switched: bool
    used: int                  # points fitted
    offset: np.ndarray         # dark counts per point, or None


def _before_fit(curve, dark):
    """A finished Analysis when the curve cannot be fitted, else a _Pending."""
    n = len(curve.bias)
    step = curve.step
    if n < MIN_POINTS:
        return Analysis("noisy", f"only {n} points in the sweep (at least {MIN_POINTS} needed)",
                        step=step)
    if curve.counts.sum() == 0:
        return Analysis("dead", f"no count at any of the {n} points", step=step)
    k = switching_index(curve)
    switching = None if k is None else float(0.5 * (curve.bias[k - 1] + curve.bias[k])) \
        if k > 0 else float(curve.bias[0])
    out = Analysis("ok", "", switching_current=switching, step=step)
    if k == 0:
        out.status, out.reason = "no switching", "latched from the first point of the sweep"
        return out
    below = n if k is None else k
    if below < MIN_POINTS:
        out.status = "no plateau"
        out.reason = f"switches after {below} points, too few to find a plateau"
        return out
    offset = None
    if dark is not None:
        out.dark_rate, out.dark_rise, offset = _dark(curve, dark, below)
    # The dark counts rise steeply close to switching: those points would
    # lift the plateau, so the fit stops short of them.
    used = below if k is None else max(MIN_POINTS, int(np.searchsorted(
        curve.bias, EDGE * switching, side="right")))
    return _Pending(curve, out, k is not None, min(used, below), offset)


def _after_fit(pending, fitted, onset_fraction):
    """The Analysis of a pending curve given its fitted rise (None: no fit)."""
    curve, out, used = pending.curve, pending.out, pending.used
    if fitted is None:
        out.status, out.reason = "noisy", "the rise to the plateau could not be fitted"
        return out
    p, m, w, b = (fitted[key] for key in ("plateau", "midpoint", "width", "background"))
    onset = m + w * math.log(onset_fraction / (1.0 - onset_fraction))
    out.plateau_onset, out.plateau_rate = onset, p + b
    out.fit = {**fitted, "points": used}
    free = fitted["deviance"] / max(1, used - 4)
    # The plateau must be seen among the fitted points, not extrapolated.
    flat = np.flatnonzero(curve.bias[:used] >= onset)
    top = curve.bias[used - 1]
    if free > NOISY_DEVIANCE:
        out.status = "noisy"
        out.reason = (f"the counts scatter {free:.1f} times more than counting allows "
                      f"(deviance per point); the curve cannot be judged")
    elif len(flat) < 2:
        out.status = "no plateau"
        where = (f"up to {top:.4g} A ({EDGE:.0%} of switching)" if pending.switched
                 else f"up to {top:.4g} A (the end of the sweep)")
        out.reason = (f"the rate still rises {where}: the fit reaches {onset_fraction:g} of "
                      f"its top only at {onset:.4g} A")
    elif curve.counts[flat].sum() < MIN_PLATEAU_COUNTS:
        out.status = "noisy"
        out.reason = (f"{int(curve.counts[flat].sum())} counts on the plateau, fewer than "
                      f"{MIN_PLATEAU_COUNTS}: lengthen the points (point_steps)")
    elif not pending.switched:
        out.status = "no switching"
        out.reason = f"no switching up to {curve.bias[-1]:.4g} A (the end of the sweep)"
    if len(flat) >= 2:
        slope = _slope(curve.bias[flat], curve.rate[flat])
        span = curve.bias[flat[-1]] - curve.bias[flat[0]]
        out.plateau_flatness = float(slope * span / max(p + b, 1e-12))
    return out


def analyse_all(curves, onset_fraction=0.9, darks=None):
    """The Analysis of every curve; `darks`: per curve a Curve of the same
    unit swept in the dark, or None (a list as long as `curves`, or None)."""
    darks = darks or [None] * len(curves)
    found = [_before_fit(curve, dark) for curve, dark in zip(curves, darks)]
    pending = [f for f in found if isinstance(f, _Pending)]
    fits = iter(fit_rises([(p.curve.bias[:p.used], p.curve.counts[:p.used], p.curve.point_s,
                            None if p.offset is None else p.offset[:p.used])
                           for p in pending]))
    return [_after_fit(f, next(fits), onset_fraction) if isinstance(f, _Pending) else f
            for f in found]


def analyse(curve, onset_fraction=0.9, dark=None):
    """The Analysis of one unit's curve; `dark` is a Curve of the same unit
    swept in the dark, or None."""
    return analyse_all([curve], onset_fraction, [dark])[0]
