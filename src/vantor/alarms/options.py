"""The [alarms] table of the settings file: which conditions raise alarms,
their limits and hysteresis, and the command run per alarm transition."""
import shlex
from dataclasses import dataclass, field

from vantor.host.option_table import entries, flag, number
from vantor.wire import parse_unit_name


@dataclass(frozen=True)
class AlarmOptions:
    silence: bool = True              # a unit's silence records / status "silent"
    unheard_seconds: float = 10.0     # after start, a unit never heard is an alarm
    pll: bool = True
    temp1_min: float = 0.0
    temp1_max: float = 60.0
    temp2_min: float = 0.0
    temp2_max: float = 10.0
    temp_hysteresis: float = 1.0      # back this far inside the limits to clear
    verify_updates: int = 3           # updates in a row without the echo following
    rate_band: dict = field(default_factory=dict)   # rank or "*" -> (min, max) counts/s
    rate_hysteresis: float = 0.05     # fraction of the limit to clear
    loss_percent: float = 1.0         # datagrams lost over loss_seconds, raised above this
    loss_seconds: float = 10.0
    disk_min_mb: float = 500.0        # free space where recordings and the archive go
    worker: bool = True
    archive: bool = True
    hook: tuple = ()                  # command (argv) run per transition, alarm JSON on stdin
    hook_timeout: float = 10.0

    def band(self, rank, name):
        """(min, max) rate band of a unit, or None; either end may be None."""
        for key in (rank, name, "*"):
            if key in self.rate_band:
                return self.rate_band[key]
        return None


_NUMBERS = {"unheard_seconds": (0, 86400), "temp1_min": (-1e6, 1e6), "temp1_max": (-1e6, 1e6),
            "temp2_min": (-1e6, 1e6), "temp2_max": (-1e6, 1e6), "temp_hysteresis": (0, 1e6),
            "verify_updates": (1, 1000000), "rate_hysteresis": (0, 0.99),
            "loss_percent": (0, 100), "loss_seconds": (1, 3600), "disk_min_mb": (0, 1e9),
            "hook_timeout": (0.1, 3600)}
_FLAGS = {"silence", "pll", "worker", "archive"}


def _band(where, value):
    if not isinstance(value, list) or len(value) != 2:
        raise ValueError(f"{where}: expected [min, max] in counts per second "
                         f"(\"none\" for an open end), got {value!r}")
    low, high = (None if v == "none" else number(where, v, 0, 1e12) for v in value)
    if low is not None and high is not None and high <= low:
        raise ValueError(f"{where}: max must be above min, got {value!r}")
    return low, high


def parse_alarms(table):
    """AlarmOptions from the [alarms] table; ValueError naming the key otherwise."""
    values = {}
    for key, where, value in entries("alarms", table, AlarmOptions):
        if key in _FLAGS:
            flag(where, value)
        elif key == "hook":
            if isinstance(value, str):
                value = tuple(shlex.split(value))
            elif isinstance(value, list) and all(isinstance(v, str) for v in value):
                value = tuple(value)
            else:
                raise ValueError(f"{where}: expected a command line or a list of strings")
        elif key == "rate_band":
            if not isinstance(value, dict):
                raise ValueError(f"{where}: expected a table of unit = [min, max]")
            bands = {}
            for unit, band in value.items():
                bands[_unit_key(f"{where}.{unit}", unit)] = _band(f"{where}.{unit}", band)
            value = bands
        else:
            value = number(where, value, *_NUMBERS[key])
            if key == "verify_updates" and not isinstance(value, int):
                raise ValueError(f"{where}: expected a whole number, got {value!r}")
        values[key] = value
    options = AlarmOptions(**values)
    for n in ("1", "2"):
        if getattr(options, f"temp{n}_max") <= getattr(options, f"temp{n}_min"):
            raise ValueError(f"alarms.temp{n}_max: must be above temp{n}_min")
    return options


def _unit_key(where, text):
    """A rate band's unit: "*" (every unit), a rank ("5") or "MCU.CU"."""
    if text == "*":
        return text
    if text.isdigit():
        return int(text)
    try:
        parse_unit_name(text)
    except ValueError as exc:
        raise ValueError(f"{where}: {exc}; use a rank, MCU.CU or \"*\"") from None
    return text
