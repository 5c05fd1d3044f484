"""History queries on top of any Store: pick the resolution, cut the series
per unit or board, and answer plain arrays."""
import math
import time

import numpy as np

from . import aggregate
from .layouts import VALUE_FIELDS, row_dtype

STATE_QUANTITIES = ("status", "biasI")   # kept as changes, not per window
KIND_NAMES = {"unit": "rank", "board": "mcuId", "counters": "counter"}


class QueryError(ValueError):
    """A query the archive cannot answer; the message names the argument to fix."""


def quantities(kind):
    names = tuple(name for name, _ in VALUE_FIELDS[kind])
    return names + STATE_QUANTITIES if kind == "unit" else names


def _check_range(since, until):
    for name, value in (("since", since), ("until", until)):
        if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
            raise QueryError(f"{name}: expected unix seconds, got {value!r}")
    if until < since:
        raise QueryError(f"until ({until}) is before since ({since})")


MAX_POINTS = 4000      # per series, when the caller leaves the resolution open


def choose_resolution(resolution, since, until, full_seconds, now):
    """0 for full resolution, else a bin width in seconds.  Left open: full
    resolution for a short range still kept at it, else whole minutes giving
    at most MAX_POINTS per series."""
    if resolution is None:
        if since >= now - full_seconds and until - since <= MAX_POINTS:
            return 0.0
        minutes = max(1, math.ceil((until - since) / MAX_POINTS / aggregate.MINUTE))
        return minutes * aggregate.MINUTE
    if isinstance(resolution, bool) or not isinstance(resolution, (int, float)) \
            or not math.isfinite(resolution) or resolution < 0:
        raise QueryError(f"resolution: expected seconds >= 0, got {resolution!r}")
    if resolution >= aggregate.MINUTE:
        return max(1, round(resolution / aggregate.MINUTE)) * aggregate.MINUTE
    return float(resolution)


def series(store, kind, keys, quantity, since, until, resolution=None, *,
           full_seconds=7 * 86400, now=None, complete_only=False):
    """{"resolution": seconds (0 = every row), "series": {key: {"time", "value"
    [, "min", "max", "n"]}}}; binned series give the bin start as time and
    the mean as value.  `complete_only` leaves out unit windows that missed
    records (and minutes that held one); windows archived before records
    were counted cannot tell and stay in."""
    if quantity not in quantities(kind):
        raise QueryError(f"quantity: {quantity!r} is not one of {', '.join(quantities(kind))}")
    _check_range(since, until)
    keys = sorted({int(k) for k in keys})
    if not keys:
        raise QueryError(f"{KIND_NAMES[kind]}: none given")
    now = time.time() if now is None else now
    if quantity in STATE_QUANTITIES:
        return {"resolution": 0.0, "series": _states(store, keys, quantity, since, until)}
    step = choose_resolution(resolution, since, until, full_seconds, now)
    out = {}
    complete_only = complete_only and kind == "unit"
    if step == 0:
        for key, rows in store.rows(kind, keys, since, until).items():
            rows = _complete(rows) if complete_only else rows
            out[key] = {"time": rows["t"].copy(), "value": rows[quantity].astype(np.float64)}
        return {"resolution": 0.0, "series": out}
    if step < aggregate.MINUTE:
        found = store.rows(kind, keys, since, until)
        if complete_only:
            found = {key: _complete(rows) for key, rows in found.items()}
        for key in keys:
            keyed = np.zeros(len(found[key]), dtype=row_dtype(kind))
            for name in found[key].dtype.names:
                keyed[name] = found[key][name]
            keyed["key"] = key
            out[key] = _binned(aggregate.minutes(kind, keyed, step=step), quantity)
        return {"resolution": step, "series": out}
    found = store.minutes(kind, keys, since, until)
    for key in keys:
        rows = found[key]
        if complete_only:
            rows = rows[~(rows["missing_max"] > 0)]
        if step > aggregate.MINUTE:
            keyed = np.zeros(len(rows), dtype=[("key", "<u4")] + rows.dtype.descr)
            for name in rows.dtype.names:
                keyed[name] = rows[name]
            rows = aggregate.rebin_minutes(kind, keyed, step)
        out[key] = _binned(rows, quantity)
    return {"resolution": step, "series": out}


def _complete(rows):
    return rows[~(rows["missing"] > 0)]


def _binned(rows, quantity):
    return {"time": rows["t"].astype(np.float64),
            "value": rows[f"{quantity}_mean"].astype(np.float64),
            "min": rows[f"{quantity}_min"].astype(np.float64),
            "max": rows[f"{quantity}_max"].astype(np.float64),
            "n": rows["n"].astype(np.int64)}


def _states(store, keys, quantity, since, until):
    out = {key: {"time": [], "value": []} for key in keys}
    for change in store.states(keys, since, until):
        entry = out[change["rank"]]
        value = change[quantity]
        if entry["value"] and entry["value"][-1] == value:
            continue            # the other quantity changed, not this one
        entry["time"].append(change["time"])
        entry["value"].append(value)
    for entry in out.values():
        entry["time"] = np.array(entry["time"], dtype=np.float64)
        entry["value"] = np.array(entry["value"], dtype=object if quantity == "status"
                                  else np.float64)
    return out
