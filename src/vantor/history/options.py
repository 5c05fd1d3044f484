"""The [archive] table of the settings file."""
import math
from dataclasses import dataclass, fields

DAY = 86400.0


@dataclass(frozen=True)
class ArchiveOptions:
    enabled: bool = True
    full_days: float = 7.0          # every window kept this long
    aggregate_days: float = 365.0   # per-minute min/mean/max kept this long
    flush_seconds: float = 1.0      # one database write per interval
    block_minutes: float = 10.0     # recent rows folded per series once a block closes
    prune_minutes: float = 60.0     # how often old rows are dropped
    max_size_mb: float = 0.0        # 0: no cap; else writes fail (and alarm) beyond it

    @property
    def full_seconds(self):
        return self.full_days * DAY

    @property
    def aggregate_seconds(self):
        return self.aggregate_days * DAY


_LIMITS = {"full_days": (1 / 1440, 3650), "aggregate_days": (1 / 1440, 36500),
           "flush_seconds": (0.05, 60), "block_minutes": (1, 1440),
           "prune_minutes": (0.01, 10080), "max_size_mb": (0, 1e9)}


def parse_archive(table):
    """ArchiveOptions from the [archive] table; ValueError naming the key otherwise."""
    if not isinstance(table, dict):
        raise ValueError(f"archive: expected a table, got {table!r}")
    known = {f.name for f in fields(ArchiveOptions)}
    values = {}
    for key, value in table.items():
        where = f"archive.{key}"
        if key not in known:
            raise ValueError(f"{where}: unknown key (known: {', '.join(sorted(known))})")
        if key == "enabled":
            if not isinstance(value, bool):
                raise ValueError(f"{where}: expected true or false, got {value!r}")
        else:
            low, high = _LIMITS[key]
            if isinstance(value, bool) or not isinstance(value, (int, float)) \
                    or not math.isfinite(value) or not low <= value <= high:
                raise ValueError(f"{where}: expected a number {low:g} to {high:g}, got {value!r}")
            value = float(value)
        values[key] = value
    options = ArchiveOptions(**values)
    if options.aggregate_days < options.full_days:
        raise ValueError("archive.aggregate_days: must not be shorter than full_days")
    return options
