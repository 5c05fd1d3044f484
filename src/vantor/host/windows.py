"""How many records of each integration window reached the unit's worker.

A worker scales a window's counts by a whole-number factor (buffSize // n),
so a window with 60 of its 100 records reports 60 % of its counts as if it
were whole: during datagram loss every rate dips, exactly like a change of
the light.  The stream record does not say how many records it holds, but
the host routes every record, so it can follow each unit's windows the way
the worker does (the same sequence arithmetic) and keep, per window end, the
number of records that went in.  The read model looks the number up when the
window's stream record arrives.

Two windows of one unit can end at the same sequence: a datagram later than
the broker's queue sends the unit's sequence back and restarts its window.
So closed windows are kept in order, and each lookup takes the oldest one
with that end, as the worker published them."""
from collections import deque

KEEP = 8        # closed windows remembered per unit (their records are still on their way)
_U32 = 0xFFFFFFFF


class UnitWindows:
    """One unit's open window, as its worker sees it."""
    __slots__ = ("start", "prev", "n", "closed")

    def __init__(self):
        self.start = 0          # sequence at which the open window began
        self.prev = 0           # sequence of the last record taken (a repeat is a duplicate)
        self.n = 0              # records in the open window
        self.closed = deque(maxlen=KEEP)    # (window end sequence, records it held), oldest first


class WindowCounter:
    def __init__(self, pairs, buff_size):
        self.units = {pair: UnitWindows() for pair in pairs}
        self.buff_size = buff_size

    def record(self, pair, sequence):
        """A record of unit `pair` with `sequence` goes to its worker now."""
        unit = self.units.get(pair)
        if unit is None or sequence == unit.prev:
            return              # unknown unit, or a duplicate the worker drops
        b = self.buff_size
        if not b:
            return              # the worker refuses the record (division by zero)
        start = unit.start
        if sequence < unit.prev:
            unit.start, unit.n = sequence, 0           # the unit's sequence went back
        else:
            end = (start + b - start % b) & _U32
            if sequence >= end:
                if unit.n:
                    unit.closed.append((end, unit.n))
                unit.start, unit.n = sequence, 0
        unit.prev = sequence
        unit.n += 1

    def take(self, pair, end):
        """Records the window of `pair` ending at sequence `end` held, taken out
        (the oldest such window: see above); None when the host did not see it
        close."""
        unit = self.units.get(pair)
        if unit is not None:
            for item in unit.closed:
                if item[0] == end:
                    unit.closed.remove(item)
                    return item[1]
        return None

    def peek(self, pair, end):
        """As take(), leaving the window for its stream record to take."""
        unit = self.units.get(pair)
        if unit is not None:
            for item in unit.closed:
                if item[0] == end:
                    return item[1]
        return None
