"""Silence supervision on a real asyncio loop with short time-outs: status
records, re-arming, host overrides reached through the object, failures."""
import asyncio

import pytest

from tests.conftest import recv_all
from tests.test_worker import Worker, rig  # noqa: F401  (rig is a fixture)
from tests.wire import unpack
from vantor.cluster.workers import lanecore

TIMEOUT = 0.02


class Supervised(Worker):
    """Counts expiries and logs hook calls next to the records already sent."""
    expiries = 0
    fail_timeout = None

    def handle_timeout(self):
        self.expiries += 1
        return super().handle_timeout()

    def onTimeout(self):
        self.seen += [unpack("stream_data", f[0])["cuStatus"] for f in recv_all(self.rx)] + ["onTimeout"]
        if self.fail_timeout is not None:
            raise self.fail_timeout


def pending(loop):
    return [h for h in loop._scheduled if not h.cancelled()]


def run_until(loop, done, limit=3.0):
    async def wait():
        deadline = loop.time() + limit
        while not done() and loop.time() < deadline:
            await asyncio.sleep(0.002)

    loop.run_until_complete(wait())
    assert done(), "condition not reached in time"


def statuses(r):
    return [x["cuStatus"] for x in r.streams()]


@pytest.fixture
def sup(rig, loop):
    errors = []
    loop.set_exception_handler(lambda _, ctx: errors.append(ctx.get("exception")))

    def make(powered=0, timeout=TIMEOUT, cls=Supervised, **kw):
        r = rig(cls=cls, timeout=timeout, config=dict(powered=powered, inverted=1), **kw)
        r.worker.seen, r.worker.rx, r.errors = [], r.stream, errors
        return r

    return make


class TestExpiry:
    def test_unbound_worker_expires_once(self, sup, loop):
        r = sup(powered=1)
        run_until(loop, lambda: r.worker.expiries == 1)
        loop.run_until_complete(asyncio.sleep(5 * TIMEOUT))
        assert r.worker.expiries == 1 and pending(loop) == [] and r.streams() == []
        r.send(1)  # the first message starts supervision again
        run_until(loop, lambda: r.worker.expiries == 2)

    def test_unpowered_unit_sends_timeout_records(self, sup, loop):
        r = sup(powered=2)  # only 1 counts as powered
        r.send(1)
        run_until(loop, lambda: r.worker.expiries == 3)
        records = r.streams()
        assert [x["cuStatus"] for x in records] == [100] * 3 and r.worker.seen == []
        assert records[0] == dict(mcuId=4, cuId=7, cuStatus=100, inverted=1, monitorV=0.0, biasI=0.0,
                                  counts=0, intSize=0, rank=3, timestamp=0.0)
        assert len(pending(loop)) == 1

    def test_powered_unit_sends_200_hook_then_100(self, sup, loop):
        r = sup(powered=1)
        r.send(1)
        run_until(loop, lambda: r.worker.expiries == 2)
        assert r.worker.seen + statuses(r) == [200, "onTimeout", 100, 200, "onTimeout", 100]

    def test_powered_byte_read_under_lock_at_expiry(self, sup, loop):
        r = sup(powered=0)
        r.send(1)
        r.cfg.write(powered=1)
        del r.log[:]
        r.worker.handle_timeout()
        assert r.log == [("enter", "cfg"), ("exit", "cfg", None)]
        assert r.worker.seen + statuses(r) == [200, "onTimeout", 100]

    def test_messages_postpone_expiry(self, sup, loop):
        r = sup(timeout=0.1)

        async def feed():
            for s in range(1, 31):
                r.send(s)
                await asyncio.sleep(0.01)

        loop.run_until_complete(feed())
        assert r.worker.expiries == 0 and len(pending(loop)) == 1
        assert r.worker.timer.when() - loop.time() == pytest.approx(0.1, abs=0.02)


