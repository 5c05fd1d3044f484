"""Which IV sweeps the hub can assemble without changing their values.

The hub lays every sweep on one grid of 10 nA bins that starts at the
smallest configured sweep start of all units and stores each point as the
bin's current, not as the current applied.  A point off that grid would be
stored at a neighbouring value as if it had been applied, so such a sweep is
refused, naming the nearest values that do land on the grid.

The grid runs upwards from the smallest start to the largest stop and keeps
one value per bin (a later point in a bin replaces an earlier one): a
descending sweep (start above stop) has no grid of its own, and the two legs
of a there-and-back sweep would overwrite each other; both are refused with
that reason."""
import math

from vantor.wire import IV_GRID_STEP as GRID_STEP, SWEEP_FIELDS, sweep_points

from .channels import OpsError

MAX_POINTS = 100000          # more points than this is a typing error, not a sweep
_TOLERANCE = 1e-3            # of a bin: binary32 settings are never exact multiples

NOT_DESCENDING = ("the hub's IV grid runs upwards from the smallest configured start to the "
                  "largest stop and keeps one point per 10 nA bin, so it cannot hold a "
                  "descending sweep or the return leg of a there-and-back sweep")


def on_grid(value, origin=0.0):
    bins = (value - origin) / GRID_STEP
    return abs(bins - round(bins)) <= _TOLERANCE


def nearest_on_grid(value, origin=0.0):
    """The grid values just below and above `value` (the same one twice when
    it lies on the grid)."""
    bins = (value - origin) / GRID_STEP
    if abs(bins - round(bins)) <= _TOLERANCE:
        return (origin + round(bins) * GRID_STEP,) * 2
    return origin + math.floor(bins) * GRID_STEP, origin + math.ceil(bins) * GRID_STEP


def _amps(value):
    return f"{value:.6g} A"


def _off_grid(where, name, value, origin=0.0, floor=None):
    lo, hi = nearest_on_grid(value, origin)
    choices = [v for v in (lo, hi) if floor is None or v >= floor]
    if len(choices) == 2 and math.isclose(*choices):
        choices = choices[:1]
    return OpsError(f"{where}: {name} {_amps(value)} does not land on the hub's 10 nA grid "
                    f"(the hub would store another current than the one applied); nearest "
                    f"valid: {' or '.join(_amps(v) for v in choices)}")


def check_sweep(values, where="IV sweep", *, grid_start=0.0, limits=None):
    """A sweep the hub stores exactly: 0 <= start <= stop, a step of whole
    10 nA bins, a start on the grid that begins at `grid_start` (the smallest
    sweep start configured on any unit), a point of at least one 10 ms step,
    and (with `limits`, {field: (min, max)}) values within the site's limits.
    Returns the number of points; OpsError says what to change."""
    start, stop, step, steps = (values[k] for k in SWEEP_FIELDS)
    for name, v in (("start", start), ("stop", stop), ("step", step)):
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v) \
                or abs(v) > 1.0:
            raise OpsError(f"{where}: {name} must be a current in amperes (|I| <= 1 A), got {v!r}")
    if isinstance(steps, bool) or not isinstance(steps, int) or not 1 <= steps <= 4294967295:
        raise OpsError(f"{where}: point length must be 1 or more 10 ms steps, got {steps!r}")
    if start < 0 or stop < 0:
        raise OpsError(f"{where}: currents are magnitudes (the unit's 'inverted' setting gives "
                       f"the polarity); got start {_amps(start)}, stop {_amps(stop)}")
    if start > stop or step < 0:
        raise OpsError(f"{where}: expected 0 <= start <= stop with a positive step, got start "
                       f"{_amps(start)}, stop {_amps(stop)}, step {_amps(step)}: {NOT_DESCENDING}")
    if not step > 0:
        raise OpsError(f"{where}: step must be > 0 A, got {step:g} A")
    if step < GRID_STEP * (1 - _TOLERANCE):
        raise OpsError(f"{where}: step {step:g} A is finer than the hub's {GRID_STEP:g} A bins; "
                       f"nearest valid: {_amps(GRID_STEP)}")
    if not on_grid(step):
        raise _off_grid(where, "step", step, floor=GRID_STEP)
    if not on_grid(start, grid_start):
        raise _off_grid(where, "start", start, grid_start, floor=0.0)
    if limits:
        for field, v in zip(SWEEP_FIELDS, (start, stop, step, steps)):
            lo, hi = limits.get(field, (-math.inf, math.inf))
            if not lo <= v <= hi:
                raise OpsError(f"{where}: {field} {v:g} is outside the limits {lo:g} to {hi:g} "
                               f"of the settings ([limits] {field})")
    n = sweep_points(start, stop, step)
    if n > MAX_POINTS:
        raise OpsError(f"{where}: {n} points is more than {MAX_POINTS}; use a larger step")
    return n


def grid_start(settings, changes_by_rank):
    """The start of the hub's grid once `changes_by_rank` ({rank: {field:
    value}}) are applied: the smallest sweep start of all units (magnitudes)."""
    starts = []
    for cu in settings.units():
        value = changes_by_rank.get(cu.rank, {}).get("biasIStart",
                                                     cu.configuration.get_c_value("biasIStart"))
        starts.append(abs(value))
    return min(starts, default=0.0)
