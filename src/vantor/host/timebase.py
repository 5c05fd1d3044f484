"""The host's time base.

Stream records are stamped `sequence x 10 ms + TIMESTAMP`, TIMESTAMP being
read by every worker from the shared C_Backend.  The broker writes the wall
clock there after each re-synchronisation, but the field is binary32: at
present-day epoch values it holds the time only to 128 s, and the write
makes every unit's time axis jump from its first re-synchronisation on.

So the workers' TIMESTAMP stays 0 for the host's whole life: a record's time
is the boards' own clock (sequence steps), steady across losses and
re-synchronisations.  The broker writes into a record of its own that no
worker reads; the host notices each re-synchronisation there, counts it
and announces it.  To turn record times into wall-clock time, `origin` is
the Unix time of board time 0: the earliest that the first records allow
(each arrives a little after it was sent, and the first ones wait while
their source is confirmed, so the smallest estimate is the best one)."""
import ctypes
import threading
import time

from vantor.wire import C_BACKEND


class TimeBase:
    def __init__(self, on_event=None):
        self.on_event = on_event
        self.router = None          # refines `origin` from the first records (road.Router)
        self.resyncs = 0            # re-synchronisations regained since the start
        self._broker_record = ctypes.create_string_buffer(C_BACKEND.size)
        self._broker_lock = threading.Lock()

    @property
    def origin(self):
        """Unix seconds of sequence 0, from the first records; None before any."""
        return None if self.router is None else self.router.origin

    def broker_backend(self):
        """(address, lock) of the C_Backend record the broker writes its clock into."""
        return ctypes.addressof(self._broker_record), self._broker_lock

    def regained(self, chunk):
        """The first record that passed after a lost sync (the router calls it)."""
        self.resyncs += 1
        if self.on_event is not None:
            self.on_event({"kind": "resync", "count": self.resyncs,
                           "sequence": int.from_bytes(chunk[8:12], "little"),
                           "time": time.time()})
