"""What one sweep or recording produced, independent of the file format."""
import time
from dataclasses import dataclass, field

# Per-channel columns of each kind of run, in file order, with their types.
COLUMNS = {
    "iv": (("biasI", "f8"), ("counts", "u4"), ("monitorV", "f4")),
    "record": (("time", "f8"), ("counts", "u4"), ("monitorV", "f4")),
}


@dataclass
class Channel:
    rank: int
    mcuId: int
    cuId: int
    config: dict                 # the unit's cu_config values during the run
    data: dict                   # column name -> list (or array) of values

    @property
    def label(self):
        return f"{self.mcuId}.{self.cuId}"

    def __len__(self):
        return len(next(iter(self.data.values()), ()))


@dataclass
class Run:
    kind: str                    # "iv" or "record"
    attrs: dict                  # scalar settings of the run (buffSize, times, sweep plan, ...)
    channels: list = field(default_factory=list)

    def channel(self, rank):
        for ch in self.channels:
            if ch.rank == rank:
                return ch
        raise KeyError(rank)


def created(wall):
    """A run's start (time.time()) as written into its files: UTC, to the second."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(wall))


def channel_of(settings, rank, data):
    cu = settings.units()[rank - 1]
    return Channel(rank, cu.mcuId, cu.cuId, cu.configuration.as_dict(), data)
