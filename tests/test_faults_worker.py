"""Worker under a faulty host: locks that fail on the way out, a closed socket,
a closed or missing event loop, configuration rewritten between messages, and
host code that calls back into the worker. After each fault the state rules
hold: what was done before the failure stays, what failed is tried again."""
import asyncio
import ctypes
import gc
import weakref

import pytest
import zmq

from tests.conftest import RecordingLock
from tests.test_worker import ECHO, Worker, rig  # noqa: F401  (rig is a fixture)
from tests.test_worker import TIMESTAMP
from tests.wire import SIZES, SharedRecord, pack, unpack
from vantor.cluster.workers import lanecore


class ExitFails(RecordingLock):
    """Leaves the lock, then raises (the lock is released, the host still complains)."""

    def __exit__(self, et, ev, tb):
        super().__exit__(et, ev, tb)
        raise OSError("exit")


def rebind(r, lock=None, backendlock=None, stream=True, update=True):
    r.worker.__init__(3, (r.cfg.address, lock or r.lock), (r.backend.address, backendlock or r.backendlock),
                      r.stream_tx if stream else None, r.update_tx if update else None, 5.0)


class TestLocksOnTheWayOut:
    def test_config_exit_failure_after_a_finished_body(self, rig):
        r = rig()
        for s in (1, 2, 3):
            r.send(s, counts=1)
        rebind(r, lock=ExitFails(r.log, "cfg"))
        timer = r.worker.timer
        with pytest.raises(OSError, match="exit"):
            r.send(10, prescale=99)  # closes the window and sends an update, then leaving fails
        assert len(r.streams()) == 1 and len(r.updates()) == 1  # the body's work stands
        assert r.worker.timer is timer and not timer.cancelled()  # but the timer is not re-armed
        rebind(r)
        r.send(10, prescale=99)  # integrated already: a repeat, dropped
        assert r.streams() == [] and r.updates() == []

    def test_backend_exit_failure_stops_before_the_config_lock(self, rig):
        r = rig()
        rebind(r, backendlock=ExitFails(r.log, "backend"))
        with pytest.raises(OSError, match="exit"):
            r.send(1, prescale=99)
        assert r.log == [("enter", "backend"), ("exit", "backend", None)] and r.updates() == []
        rebind(r)
        r.send(1, prescale=99)  # nothing was processed: the same message is new
        assert len(r.updates()) == 1

    def test_backend_enter_failure(self, rig):
        r = rig()
        r.backendlock.fail_enter = PermissionError
        with pytest.raises(PermissionError):
            r.send(1, prescale=99)
        assert r.log == [] and r.updates() == []

    def test_swallowed_send_failure_keeps_retry(self, rig):
        r = rig()
        r.lock.swallow = True
        r.update_tx.fail = OSError("send")
        r.send(1, prescale=99)  # the failure is swallowed by the lock: no error, no update
        assert r.updates() == [] and r.worker.mismatches == []
        r.send(2, prescale=99)  # RETRY did not move: the next disagreement sends at once
        assert len(r.updates()) == 1


class TestClosedSocket:
    def test_closed_stream_socket_keeps_the_window(self, rig):
        r = rig()
        for s in (1, 2, 3):
            r.send(s, counts=2)
        r.stream_tx.close(linger=0)
        for _ in range(2):  # the window stays unpublished and the message is tried in full again
            with pytest.raises(zmq.ZMQError):
                r.send(10, counts=5)
        assert not r.lock.held

    def test_closed_update_socket_retries_every_message(self, rig):
        r = rig()
        r.update_tx.close(linger=0)
        for s in (1, 2, 3):
            with pytest.raises(zmq.ZMQError):
                r.send(s, prescale=99)
        assert r.worker.mismatches == []

    def test_closed_socket_at_expiry(self, rig):
        r = rig()
        r.send(1)
        timer = r.worker.timer
        r.stream_tx.close(linger=0)
        with pytest.raises(zmq.ZMQError):
            r.worker.handle_timeout()
        assert r.worker.timer is timer and not timer.cancelled()


