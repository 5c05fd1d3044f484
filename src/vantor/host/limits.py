"""The range of values each setting may take, so that a typing slip (2 A of
bias, `powered = 7`, a zero sweep step) is refused before it reaches a unit.

The built-in limits fit the electronics the built-in settings describe (a
10 kOhm bias resistor, working points of tens of microamperes, 10 ms steps);
a site with other sensors widens or narrows them in the `[limits]` table of
its settings file, one `key = [min, max]` line per setting.  Fields without a
physical meaning known here keep the range of their record type."""
import math

U8 = (0, 255)
U32 = (0, 4294967295)
F32 = (-3.4e38, 3.4e38)

# field -> (min, max), both ends allowed.
DEFAULT_LIMITS = {
    # back-end and host values
    "buffSize": (1, 360000),             # integration window: 10 ms to 1 hour
    "timeout": (0.01, 3600.0),           # silence time-out, seconds
    "maxFails": U32,
    # channel-unit settings (cu_config)
    "prescale": U8,
    "pgaGain": U8,
    # 1 = powered / inverted; 0 and 2 both mean not (some firmware writes 2)
    "powered": (0, 2),
    "inverted": (0, 2),
    "triggerV": (-10.0, 10.0),
    "biasI": (0.0, 1e-4),                # polarity is `inverted`, not the sign
    "latchV": (-10.0, 10.0),
    "latchFLow": F32,
    "latchFHigh": F32,
    "unlatchT": U32,
    "biasIStart": (0.0, 1e-4),
    "biasIStop": (0.0, 1e-4),
    "biasIStep": (1e-8, 1e-4),           # no finer than the hub's 10 nA IV bins
    "biasSweepT": (1, 360000),           # sweep point: 10 ms to 1 hour
    "resistorCryo": (0.0, 1e9),
    "resistorParallel": (0.0, 1e9),      # 0: no parallel resistor
    "resistorSeries": (0.0, 1e9),
    "resistorBias": (1.0, 1e9),
}

INTEGER_FIELDS = {"buffSize", "maxFails", "prescale", "pgaGain", "powered", "inverted",
                  "unlatchT", "biasSweepT"}

UNITS = {
    "buffSize": "steps of 10 ms", "timeout": "s", "biasSweepT": "steps of 10 ms",
    "triggerV": "V", "latchV": "V",
    "biasI": "A", "biasIStart": "A", "biasIStop": "A", "biasIStep": "A",
    "resistorCryo": "Ohm", "resistorParallel": "Ohm", "resistorSeries": "Ohm",
    "resistorBias": "Ohm",
}

# What no [limits] table may open up: the record types themselves.
_TYPE_RANGE = {f: (U32 if f in ("buffSize", "maxFails", "unlatchT", "biasSweepT") else U8)
               for f in INTEGER_FIELDS}


class LimitError(ValueError):
    """A value outside its limits, or an unusable [limits] table."""


def _number(value):
    return not isinstance(value, bool) and isinstance(value, (int, float))


def parse_limits(table, base=None):
    """The limits after a `[limits]` table ({field: [min, max]}) is laid over
    `base` (default: the built-in ones)."""
    limits = dict(base or DEFAULT_LIMITS)
    if table is None:
        return limits
    if not isinstance(table, dict):
        raise LimitError(f"limits: expected a table of key = [min, max], got {table!r}")
    for key, pair in table.items():
        where = f"limits.{key}"
        if key not in limits:
            raise LimitError(f"{where}: unknown key (settings with limits: "
                             f"{', '.join(sorted(limits))})")
        if not isinstance(pair, (list, tuple)) or len(pair) != 2 \
                or not all(_number(v) and math.isfinite(v) for v in pair):
            raise LimitError(f"{where}: expected [min, max] as two numbers, got {pair!r}")
        lo, hi = pair
        if lo > hi:
            raise LimitError(f"{where}: min {lo!r} is above max {hi!r}")
        if key in INTEGER_FIELDS:
            if not all(float(v).is_integer() for v in pair):
                raise LimitError(f"{where}: expected whole numbers, got {pair!r}")
            lo, hi = int(lo), int(hi)
            top = _TYPE_RANGE[key]
            if lo < top[0] or hi > top[1]:
                raise LimitError(f"{where}: the field holds {top[0]} to {top[1]} only")
        else:
            lo, hi = float(lo), float(hi)
        limits[key] = (lo, hi)
    return limits


def _show(value, field=None):
    unit = UNITS.get(field, "") if field else ""
    return (f"{value:g}" if isinstance(value, float) else f"{value}") + (f" {unit}" if unit else "")


def check(field, value, limits, where=None):
    """`value` if it lies within the limits of `field`; LimitError naming
    `where` (default: the field) otherwise.  Fields without limits pass."""
    bounds = limits.get(field)
    if bounds is None or not _number(value):
        return value
    lo, hi = bounds
    if not lo <= value <= hi:     # NaN fails too
        raise LimitError(f"{where or field}: {_show(value, field)} is outside the limits "
                         f"{_show(lo)} to {_show(hi, field)} (setting {field} in "
                         f"[limits] of the settings file)")
    return value


def as_table(limits):
    """{field: {"min", "max", "type", "unit"}}: the limits as JSON-ready data."""
    return {field: {"min": lo, "max": hi,
                    "type": "int" if field in INTEGER_FIELDS else "float",
                    "unit": UNITS.get(field)}
            for field, (lo, hi) in limits.items()}