class TestResetTimer:
    @pytest.mark.parametrize("args, kwargs, delay", [((), {}, 0.1), ((0.5,), {}, 0.5),
                                                      ((), {"timeout_time": 2}, 2.0)])
    def test_delay(self, sup, loop, args, kwargs, delay):
        r = sup()
        old = r.worker.timer
        r.worker.reset_timer(*args, **kwargs)
        assert old.cancelled() and pending(loop) == [r.worker.timer]
        assert r.worker.timer.when() - loop.time() == pytest.approx(delay, abs=0.02)

    def test_host_replaced_timer(self, sup, loop):
        r = sup()
        r.worker.timer.cancel()
        r.worker.timer = None  # nothing to cancel
        r.worker.reset_timer()
        assert len(pending(loop)) == 1
        r.worker.timer = object()
        with pytest.raises(AttributeError, match="cancel"):
            r.worker.reset_timer()

    @pytest.mark.parametrize("seconds", [float("nan"), float("inf"), -float("inf"), -0.5])
    def test_unusable_delays_are_refused(self, sup, loop, seconds):
        r = sup()
        timer = r.worker.timer
        with pytest.raises(ValueError, match=r"^timeout_time must be a finite number of seconds >= 0, got "):
            r.worker.reset_timer(seconds)
        assert r.worker.timer is timer and pending(loop) == [timer]

    @pytest.mark.parametrize("seconds", [float("nan"), float("inf"), -1])
    def test_unusable_time_out_refused_at_construction(self, sup, loop, seconds):
        with pytest.raises(ValueError, match=r"^timeout must be a finite number of seconds >= 0, got "):
            sup(timeout=seconds)
        assert pending(loop) == []

    def test_zero_delay_is_allowed(self, sup, loop):
        r = sup()
        r.worker.reset_timer(0)
        run_until(loop, lambda: r.worker.expiries == 1)

    def test_second_construction_replaces_the_pending_call(self, sup, loop):
        r = sup()
        first = r.worker.timer
        r.worker.__init__(3, (r.cfg.address, r.lock), (r.backend.address, r.backendlock), r.stream_tx,
                          r.update_tx, TIMEOUT)
        assert first.cancelled() and pending(loop) == [r.worker.timer]

    def test_host_call_of_handle_timeout_keeps_one_pending(self, sup, loop):
        r = sup()
        r.send(1)
        r.worker.handle_timeout()
        assert statuses(r) == [100] and len(pending(loop)) == 1


class TestOverrides:
    def test_worker_calls_reach_the_overrides(self, sup, loop):
        calls = []

        class Host(Supervised):
            def reset_timer(self, timeout_time=0.1):
                calls.append(timeout_time)
                super().reset_timer(timeout_time)

        r = sup(cls=Host, powered=1)
        assert r.worker.timer._callback == r.worker.handle_timeout  # the override is scheduled
        r.send(1)
        assert calls == [TIMEOUT]
        run_until(loop, lambda: r.worker.expiries == 1)
        assert calls == [TIMEOUT, TIMEOUT] and "onTimeout" in r.worker.seen

    def test_instance_attribute_override(self, sup, loop):
        r = sup()
        calls = []
        r.worker.reset_timer = calls.append
        timer = r.worker.timer
        r.send(1)
        assert calls == [TIMEOUT] and r.worker.timer is timer and not timer.cancelled()

    def test_default_hooks(self, sup):
        w = sup().worker
        assert Worker.onTimeout(w) is None
        assert lanecore.SpeedUpProtocol.onMismatch(w, data={}, config={}) is None


class TestFailures:
    def test_failing_hook_stops_expiry(self, sup, loop):
        r = sup(powered=1)
        r.worker.fail_timeout = RuntimeError("hook")
        r.send(1)
        run_until(loop, lambda: r.errors)
        assert isinstance(r.errors[0], RuntimeError)
        assert r.worker.seen + statuses(r) == [200, "onTimeout"] and pending(loop) == []

    def test_lock_failure_sends_nothing(self, sup, loop):
        r = sup(powered=1)
        r.send(1)
        r.lock.fail_enter = OSError("lock")
        with pytest.raises(OSError):
            r.worker.handle_timeout()
        assert statuses(r) == [] and r.worker.seen == []

    def test_missing_stream_socket(self, sup, loop):
        r = sup(stream=False)
        r.worker.rx = None
        r.send(1)
        with pytest.raises(ValueError, match="^streamSock is not set$"):
            r.worker.handle_timeout()