class TestEventLoop:
    def test_closed_loop_fails_after_the_message_was_processed(self, rig, loop):
        r = rig()
        r.send(1, counts=3)
        loop.close()
        with pytest.raises(RuntimeError, match="closed"):
            r.send(10, prescale=99)
        assert len(r.streams()) == 1 and len(r.updates()) == 1  # processing came first
        fresh = asyncio.new_event_loop()
        asyncio.set_event_loop(fresh)
        try:
            r.send(11)  # a repeat it is not: sequence 10 was accepted
            assert len([h for h in fresh._scheduled if not h.cancelled()]) == 1
            assert r.streams() == []
        finally:
            fresh.close()

    def test_no_current_loop(self, rig, loop):
        r = rig()
        asyncio.set_event_loop(None)
        with pytest.raises(RuntimeError, match="event loop"):
            r.send(1)
        with pytest.raises(RuntimeError, match="event loop"):
            Worker(1, (r.cfg.address, r.lock), (r.backend.address, r.backendlock), None, None, 1.0)
        asyncio.set_event_loop(loop)

    def test_failing_timer_cancel(self, rig):
        r = rig()

        class Handle:
            def cancel(self):
                raise ValueError("cancel")

        r.worker.timer.cancel()
        r.worker.timer = Handle()
        with pytest.raises(ValueError, match="cancel"):
            r.send(1, counts=2)
        with pytest.raises(ValueError, match="cancel"):
            r.worker.reset_timer(1.0)
        assert type(r.worker.timer) is Handle  # nothing new scheduled over the host's handle


class TestConfigurationRewritten:
    def test_resistors_rewritten_between_messages(self, rig):
        r = rig()
        r.send(1)
        assert r.updates() == []
        r.cfg.write(resistorCryo=20.0)  # toVoltage 30 -> 40: the same echo now disagrees
        r.send(2)
        ((_, _, body),) = r.updates()
        assert unpack("cu_update_message", body)["biasV"] == 20.0

    def test_unusable_resistors_then_repaired(self, rig):
        r = rig()
        r.send(1, counts=1)
        r.cfg.write(resistorCryo=-1.0, resistorParallel=2.0, resistorSeries=2.0, resistorBias=0.0)
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            r.send(2, counts=100)
        r.cfg.write(resistorCryo=10.0, resistorParallel=0.0, resistorSeries=5.0, resistorBias=20.0)
        r.send(2, counts=1)  # sequence 2 was never accepted
        r.send(10)
        assert r.streams()[0]["counts"] == 2 * 5  # two messages of the window, scaled by 10 / 2

    def test_end_of_sweep_requested_mid_sweep(self, rig):
        r = rig(config=dict(cuStatus=2))
        for s in (1, 2):  # the first is compared (and agrees), the second is inside the sweep
            r.send(s, cuStatus=2)
        r.cfg.write(cuStatus=3)
        r.send(3, cuStatus=2)
        ((_, _, body),) = r.updates()
        assert unpack("cu_update_message", body)["cuStatus"] == 3
        r.send(4, cuStatus=0)  # the unit ends the sweep: the configuration is set back
        assert r.cfg["cuStatus"] == 0
        assert [x["cuStatus"] for x in r.streams()] == [2]

    def test_nan_settings_never_verify(self, rig):
        r = rig(config=dict(triggerV=float("nan")))
        for s in range(1, 22):
            r.send(s, triggerV=float("nan"))
        assert len(r.updates()) == 3  # first, eleventh, twenty-first

    def test_window_length_rewritten_inside_a_window(self, rig):
        r = rig(buffSize=10)
        r.send(1, counts=1)
        r.backend.write(buffSize=0)
        with pytest.raises(ZeroDivisionError):
            r.send(2, counts=1)
        r.backend.write(buffSize=4)
        r.send(2, counts=1)
        r.send(4, counts=1)  # the window that opened at 0 now ends at 4
        (rec,) = r.streams()
        assert (rec["intSize"], rec["counts"]) == (4, 2 * 2)


