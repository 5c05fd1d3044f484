"""What one unit's IV curve says about its sensor: where it switches (the
monitor voltage jumps while the counts drop), where its count rate reaches
its plateau, how high and how flat that plateau is, and, given a sweep in
the dark, where the dark counts start to rise.  Pure: arrays in, an
Analysis out.

The rise to the plateau is fitted by Poisson maximum likelihood (the
deviance of the counts is minimised), which weighs each point by what its
own counts can tell, so the few counts at low bias neither dominate nor
vanish as they would in a least-squares fit; the dark counts that rise towards switching are a term of the fit of
their own, so they do not lift the plateau."""
import math
from dataclasses import dataclass, field

import numpy as np
from scipy.optimize import minimize

STATUSES = ("ok", "dead", "no plateau", "no switching", "noisy")
MIN_POINTS = 6             # below switching, to fit anything
JUMP_V = 0.05              # smallest monitor jump taken for switching, volts
JUMP_TIMES_STEP = 10.0     # ... and at least this many times the curve's usual step
DROP = 0.1                 # counts at switching below this share of the points before
EDGE = 0.85                # the fit takes points below this share of the switching current
NOISY_DEVIANCE = 4.0       # deviance per degree of freedom of a curve too noisy to judge
MIN_PLATEAU_COUNTS = 100   # counts on the plateau needed to state its rate
DARK_RISE = 2.0            # the dark rate has risen once it stays above this x its base


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
        return float(np.median(np.diff(self.bias))) if len(self.bias) > 1 else 0.0


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
    usual = float(np.median(np.abs(rises)))
    jump = max(JUMP_V, JUMP_TIMES_STEP * usual)
    for k in np.flatnonzero(rises > jump) + 1:
        before = counts[max(0, k - 3):k]
        if counts[k] <= DROP * float(np.median(before)):
            return int(k)
    return None


def _sigmoid(z):
    return 0.5 * (1.0 + np.tanh(0.5 * z))


def fit_rise(x, counts, point_s, offset=None):
    """Poisson maximum-likelihood fit of rate(x) = P / (1 + exp(-(x - m) / w)) + B
    (`offset`: counts per point known to come from elsewhere, the dark sweep's).
    Returns {"plateau": P, "midpoint": m, "width": w, "background": B,
    "deviance"} in the units of x and counts/s, or None when no fit converged."""
    offset = np.zeros_like(counts) if offset is None else offset
    span = float(x[-1] - x[0]) or 1.0
    u = (x - x[0]) / span                       # bias on 0..1
    scale = max(float(np.max(counts - offset)), 1.0)
    c, off = counts / scale, offset / scale
    positive = c > 0
    c_log = np.where(positive, c, 1.0)

    def deviance(theta):
        p, m, w, b = theta
        s = _sigmoid((u - m) / w)
        mu = p * s + b + off + 1e-12
        terms = np.where(positive, c * np.log(c_log / mu), 0.0) - (c - mu)
        g = 2.0 * (1.0 - c / mu)
        ds = p * s * (1.0 - s) / w
        grad = [np.dot(g, s), -np.dot(g, ds), -np.dot(g, ds * (u - m) / w), g.sum()]
        return 2.0 * terms.sum(), np.array(grad)

    rate = np.maximum(c - off, 0.0)
    top, low = float(np.percentile(rate, 90)), float(np.min(rate))
    half = np.flatnonzero(rate >= low + 0.5 * (top - low))
    m0 = u[half[0]] if len(half) else 0.5
    best = None
    for w0 in (0.05, 0.15, 0.4):
        res = minimize(deviance, [max(top - low, 1e-3), m0, w0, max(low, 1e-6)], jac=True,
                       method="L-BFGS-B", bounds=[(0, 10), (-1, 3), (1e-3, 3), (0, 10)])
        if (res.success or res.status == 2) and (best is None or res.fun < best.fun):
            best = res
    if best is None:
        return None
    p, m, w, b = best.x
    # the deviance in counts: scaling the counts scaled it as well
    return {"plateau": p * scale / point_s, "midpoint": x[0] + m * span, "width": w * span,
            "background": b * scale / point_s, "deviance": float(best.fun) * scale}


def _dark(curve, dark, below):
    """(base dark rate, bias from which it stays above DARK_RISE x base,
    dark counts per light point) of a dark sweep."""
    rate = np.interp(curve.bias, dark.bias, dark.rate)
    base = float(np.median(rate[:max(1, below // 2)]))
    risen = rate[:below] > DARK_RISE * max(base, 1.0 / dark.point_s)
    rise = None
    if risen.any() and risen[-1]:
        falls = np.flatnonzero(~risen)
        rise = float(curve.bias[falls[-1] + 1 if len(falls) else 0])
    return base, rise, rate * curve.point_s


def analyse(curve, onset_fraction=0.9, dark=None):
    """The Analysis of one unit's curve; `dark` is a Curve of the same unit
    swept in the dark, or None."""
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
    used = min(used, below)
    fitted = fit_rise(curve.bias[:used], curve.counts[:used], curve.point_s,
                      None if offset is None else offset[:used])
    if fitted is None:
        out.status, out.reason = "noisy", "the rise to the plateau could not be fitted"
        return out
    p, m, w, b = (fitted[k] for k in ("plateau", "midpoint", "width", "background"))
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
        where = (f"up to {top:.4g} A ({EDGE:.0%} of switching)" if k is not None
                 else f"up to {top:.4g} A (the end of the sweep)")
        out.reason = (f"the rate still rises {where}: the fit reaches {onset_fraction:g} of "
                      f"its top only at {onset:.4g} A")
    elif curve.counts[flat].sum() < MIN_PLATEAU_COUNTS:
        out.status = "noisy"
        out.reason = (f"{int(curve.counts[flat].sum())} counts on the plateau, fewer than "
                      f"{MIN_PLATEAU_COUNTS}: lengthen the points (point_steps)")
    elif k is None:
        out.status = "no switching"
        out.reason = f"no switching up to {curve.bias[-1]:.4g} A (the end of the sweep)"
    if len(flat) >= 2:
        slope = np.polyfit(curve.bias[flat], curve.rate[flat], 1)[0]
        span = curve.bias[flat[-1]] - curve.bias[flat[0]]
        out.plateau_flatness = float(slope * span / max(p + b, 1e-12))
    return out
