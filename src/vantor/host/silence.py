"""Silence supervision of many workers by one periodic check.

A worker re-arms its silence timer on every message by calling its own
`reset_timer`. Through the event loop that is a cancel and a new timer handle
per record, and the loop's heap holds one live and up to one cancelled handle
per unit: the largest single cost of a record on a busy host. So each of the
host's workers gets, as its `reset_timer`, a slot of one native table of
deadlines (vantor.host.road.Deadlines), and one task per process asks the
table every 10 ms which deadlines have passed and calls `handle_timeout` of
those workers. An expiry comes at most one check period (10 ms, one report
interval of a unit) late.
"""
import asyncio
import math
import time

from .road import Deadlines

NEVER = math.inf
PERIOD = 0.01   # seconds between checks

clock = time.monotonic


def arm(workers, timeout):
    """The workers' deadlines, in the order given: each worker's reset_timer
    becomes its slot, and the call that construction scheduled on the event
    loop is taken over by a deadline `timeout` from now."""
    table = Deadlines(len(workers))
    now = clock()
    for index, worker in enumerate(workers):
        if worker.timer is not None:
            worker.timer.cancel()
            worker.timer = None
        worker.reset_timer = table.slot(index)
        table.set(index, now + timeout)
    return table


class SilenceWatch:
    def __init__(self, workers, deadlines, on_error=None, period=PERIOD):
        self.workers = workers       # in the order of `deadlines`
        self.deadlines = deadlines
        self.on_error = on_error
        self.period = period

    def expire_due(self, now=None):
        """Runs `handle_timeout` of every worker past its deadline. The table
        unarms a deadline as it reports it: `handle_timeout` sets a new one
        when it re-arms, and a worker that does not re-arm (never bound, or a
        send or hook failed) stays quiet until its next message."""
        now = clock() if now is None else now
        for index in self.deadlines.due(now):
            worker = self.workers[index]
            try:
                worker.handle_timeout()
            except Exception as exc:
                self._report(worker, exc)

    def stop(self):
        """No deadline fires any more (the workers are about to go)."""
        for index in range(len(self.deadlines)):
            self.deadlines.set(index, NEVER)

    def _report(self, worker, exc):
        if self.on_error is not None:
            self.on_error(worker, exc)
        else:
            asyncio.get_running_loop().call_exception_handler(
                {"message": "handle_timeout of a worker failed", "exception": exc})

    async def run(self):
        while True:
            await asyncio.sleep(self.period)
            self.expire_due()
