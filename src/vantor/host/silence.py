"""Silence supervision of many workers by one periodic check.

A worker re-arms its silence timer on every message. Through the event loop
that is a cancel and a new timer handle per record, and the loop's heap holds
one live and up to one cancelled handle per unit: the largest single cost of a
record on a busy host. The host's workers replace `reset_timer` with a
deadline stored on the worker, and one task per process calls
`handle_timeout` for every worker whose deadline has passed. An expiry comes
at most one check period (10 ms, one report interval of a unit) late.
"""
import asyncio
import math
import time

NEVER = math.inf
PERIOD = 0.01   # seconds between checks

clock = time.monotonic


def adopt(worker, timeout):
    """Take over the call that construction scheduled on the event loop."""
    if worker.timer is not None:
        worker.timer.cancel()
        worker.timer = None
    worker.deadline = clock() + timeout


class SilenceWatch:
    def __init__(self, workers, on_error=None, period=PERIOD):
        self.workers = workers   # a live view: workers closed and dropped are not held here
        self.on_error = on_error
        self.period = period

    def expire_due(self, now=None):
        """Runs `handle_timeout` of every worker past its deadline. The
        deadline is cleared first: `handle_timeout` sets a new one when it
        re-arms, and a worker that does not re-arm (never bound, or a send or
        hook failed) stays quiet until its next message."""
        now = clock() if now is None else now
        for worker in self.workers:
            if worker.deadline <= now:
                worker.deadline = NEVER
                try:
                    worker.handle_timeout()
                except Exception as exc:
                    self._report(worker, exc)

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
