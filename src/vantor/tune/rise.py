"""The rise of many units' count rates to their plateaus, fitted together:
rate(x) = P / (1 + exp(-(x - m) / w)) + B by Poisson maximum likelihood (the
counts' deviance minimised), all units at once.

A general optimiser fits one curve at a time and spent most of its time in
its own bookkeeping (about 40 ms a unit); here every unit's curve is a row of
one array and a damped Gauss-Newton (Levenberg-Marquardt) step with the
Fisher information of Poisson counts moves every row together: the Python
work is per step of the fit, not per unit.  Each curve starts from three
widths and keeps the best, as the width of a rise is not known in advance."""
import numpy as np

START_WIDTHS = (0.05, 0.15, 0.4)       # of the fitted bias span
BOUNDS = np.array([(0.0, 10.0), (-1.0, 3.0), (1e-3, 3.0), (0.0, 10.0)])   # p, m, w, b scaled
MAX_ITERATIONS = 200
TOLERANCE = 1e-10                      # relative fall of the deviance that ends a row's fit
DAMPING_START, DAMPING_MAX = 1e-3, 1e10
TINY = 1e-12                           # keeps the expected counts positive


def _sigmoid(z):
    return 0.5 * (1.0 + np.tanh(0.5 * z))


def _percentile_90(rows, lengths):
    """Each row's 90th percentile over its first `lengths` values, interpolated
    as numpy's percentile does (nanpercentile goes row by row in Python)."""
    ordered = np.sort(rows, axis=1)             # the padding (NaN) sorts last
    at = 0.9 * (lengths - 1)
    below = np.floor(at).astype(int)
    above = np.minimum(below + 1, lengths - 1)
    index = np.arange(len(rows))
    low, high = ordered[index, below], ordered[index, above]
    return low + (at - below) * (high - low)


class _Rows:
    """The curves on a common grid of normalised bias u (0..1 over each
    curve's span) and counts scaled to a top of about 1; padding is masked."""

    def __init__(self, problems):
        n = max(len(x) for x, _, _, _ in problems)
        shape = (len(problems), n)
        self.u, self.c, self.off = np.zeros(shape), np.zeros(shape), np.zeros(shape)
        self.mask = np.zeros(shape, dtype=bool)
        self.span, self.x0, self.scale = (np.ones(len(problems)) for _ in range(3))
        for i, (x, counts, _, offset) in enumerate(problems):
            x, counts = np.asarray(x, dtype=float), np.asarray(counts, dtype=float)
            offset = np.zeros_like(counts) if offset is None else np.asarray(offset, dtype=float)
            span = float(x[-1] - x[0]) or 1.0
            scale = max(float(np.max(counts - offset)), 1.0)
            k = len(x)
            self.u[i, :k] = (x - x[0]) / span
            self.c[i, :k], self.off[i, :k] = counts / scale, offset / scale
            self.mask[i, :k] = True
            self.span[i], self.x0[i], self.scale[i] = span, x[0], scale
        positive = self.c > 0
        self.c_log_c = np.where(positive, self.c * np.log(np.where(positive, self.c, 1.0)), 0.0)

    def starts(self):
        """Starting parameters per row and start: (rows, starts, 4)."""
        rate = np.where(self.mask, np.maximum(self.c - self.off, 0.0), np.nan)
        top, low = _percentile_90(rate, self.mask.sum(axis=1)), np.nanmin(rate, axis=1)
        above = np.nan_to_num(rate, nan=-1.0) >= (low + 0.5 * (top - low))[:, None]
        first = np.argmax(above, axis=1)
        m0 = np.where(above.any(axis=1), self.u[np.arange(len(first)), first], 0.5)
        out = np.empty((len(top), len(START_WIDTHS), 4))
        out[..., 0] = np.maximum(top - low, 1e-3)[:, None]
        out[..., 1] = m0[:, None]
        out[..., 2] = START_WIDTHS
        out[..., 3] = np.maximum(low, 1e-6)[:, None]
        return out


def _model(theta, u, off):
    """Expected counts (rows, n) and their derivatives by p, m, w, b (rows, n, 4)."""
    p, m, w, b = (theta[:, i, None] for i in range(4))
    z = (u - m) / w
    s = _sigmoid(z)
    mu = p * s + b + off + TINY
    ds = p * s * (1.0 - s) / w
    jac = np.stack([s, -ds, -ds * z, np.ones_like(s)], axis=-1)
    return mu, jac


