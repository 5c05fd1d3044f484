"""The host's silence supervision: one native table of deadlines, each
worker's reset_timer a slot of it, one periodic check."""
import asyncio
import math

import pytest

from vantor.host import silence
from vantor.host.road import Deadlines
from vantor.host.silence import NEVER, SilenceWatch, arm


class FakeWorker:
    """Re-arms through its slot at the end of handle_timeout like a bound
    worker, or fails (as a failed send would) and then does not."""

    def __init__(self, rearm=0.1, fail=False):
        self.rearm, self.fail = rearm, fail
        self.expired = 0
        self.timer = None
        self.reset_timer = None

    def handle_timeout(self):
        self.expired += 1
        if self.fail:
            raise OSError("send failed")
        if self.rearm is not None:
            self.reset_timer(self.rearm)


def watch_of(workers, deadlines_at, **kw):
    table = arm(workers, 0.0)
    for k, at in enumerate(deadlines_at):
        table.set(k, at)
    return SilenceWatch(workers, table, **kw), table


def test_only_workers_past_their_deadline_expire_and_each_once():
    due, later, unbound = FakeWorker(), FakeWorker(), FakeWorker(rearm=None)
    watch, table = watch_of([due, later, unbound], [1.0, 1e12, 1.0])
    watch.expire_due(now=2.0)
    assert (due.expired, later.expired, unbound.expired) == (1, 0, 1)
    assert table.get(0) == pytest.approx(silence.clock() + 0.1, abs=0.05)  # re-armed
    assert table.get(2) == NEVER                 # did not re-arm: stays quiet
    watch.expire_due(now=2.0)
    assert (due.expired, unbound.expired) == (1, 1)


def test_a_failing_expiry_is_reported_and_not_retried_until_rearmed():
    bad, good = FakeWorker(fail=True), FakeWorker()
    errors = []
    watch, table = watch_of([bad, good], [1.0, 1.0], on_error=lambda w, exc: errors.append((w, exc)))
    watch.expire_due(now=2.0)
    assert [(w, type(e)) for w, e in errors] == [(bad, OSError)]
    assert good.expired == 1 and table.get(0) == NEVER   # one failure stops no other worker
    watch.expire_due(now=100.0)
    assert len(errors) == 1


def test_without_an_error_callback_the_loop_hears_of_the_failure():
    seen = []

    async def scenario():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda loop, ctx: seen.append(ctx["exception"]))
        watch, _ = watch_of([FakeWorker(fail=True)], [1.0])
        watch.expire_due(now=2.0)

    asyncio.run(scenario())
    assert [type(e) for e in seen] == [OSError]


def test_arm_cancels_the_constructor_call_and_arms_every_deadline():
    class Handle:
        cancelled = False

        def cancel(self):
            self.cancelled = True

    w = FakeWorker()
    w.timer = handle = Handle()
    before = silence.clock()
    table = arm([w], 0.25)
    assert handle.cancelled and w.timer is None
    assert before + 0.25 <= table.get(0) <= silence.clock() + 0.25
    w.reset_timer(2.0)                        # what the worker calls on every record
    assert table.get(0) == pytest.approx(silence.clock() + 2.0, abs=0.05)


@pytest.mark.parametrize("bad, error", [
    (-1.0, ValueError), (math.nan, ValueError), ("soon", TypeError)])
def test_a_slot_takes_only_finite_seconds(bad, error):
    table = Deadlines(1)
    with pytest.raises(error):
        table.slot(0)(bad)
    assert table.get(0) == NEVER


@pytest.mark.parametrize("index", [-1, 3])
def test_out_of_range_indexes_are_refused(index):
    table = Deadlines(3)
    for call in (lambda: table.slot(index), lambda: table.get(index),
                 lambda: table.set(index, 1.0)):
        with pytest.raises(IndexError, match=f"deadline index {index} out of range"):
            call()


def test_the_running_watch_expires_a_silent_worker_within_a_period():
    async def scenario():
        w = FakeWorker(rearm=None)
        watch, table = watch_of([w], [silence.clock() + 0.03])
        watch.period = 0.005
        task = asyncio.create_task(watch.run())
        await asyncio.sleep(0.1)
        task.cancel()
        return w, table

    w, table = asyncio.run(scenario())
    assert w.expired == 1 and math.isinf(table.get(0))
