"""The [sim] table of the settings file: how the simulated sensors respond
(plateau, switching, re-trapping, dark counts, dead units, units without a
plateau) and per-unit values that replace the drawn ones."""
from dataclasses import dataclass, field

from vantor.host.option_table import entries, number
from vantor.wire import parse_unit_name, unit_label

PER_UNIT = ("light", "plateau_midpoint", "plateau_width", "switching_current",
            "switching_spread", "retrap_current", "dark_rate", "latched_voltage")
UNIT_LISTS = ("dead", "no_plateau")
_LIMITS = {"light": (0, 1e6), "plateau_midpoint": (0, 1), "plateau_width": (1e-12, 1),
           "switching_current": (1e-12, 1), "switching_spread": (0, 0.5),
           "retrap_current": (0, 1), "dark_rate": (0, 1e9), "latched_voltage": (-1e3, 1e3)}


@dataclass(frozen=True)
class SimOptions:
    light: float = 1.0                 # plateau rate relative to 2000 counts/s
    plateau_midpoint: float = 1.5e-5   # A: the sigmoid is at half its plateau here
    plateau_width: float = 3.0e-6      # A
    switching_current: float = 3.0e-5  # A, mean over units
    switching_spread: float = 0.05     # relative standard deviation over units
    retrap_current: float = 1.0e-5     # A: a latched unit recovers below this bias
    dark_rate: float = 10.0            # counts/s far below switching
    latched_voltage: float = 1.0       # V: the monitor voltage of a latched unit
    dead: frozenset = frozenset()      # (mcuId, cuId) of units that never count
    no_plateau: frozenset = frozenset()   # units whose rate rises up to switching
    unit: dict = field(default_factory=dict)   # (mcuId, cuId) -> {key: value}


def _pair(where, text, known):
    try:
        pair = parse_unit_name(text)
    except ValueError as exc:
        raise ValueError(f"{where}: {exc}") from None
    if pair not in known:
        raise ValueError(f"{where}: no unit {unit_label(*pair)} in the settings")
    return pair


def _check_retrap(where, switching, retrap):
    if retrap >= switching:
        raise ValueError(f"{where}: retrap_current ({retrap:g} A) must lie below "
                         f"switching_current ({switching:g} A)")


def parse_sim(table, units):
    """SimOptions from the [sim] table; `units` are the (mcuId, cuId) pairs of
    the settings.  ValueError naming the key otherwise."""
    known = set(units)
    values, overrides = {}, {}
    for key, where, value in entries("sim", table, SimOptions):
        if key in UNIT_LISTS:
            if not isinstance(value, list):
                raise ValueError(f"{where}: expected a list of MCU.CU names, got {value!r}")
            values[key] = frozenset(_pair(f"{where}[{i}]", v, known) for i, v in enumerate(value))
        elif key == "unit":
            if not isinstance(value, dict):
                raise ValueError(f"{where}: expected tables [sim.unit.\"MCU.CU\"]")
            for name, sub in value.items():
                pair = _pair(f"{where}.{name}", name, known)
                uwhere = f"{where}.\"{name}\""
                if not isinstance(sub, dict):
                    raise ValueError(f"{uwhere}: expected a table of {', '.join(PER_UNIT)}")
                for k, v in sub.items():
                    if k not in PER_UNIT:
                        raise ValueError(f"{uwhere}.{k}: unknown key (per unit: "
                                         f"{', '.join(PER_UNIT)})")
                    overrides.setdefault(pair, {})[k] = float(number(f"{uwhere}.{k}", v,
                                                                    *_LIMITS[k]))
        else:
            values[key] = float(number(where, value, *_LIMITS[key]))
    options = SimOptions(**values, unit=overrides)
    _check_retrap("sim", options.switching_current, options.retrap_current)
    for pair, sub in overrides.items():
        if "switching_current" in sub or "retrap_current" in sub:
            _check_retrap(f"sim.unit.\"{unit_label(*pair)}\"",
                          sub.get("switching_current", options.switching_current),
                          sub.get("retrap_current", options.retrap_current))
    return options


