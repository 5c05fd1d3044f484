"""Stand-ins for the host around the stream hub: a settings object built from
small classes, a hub subclass that logs its hook calls, and stream records.
Holds no tests; the test_hub_* files import it."""
from tests.wire import f32, pack
from vantor.cluster import feedhub


class Configuration:
    def __init__(self, start=1e-6, stop=5e-6, inverted=False, sweep_t=10):
        self.biasIStart, self.biasIStop, self.inverted, self.biasSweepT = start, stop, inverted, sweep_t

    def get_c_value(self, name):
        return getattr(self, name)


class Unit:
    def __init__(self, rank, configuration=None):
        self.rank = rank
        self.configuration = configuration or Configuration()


class Mcu:
    def __init__(self, channels):
        self.channels = channels


class Settings:
    def __init__(self, devices):
        self.devices = devices


class Pairs:
    """A mapping stand-in that is not a dict: only items()."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


def settings(*units, per_mcu=2):
    """Settings with the given units (Unit objects or ranks), per_mcu units per microcontroller."""
    units = [u if isinstance(u, Unit) else Unit(u) for u in units]
    devices = {}
    for i, u in enumerate(units):
        devices.setdefault(i // per_mcu, Mcu({})).channels[i % per_mcu] = u
    return Settings(devices)


class Hub(feedhub.SpeedUpProtocol):
    """Host subclass: records every hook call in order."""

    def __init__(self, settings_obj):
        self.calls = []
        super().__init__(settings_obj)

    def streamData(self, data):
        self.calls.append(("streamData", data))

    def streamIvData(self, data):
        self.calls.append(("streamIvData", data))

    def resetIvFrontend(self, start, stop, steps):
        self.calls.append(("resetIvFrontend", (start, stop, steps)))

    def hooks(self, name):
        return [arg for n, arg in self.calls if n == name]


def make_hub(*units, cls=Hub):
    return cls(settings(*units))


def rec(rank=1, timestamp=0.0, status=0, counts=0, monitorV=0.0, biasI=0.0, **more):
    """One stream_data record's bytes."""
    return pack("stream_data", rank=rank, timestamp=timestamp, cuStatus=status, counts=counts,
                monitorV=monitorV, biasI=biasI, **more)


def feed(hub, *records):
    for r in records:
        hub.msg_received([r])


__all__ = ["Configuration", "Unit", "Mcu", "Settings", "Pairs", "settings", "Hub", "make_hub", "rec",
           "feed", "f32", "feedhub"]
