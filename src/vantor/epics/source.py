"""What the EPICS records read from the host, in one place: the per-window
values of every unit, unit states, boards, totals and alarm events.

Per-window values come from the host's subscription as arrays (one row per
window and unit: rank, cuStatus, rate, counts, monitorV and the Unix time of
the window's end).  Hosts that publish decoded "windows" give them directly;
older ones publish the hub's raw "stream" batches, decoded here."""
import math

import numpy as np

from vantor.wire import STEP_S, STREAM_DATA, STREAM_FIELDS

WINDOW_KINDS = ("windows", "stream")
_STREAM_DTYPE = np.dtype([(name, fmt) for name, fmt in zip(
    STREAM_FIELDS, ("u1", "u1", "u1", "u1", "<f4", "<f4", "<u4", "<u4", "<u4", "<f8"))])
assert _STREAM_DTYPE.itemsize == STREAM_DATA.size


def subscribe(host, maxsize=10000):
    """The host's windows and events: (kind, payload) items."""
    try:
        return host.subscribe({"windows", "event"}, maxsize)
    except ValueError:                  # a host without the decoded read model
        return host.subscribe({"stream", "event"}, maxsize)


def window_rows(kind, payload, host):
    """(rank, cuStatus, rate, counts, monitorV, time) arrays of one item of
    the subscription; rate is NaN for silence records, time NaN until the
    host knows its time origin."""
    if kind == "windows":
        rows = payload.rows
        return (rows["rank"], rows["cuStatus"], rows["rate"], rows["counts"], rows["monitorV"],
                rows["time"])
    size = STREAM_DATA.size
    rows = np.frombuffer(payload, _STREAM_DTYPE, count=len(payload) // size)
    with np.errstate(divide="ignore", invalid="ignore"):
        rate = np.where(rows["intSize"] > 0, rows["counts"] / (rows["intSize"] * STEP_S), np.nan)
    origin = host.totals().get("time_origin")
    time = rows["timestamp"] + (origin if origin is not None else math.nan)
    return rows["rank"], rows["cuStatus"], rate, rows["counts"], rows["monitorV"], time


class UnitReading:
    """A unit's state as the slow records show it."""
    __slots__ = ("rank", "status", "updates", "set_point", "echoed_bias")

    def __init__(self, state, verified_bias=None):
        self.rank = state["rank"]
        self.status = state["status"]
        self.updates = state["updates"]
        self.set_point = state["config"]["biasI"]
        echo = state.get("echo")
        if echo is not None:
            self.echoed_bias = echo.get("biasI")
        else:
            # A host that does not report echoes: the bias its last verified
            # change over EPICS made the unit echo, else nothing.
            self.echoed_bias = verified_bias


def unit_readings(host, verified_bias):
    """Every unit's UnitReading in rank order, a slice at a time (see
    Host.unit_state_slices): a reader on the loop gives it a turn between two."""
    for states in host.unit_state_slices():
        yield [UnitReading(s, verified_bias.get(s["rank"])) for s in states]


def unit_reading(host, rank, verified_bias):
    return UnitReading(host.unit_state(rank), verified_bias.get(rank))


def boards(host):
    return host.boards_state()


def totals(host):
    return host.totals()
