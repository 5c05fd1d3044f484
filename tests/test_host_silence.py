"""The host's silence supervision: deadlines on the workers, one periodic check."""
import asyncio
import math

import pytest

from vantor.host import silence
from vantor.host.silence import NEVER, SilenceWatch, adopt


class FakeWorker:
    """Re-arms at the end of handle_timeout like a bound worker, or fails
    (as a failed send would) and then does not."""

    def __init__(self, deadline, rearm=0.1, fail=False):
        self.deadline, self.rearm, self.fail = deadline, rearm, fail
        self.expired = []
        self.timer = None

    def handle_timeout(self):
        self.expired.append(self.deadline)
        if self.fail:
            raise OSError("send failed")
        if self.rearm is not None:
            self.deadline = 10.0 + self.rearm


def test_only_workers_past_their_deadline_expire_and_each_once():
    due, later, unbound = FakeWorker(1.0), FakeWorker(5.0), FakeWorker(1.0, rearm=None)
    watch = SilenceWatch({1: due, 2: later, 3: unbound}.values())
    watch.expire_due(now=2.0)
    # the deadline is cleared before the call, so the call sees NEVER
    assert due.expired == [NEVER] and later.expired == [] and unbound.expired == [NEVER]
    assert due.deadline == pytest.approx(10.1)   # re-armed by handle_timeout
    assert unbound.deadline == NEVER             # never bound: stays quiet
    watch.expire_due(now=2.0)
    assert len(due.expired) == len(unbound.expired) == 1


def test_a_failing_expiry_is_reported_and_not_retried_until_rearmed():
    bad, good = FakeWorker(1.0, fail=True), FakeWorker(1.0)
    errors = []
    watch = SilenceWatch([bad, good], on_error=lambda w, exc: errors.append((w, exc)))
    watch.expire_due(now=2.0)
    assert [(w, type(e)) for w, e in errors] == [(bad, OSError)]
    assert good.expired and bad.deadline == NEVER   # one failure stops no other worker
    watch.expire_due(now=100.0)
    assert len(errors) == 1


def test_without_an_error_callback_the_loop_hears_of_the_failure():
    seen = []

    async def scenario():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda loop, ctx: seen.append(ctx["exception"]))
        SilenceWatch([FakeWorker(1.0, fail=True)]).expire_due(now=2.0)

    asyncio.run(scenario())
    assert [type(e) for e in seen] == [OSError]


def test_adopt_cancels_the_constructor_call_and_arms_the_deadline(monkeypatch):
    class Handle:
        cancelled = False

        def cancel(self):
            self.cancelled = True

    w = FakeWorker(NEVER)
    w.timer = handle = Handle()
    monkeypatch.setattr(silence, "clock", lambda: 50.0)
    adopt(w, 0.25)
    assert handle.cancelled and w.timer is None and w.deadline == 50.25


def test_the_running_watch_expires_a_silent_worker_within_a_period():
    async def scenario():
        w = FakeWorker(silence.clock() + 0.03, rearm=None)
        task = asyncio.create_task(SilenceWatch([w], period=0.005).run())
        await asyncio.sleep(0.1)
        task.cancel()
        return w

    w = asyncio.run(scenario())
    assert w.expired == [NEVER] and math.isinf(w.deadline)