def _deviance(mu, c, c_log_c, mask):
    terms = c_log_c - c * np.log(mu) - (c - mu)
    return 2.0 * np.where(mask, terms, 0.0).sum(axis=1)


def _minimise(theta, u, c, off, c_log_c, mask):
    """Levenberg-Marquardt on every row at once, within BOUNDS; rows leave the
    loop as they converge.  Returns (theta, deviance)."""
    rows = len(theta)
    theta = theta.copy()
    dev = _deviance(_model(theta, u, off)[0], c, c_log_c, mask)
    damping = np.full(rows, DAMPING_START)
    active = np.arange(rows)
    lo, hi = BOUNDS[:, 0], BOUNDS[:, 1]
    for _ in range(MAX_ITERATIONS):
        if not len(active):
            break
        th, ua, ca, oa, ma = theta[active], u[active], c[active], off[active], mask[active]
        mu, jac = _model(th, ua, oa)
        weight = np.where(ma, 1.0 / mu, 0.0)
        grad = 2.0 * np.einsum("rn,rnk->rk", np.where(ma, 1.0 - ca / mu, 0.0), jac)
        fisher = 2.0 * np.matmul(jac.transpose(0, 2, 1) * weight[:, None, :], jac)
        diag = np.maximum(np.diagonal(fisher, axis1=1, axis2=2), 1e-12)
        lam = damping[active]
        # A parameter held at a bound it is pushed against takes no step, so
        # the others' steps are the right ones for the bounded problem.
        held = ((th <= lo) & (grad > 0)) | ((th >= hi) & (grad < 0))
        free = ~held
        grad = np.where(held, 0.0, grad)
        system = (fisher + (lam[:, None] * diag)[:, :, None] * np.eye(4)) \
            * (free[:, :, None] & free[:, None, :]) + held[:, :, None] * np.eye(4)
        try:
            step = np.linalg.solve(system, -grad[..., None])[..., 0]
        except np.linalg.LinAlgError:       # one singular row: fall back to gradient steps
            step = -grad / (diag * (1.0 + lam[:, None]))
        trial = np.clip(th + step, lo, hi)
        trial_dev = _deviance(_model(trial, ua, oa)[0], ca, c_log_c[active], ma)
        before = dev[active]
        better = np.isfinite(trial_dev) & (trial_dev < before)
        theta[active[better]] = trial[better]
        dev[active[better]] = trial_dev[better]
        damping[active] = np.where(better, lam / 3.0, lam * 4.0)
        done = (better & (before - trial_dev <= TOLERANCE * np.maximum(before, 1.0))) | \
               (damping[active] > DAMPING_MAX)
        active = active[~done]
    return theta, dev


def fit_rises(problems):
    """Fits every (x, counts, point_s, offset or None) problem (`offset`:
    counts per point known to come from elsewhere, the dark sweep's).  Returns
    per problem {"plateau": P, "midpoint": m, "width": w, "background": B,
    "deviance"} in the units of x and counts/s, or None when no fit converged."""
    if not problems:
        return []
    rows = _Rows(problems)
    starts = rows.starts()
    k, s = starts.shape[:2]

    def repeat(a):
        return np.repeat(a, s, axis=0)

    theta, dev = _minimise(starts.reshape(k * s, 4), repeat(rows.u), repeat(rows.c),
                           repeat(rows.off), repeat(rows.c_log_c), repeat(rows.mask))
    dev = np.where(np.isfinite(dev), dev, np.inf).reshape(k, s)
    best = np.argmin(dev, axis=1)
    theta = theta.reshape(k, s, 4)[np.arange(k), best]
    out = []
    for i, (_, _, point_s, _) in enumerate(problems):
        if not np.isfinite(dev[i, best[i]]):
            out.append(None)
            continue
        p, m, w, b = theta[i]
        scale = rows.scale[i]
        # the deviance in counts: scaling the counts scaled it as well
        out.append({"plateau": p * scale / point_s, "midpoint": rows.x0[i] + m * rows.span[i],
                    "width": w * rows.span[i], "background": b * scale / point_s,
                    "deviance": float(dev[i, best[i]]) * scale})
    return out
