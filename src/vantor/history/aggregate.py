"""Per-minute min, mean and max of full-resolution rows, and rebinning of
either kind of row to a coarser time step."""
import numpy as np

from .layouts import VALUE_FIELDS, minute_dtype

MINUTE = 60.0


def _sorted(rows):
    """Rows ordered by (key, t); most callers already hand them so."""
    keys, t = rows["key"], rows["t"]
    if len(rows) < 2 or np.all((np.diff(keys) > 0) | ((np.diff(keys) == 0) & (np.diff(t) >= 0))):
        return rows
    return rows[np.lexsort((t, keys))]


def _groups(keys, bins):
    """Start index of each run of equal (key, bin) in rows sorted by them."""
    if len(keys) == 0:
        return np.zeros(0, dtype=np.intp)
    change = np.flatnonzero((np.diff(keys) != 0) | (np.diff(bins) != 0)) + 1
    return np.concatenate(([0], change))


def _nan_stats(values, starts):
    """min, mean, max per group, ignoring NaN; NaN where a group has no value."""
    valid = ~np.isnan(values)
    count = np.add.reduceat(valid.astype(np.int64), starts)
    total = np.add.reduceat(np.where(valid, values, 0.0).astype(np.float64), starts)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = total / count
    low = np.fmin.reduceat(values, starts)
    high = np.fmax.reduceat(values, starts)
    return low, mean, high


def minutes(kind, rows, step=MINUTE):
    """Aggregate keyed full-resolution rows into keyed per-`step` rows."""
    rows = _sorted(rows)
    bins = np.floor(rows["t"] / step)
    starts = _groups(rows["key"], bins)
    out = np.zeros(len(starts), dtype=minute_dtype(kind, keyed=True))
    if not len(starts):
        return out
    out["key"] = rows["key"][starts]
    out["t"] = bins[starts] * step
    out["n"] = np.diff(np.append(starts, len(rows)))
    for name, _ in VALUE_FIELDS[kind]:
        low, mean, high = _nan_stats(rows[name], starts)
        out[f"{name}_min"], out[f"{name}_mean"], out[f"{name}_max"] = low, mean, high
    return out


def rebin_minutes(kind, rows, step):
    """Merge keyed minute rows into keyed rows of `step` seconds (a multiple
    of a minute): min of minima, max of maxima, mean weighted by row count."""
    rows = _sorted(rows)
    bins = np.floor(rows["t"] / step)
    starts = _groups(rows["key"], bins)
    out = np.zeros(len(starts), dtype=rows.dtype)
    if not len(starts):
        return out
    out["key"] = rows["key"][starts]
    out["t"] = bins[starts] * step
    out["n"] = np.add.reduceat(rows["n"].astype(np.int64), starts)
    weight = rows["n"].astype(np.float64)
    for name, _ in VALUE_FIELDS[kind]:
        mean = rows[f"{name}_mean"].astype(np.float64)
        valid = ~np.isnan(mean)
        w = np.where(valid, weight, 0.0)
        total = np.add.reduceat(np.where(valid, mean * weight, 0.0), starts)
        with np.errstate(invalid="ignore", divide="ignore"):
            out[f"{name}_mean"] = total / np.add.reduceat(w, starts)
        out[f"{name}_min"] = np.fmin.reduceat(rows[f"{name}_min"], starts)
        out[f"{name}_max"] = np.fmax.reduceat(rows[f"{name}_max"], starts)
    return out