class TestHostCallsBack:
    def test_hook_feeding_the_next_message(self, rig):
        class Eager(Worker):
            def onMismatch(self, data, config):
                super().onMismatch(data, config)
                if data["sequence"] == 1:
                    self.msg_received([self.next])  # a host bug: re-entry inside the lock

        r = rig(cls=Eager)
        r.worker.next = pack("cu_message", **{**ECHO, "sequence": 2, "prescale": 99})
        with pytest.raises(AssertionError, match="entered twice"):
            r.send(1, prescale=99)
        assert len(r.updates()) == 1  # the outer update went out before the hook ran

    def test_worker_dropped_with_a_pending_timer(self, rig, loop):
        r = rig(timeout=0.01)
        r.send(1)
        ref = weakref.ref(r.worker)
        timer = r.worker.timer
        r.worker = None
        gc.collect()
        assert ref() is not None  # the pending call holds the worker
        timer.cancel()
        del timer
        gc.collect()
        assert ref() is None


class FailingSends(zmq.Socket):
    """A real socket whose sends fail at the given call numbers (0-based)."""
    fail_on = frozenset()
    calls = 0

    def send(self, data, flags=0, **kw):
        n, self.calls = self.calls, self.calls + 1
        if n in self.fail_on:
            raise zmq.Again("resource temporarily unavailable")
        return super().send(data, flags, **kw)


def mismatch(r, sequence):
    r.send(sequence, triggerV=0.75)


class TestUpdateMessageNeverLeftOpen:
    @pytest.mark.parametrize("frame", [0, 1, 2])
    def test_failure_at_each_frame(self, rig, frame):
        r = rig(update_class=FailingSends)
        r.update_tx.fail_on = {frame}
        with pytest.raises(zmq.Again):
            mismatch(r, 1)
        stranded = r.updates()
        # A started message is ended at once, and not as a valid update.
        assert stranded == ([] if frame == 0 else [[b"cu_udp_broker", b"cu_update"][:frame] + [b""]])
        mismatch(r, 2)  # RETRY did not move: the next disagreement sends again
        (update,) = r.updates()
        assert update[:2] == [b"cu_udp_broker", b"cu_update"] and len(update) == 3 and len(update[2]) == 48

    def test_ending_fails_too(self, rig):
        r = rig(update_class=FailingSends)
        r.update_tx.fail_on = {1, 2, 3}  # frame 1, the closing frame, and the closing retry
        with pytest.raises(zmq.Again):
            mismatch(r, 1)
        assert r.updates() == []  # the first frame waits inside the open message
        with pytest.raises(zmq.Again):
            mismatch(r, 2)  # the message is still open: nothing new may start
        mismatch(r, 3)
        stranded, update = r.updates()
        assert stranded == [b"cu_udp_broker", b""]
        assert update[:2] == [b"cu_udp_broker", b"cu_update"] and len(update[2]) == 48


class UnalignedRecord(SharedRecord):
    """A shared record at an odd address, as a host mapping may place it."""

    def __init__(self, record, **fields):
        self.record = record
        self.buf = ctypes.create_string_buffer(SIZES[record] + 1)
        self.write(**fields)

    @property
    def address(self):
        return ctypes.addressof(self.buf) + 1

    def read(self):
        return unpack(self.record, self.buf.raw[1:])

    def write(self, **fields):
        current = self.read() if any(self.buf.raw) else {}
        current.update(fields)
        data = pack(self.record, **current)
        ctypes.memmove(self.address, data, len(data))


def test_records_at_unaligned_addresses(rig):
    r = rig(record_class=UnalignedRecord, config=dict(cuStatus=3))
    for s in (5, 6, 7):
        r.send(s, counts=2)
    assert r.cfg["cuStatus"] == 0  # the status byte was written through the odd address
    r.send(12)
    (rec,) = r.streams()
    assert (rec["mcuId"], rec["cuId"], rec["counts"], rec["timestamp"]) == (4, 7, 18, 0.1 + TIMESTAMP)


def tp_clear(obj):
    """Runs the class's tp_clear on obj, as the collector does on a cycle."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(lanecore.SpeedUpProtocol, 51))
    assert clear(obj) == 0


def test_cleared_worker_fails_with_errors(rig):
    r = rig()
    r.send(5)
    tp_clear(r.worker)
    assert r.worker.timer is None
    with pytest.raises(AttributeError):  # None has no __enter__
        r.send(6)
    with pytest.raises(AttributeError):
        r.worker.handle_timeout()
