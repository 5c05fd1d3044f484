"""Gathers what the archive keeps between two flushes: the read model's
decoded batches (every window's rate, monitor voltage, status and how many
of its records were missing), board reports and counters from the snapshot,
unit status and set-point changes, settings changes and alarm transitions."""
import math

import numpy as np

from vantor.host.readmodel import WINDOW_DTYPE

from .layouts import COUNTER_FIELDS, row_dtype
from .store import Batch

NAN = float("nan")
ORIGIN_JUMP_S = 0.5


def _number(value):
    """A snapshot value as a float; None (not measured) becomes NaN."""
    if value is None:
        return NAN
    return float(value)


class ArchiveCollector:
    def __init__(self):
        self._stream = []
        self._boards = []
        self._counters = []
        self._states = []
        self._settings = []
        self._alarms = []
        self._board_reports = {}     # mcuId -> reports counter at the last row
        self._unit_state = {}        # rank -> (status word, biasI set point)
        # Stream records carry board time (steps since sequence 0); the
        # snapshot's totals say which Unix time that is.  Batches wait for it.
        self.time_origin = None

    # -- inputs -------------------------------------------------------------

    def stream(self, windows):
        """One decoded batch of the read model (vantor.host.readmodel.Windows)."""
        self._stream.append(windows)

    def event(self, event):
        kind = event.get("kind")
        if kind == "settings":
            for change in event.get("changes", ()):
                self._settings.append((event["time"], event.get("via"), change.get("rank"),
                                       change.get("name"), change.get("field"),
                                       change.get("old"), change.get("new"),
                                       event.get("actor")))
                if change.get("field") == "biasI":
                    self._state(event["time"], change["rank"], set_point=change.get("new"))
        elif kind == "status":
            self._state(event["time"], event["rank"], status=event.get("new"))

    def _state(self, now, rank, status=None, set_point=None):
        """A unit's status word or set point changed between two snapshots."""
        old_status, old_point = self._unit_state.get(rank, (None, None))
        state = (status or old_status, old_point if set_point is None else float(set_point))
        if state != (old_status, old_point):
            self._unit_state[rank] = state
            self._states.append((now, rank) + state)

    def alarm(self, alarm):
        """One alarm transition (handed over by the engine, not read back from
        the bus, so a busy subscription cannot lose it)."""
        self._alarms.append(alarm)

    def snapshot(self, snap):
        """Board reports not yet kept, the counters, and unit state changes."""
        now = snap["time"]
        origin = snap.get("totals", {}).get("time_origin")
        # The host refines its origin by milliseconds over the first records;
        # following that would step a unit's time axis back between two
        # flushes, so only a real change of time base is taken over.
        if origin is not None and (self.time_origin is None
                                   or abs(origin - self.time_origin) > ORIGIN_JUMP_S):
            self.time_origin = origin
        for board in snap.get("boards", ()):
            mcu, reports = board["mcuId"], board.get("reports", 0)
            if board.get("last_seen") is None or self._board_reports.get(mcu) == reports:
                continue
            self._board_reports[mcu] = reports
            pll = board.get("pll")
            self._boards.append((mcu, board["last_seen"], _number(board.get("temp1")),
                                 _number(board.get("temp2")),
                                 NAN if pll is None else float(bool(pll)),
                                 _number(board.get("status"))))
        totals = snap.get("totals", {})
        self._counters.append((0, now) + tuple(_number(totals.get(name))
                                               for name in COUNTER_FIELDS))
        for unit in snap.get("units", ()):
            state = (unit.get("status"), _setpoint(unit))
            if self._unit_state.get(unit["rank"]) != state:
                self._unit_state[unit["rank"]] = state
                self._states.append((now, unit["rank"]) + state)

    # -- output -------------------------------------------------------------

    def take(self):
        """Everything gathered since the last call, as one Batch."""
        batch = Batch(rows={"unit": self._stream_rows(),
                            "board": np.array(self._boards, dtype=row_dtype("board")),
                            "counters": np.array(self._counters, dtype=row_dtype("counters"))},
                      states=self._states, settings=self._settings, alarms=self._alarms)
        if self.time_origin is not None:
            self._stream = []
        self._boards, self._counters = [], []
        self._states, self._settings, self._alarms = [], [], []
        return batch

    def _stream_rows(self):
        if self.time_origin is None:
            return np.zeros(0, dtype=row_dtype("unit"))
        recs = np.concatenate([w.rows for w in self._stream]) if self._stream else \
            np.zeros(0, WINDOW_DTYPE)
        # silence records carry no measurement; the unit's status word records them
        recs = recs[np.isfinite(recs["rate"])]
        rows = np.empty(len(recs), dtype=row_dtype("unit"))
        rows["key"] = recs["rank"]
        rows["t"] = recs["timestamp"] + self.time_origin
        rows["rate"] = recs["rate"]
        rows["monitorV"] = recs["monitorV"]
        rows["cuStatus"] = recs["cuStatus"]
        rows["missing"] = recs["intSize"].astype(np.float64) - recs["received"]
        return rows


def _setpoint(unit):
    value = (unit.get("config") or {}).get("biasI")
    return None if value is None or not math.isfinite(value) else float(value)
