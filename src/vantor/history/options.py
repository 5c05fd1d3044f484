"""The [archive] table of the settings file."""
from dataclasses import dataclass

from vantor.host.option_table import entries, flag, number

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
    values = {}
    for key, where, value in entries("archive", table, ArchiveOptions):
        values[key] = flag(where, value) if key == "enabled" \
            else float(number(where, value, *_LIMITS[key]))
    options = ArchiveOptions(**values)
    if options.aggregate_days < options.full_days:
        raise ValueError("archive.aggregate_days: must not be shorter than full_days")
    return options
