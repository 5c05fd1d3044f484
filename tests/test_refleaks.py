"""Every operation of the four protocol classes and RecordData, on its success
and its error paths, repeated thousands of times: the reference counts of the
objects passed in, the number of gc-tracked objects and the memory traced by
tracemalloc must stay flat, so no path keeps or over-releases a reference."""
import asyncio
import gc
import os
import sys
import threading
import tracemalloc

import pytest
import zmq

from tests.conftest import RecordingLock
from tests.test_hub_helpers import Configuration, Hub, Unit, rec, settings
from tests.wire import SharedRecord, pack
from vantor.cluster import feedhub, ingestgate
from vantor.cluster.workers import boardwatch, lanecore

# Sanitizer runs (make test-asan) are several times slower; the counts stay
# well above what a one-object-per-call leak needs to show.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
ROUNDS = 600 if SANITIZED else 3000
WARM_UP = 50


class Boom(Exception):
    pass


def assert_flat(op, *watched, rounds=ROUNDS):
    """Runs `op` in two equal halves after a warm-up. Reference counts of the
    watched objects must not move at all; gc object counts and traced memory
    must not grow in the second half (the first absorbs one-time caches)."""
    watched = [o for o in watched if type(o) not in (int, bool, str, type(None))]  # shared, counts drift
    for _ in range(WARM_UP):
        op()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        measured = []
        for _ in range(2):
            for _ in range(rounds // 2):
                op()
            gc.collect()
            measured.append((len(gc.get_objects()), tracemalloc.get_traced_memory()[0]))
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    (objects1, memory1), (objects2, memory2) = measured
    assert objects2 - objects1 < 5
    # One leaked object per call would be at least 16 bytes a round.
    assert memory2 - memory1 < 4 * rounds, f"{memory2 - memory1} bytes more over {rounds // 2} rounds"


def raises(fn, *args, error=Exception):
    def op():
        with pytest.raises(error):
            fn(*args)
    return op


# ---------------------------------------------------------------- worker

class StubLoop(asyncio.AbstractEventLoop):
    """call_later without a real loop: a real loop that never runs keeps every
    cancelled handle, which would look like a leak here."""

    def __init__(self):
        self.pending = set()

    def call_later(self, delay, callback, *args):
        handle = StubHandle(self, callback)
        self.pending.add(handle)
        return handle


class StubHandle:
    def __init__(self, loop, callback):
        self.loop, self.callback = loop, callback

    def cancel(self):
        self.loop.pending.discard(self)
        self.callback = None


@pytest.fixture
def stub_loop():
    lp = StubLoop()
    asyncio.set_event_loop(lp)
    yield lp
    asyncio.set_event_loop(None)


class Worker(lanecore.SpeedUpProtocol):
    fail = None

    def onMismatch(self, data, config):
        if self.fail:
            raise Boom

    def onTimeout(self):
        if self.fail:
            raise Boom


class FlakySocket(zmq.Socket):
    fail = False

    def send(self, data, flags=0, **kw):
        if self.fail:
            raise Boom
        return super().send(data, flags, **kw)


CONFIG = dict(mcuId=4, cuId=7, prescale=2, pgaGain=3, biasI=0.5, resistorCryo=10, resistorBias=20, powered=1)
ECHO = dict(prescale=2, pgaGain=3, biasV=15.0)


class WorkerRig:
    def __init__(self, ctx, buffSize=2):
        self.cfg = SharedRecord("cu_config", **CONFIG)
        self.backend = SharedRecord("C_Backend", buffSize=buffSize, TIMESTAMP=100.0)
        self.lock, self.backendlock = threading.Lock(), threading.Lock()
        self.rx = ctx.socket(zmq.PAIR)
        self.rx.bind(f"inproc://refleak-{id(self)}")
        self.tx = ctx.socket(zmq.PAIR, socket_class=FlakySocket)
        self.tx.connect(f"inproc://refleak-{id(self)}")
        self.c_config = (self.cfg.address, self.lock)
        self.c_backend = (self.backend.address, self.backendlock)
        self.worker = Worker(3, self.c_config, self.c_backend, self.tx, self.tx, 60.0)
        self.seq = 0

    def drain(self):
        while self.rx.poll(0):
            self.rx.recv_multipart(zmq.NOBLOCK)

    def close(self):
        self.tx.close(linger=0)
        self.rx.close(linger=0)


@pytest.fixture
def wrig(stub_loop):
    ctx = zmq.Context()
    rigs = []

    def make(**kw):
        rigs.append(WorkerRig(ctx, **kw))
        return rigs[-1]

    yield make
    for r in rigs:
        r.close()
    ctx.term()


class TestWorker:
    def test_agreeing_and_disagreeing_messages(self, wrig, stub_loop):
        r = wrig()
        frames = [pack("cu_message", sequence=0, **ECHO), pack("cu_message", sequence=0)]

        def op():
            r.seq += 1
            for frame in frames:  # a window closes every other message; half the echoes disagree
                msg = [frame[:8] + r.seq.to_bytes(4, "little") + frame[12:]]
                r.worker.msg_received(msg)
            r.drain()
        assert_flat(op, r.worker, r.tx, r.lock, r.backendlock, *frames)
        assert len(stub_loop.pending) == 1

    def test_repeated_sequence_and_sweeps(self, wrig):
        r = wrig()
        iv = [pack("cu_message", sequence=s, cuStatus=2, biasV=float(s // 3), **{"biasSweepT": 3})
              for s in range(1, 10)]
        end = pack("cu_message", sequence=10)

        def op():
            for frame in iv:
                r.worker.msg_received([frame])
                r.worker.msg_received([frame])  # repeated: dropped
            r.worker.msg_received([end])
            r.worker.msg_received([pack("cu_message", sequence=0)])
            r.drain()
        # at least 600 rounds: under the sanitizers 200 let one-time growth of
        # about 850 bytes pass for a leak (one leaked object a round is 16 bytes)
        assert_flat(op, r.worker, end, *iv, rounds=max(ROUNDS // 10, 600))

    @pytest.mark.parametrize("msg", [None, (), [], [b"short"], [bytearray(10)], ["x" * 60],
                                     type("L", (list,), {})([b"\0" * 60])])
    def test_refused_messages(self, wrig, msg):
        r = wrig()
        assert_flat(raises(r.worker.msg_received, msg), r.worker, msg)

    def test_failures_inside_the_message(self, wrig):
        r = wrig()
        frame = [pack("cu_message", sequence=5)]  # disagrees: an update is due

        def op():
            r.worker.fail, r.tx.fail = True, False
            with pytest.raises(Boom):
                r.worker.msg_received(frame)  # onMismatch raises
            r.worker.fail, r.tx.fail = False, True
            with pytest.raises(Boom):
                r.worker.msg_received(frame)  # the update send raises
            r.tx.fail = False
            r.drain()
        assert_flat(op, r.worker, r.tx, frame, frame[0])

    def test_zero_window_and_zero_conversion(self, wrig):
        r = wrig(buffSize=0)
        frame = [pack("cu_message", sequence=1, **ECHO)]
        assert_flat(raises(r.worker.msg_received, frame, error=ZeroDivisionError), r.worker, frame)
        r.cfg.write(resistorCryo=0.0, resistorBias=0.0, resistorSeries=0.0, resistorParallel=1.0)
        assert_flat(raises(r.worker.msg_received, frame, error=ZeroDivisionError), r.worker, frame)

    @pytest.mark.parametrize("fail_enter", [True, False])
    def test_locks_that_fail_or_swallow(self, wrig, fail_enter):
        r = wrig()
        lock = RecordingLock(fail_enter=Boom if fail_enter else None, swallow=not fail_enter)  # a class: a fresh exception each time
        w = Worker(3, (r.cfg.address, lock), r.c_backend, r.tx, r.tx, 60.0)
        frame = [pack("cu_message", sequence=1)]

        def op():
            lock.log.clear()
            if fail_enter:
                with pytest.raises(Boom):
                    w.msg_received(frame)
            else:
                w.fail = True  # onMismatch raises inside the lock; __exit__ swallows it
                w.msg_received(frame)
            r.drain()
        assert_flat(op, w, lock, frame)

    def test_timer_operations(self, wrig):
        r = wrig()

        def op():
            r.worker.reset_timer(1.5)
            r.worker.reset_timer()
            r.worker.handle_timeout()  # powered: two status records and onTimeout
            r.worker.fail = True
            with pytest.raises(Boom):
                r.worker.handle_timeout()
            r.worker.fail = False
            with pytest.raises(TypeError):
                r.worker.reset_timer("soon")
            with pytest.raises(NotImplementedError):
                del r.worker.timer
            r.drain()
        r.worker.msg_received([pack("cu_message", sequence=1, **ECHO)])  # binds the configuration
        assert_flat(op, r.worker, r.tx)

    @pytest.mark.parametrize("args", [
        (-1, None, None, None, None, 1.0),
        (1, (0,), (0, None), None, None, 1.0),
        (1, (0, None, 2), (0, None), None, None, 1.0),
        (1, (0, None), (-1, None), None, None, 1.0),
        (1, (0, None), (0, None), object(), None, 1.0),
        (1, (0, None), (0, None), None, None, "1"),
        (1, (0, None), (0, None), None, None),
    ])
    def test_refused_construction(self, stub_loop, args):
        assert_flat(raises(Worker, *args), *[a for a in args if a is not None])

    def test_construction_and_release(self, wrig):
        r = wrig()
        assert_flat(lambda: Worker(1, r.c_config, r.c_backend, r.tx, None, 5.0).timer.cancel(),
                    r.c_config, r.c_backend, r.lock, r.tx)


# ---------------------------------------------------------------- broker

class Broker(ingestgate.SpeedUpProtocol):
    fail = None

    def log_firmware_version(self, msg):
        pass

    def on_sync_success(self, chunk):
        if self.fail == "success":
            raise Boom

    def on_finally(self, channelID, data):
        if self.fail == "finally":
            raise Boom

    def on_missing(self, mcuId, cuId):
        if self.fail == "missing":
            raise Boom

    def on_sync_failed(self):
        if self.fail == "failed":
            raise Boom


def cu(mcu, unit, seq):
    return pack("cu_message", mcuId=mcu, cuId=unit, sequence=seq)


@pytest.fixture
def broker():
    backend = SharedRecord("C_Backend", buffSize=10)
    lock = threading.Lock()
    b = Broker(0, 2, 1, (backend.address, lock), {}, {(1, 1), (1, 2)}, True)
    b.keep = backend
    return b, lock


class TestBroker:
    def test_records_through_every_hook(self, broker):
        b, lock = broker
        addr = ("127.0.0.1", 5000)
        seq = [0]

        def op():
            seq[0] += 1
            s = seq[0]
            # known and unknown units, cycles that differ (sync lost and regained), a short tail
            b.msg_received(cu(1, 1, s) + cu(9, 9, s), addr)
            b.msg_received(cu(1, 2, s) + cu(1, 1, s + 1), addr)
            with pytest.raises(ValueError):
                b.msg_received(cu(1, 1, s + 1), addr)
                b.msg_received(cu(1, 2, s + 2) + b"tail", addr)
        assert_flat(op, b, lock, addr, b.device_addresses)

    @pytest.mark.parametrize("hook", ["success", "finally", "missing", "failed"])
    def test_hooks_that_raise(self, broker, hook):
        b, lock = broker
        b.fail = hook
        seq = [0]

        def op():
            seq[0] += 2
            for msg in (cu(1, 1, seq[0]) + cu(9, 9, seq[0]), cu(1, 1, seq[0] + 1)):
                try:
                    b.msg_received(msg, None)
                except Boom:
                    pass
        assert_flat(op, b, lock)

    @pytest.mark.parametrize("msg, addr", [(None, None), ("x", None), (bytearray(60), None), (b"", ["a"])])
    def test_refused_datagrams(self, broker, msg, addr):
        b, _ = broker
        assert_flat(raises(b.msg_received, msg, addr, error=TypeError), b, msg, addr)

    def test_queued_datagrams_released_with_the_broker(self):
        backend = SharedRecord("C_Backend")
        lock = threading.Lock()
        msgs = [cu(1, 1, s) for s in range(3)]
        cuids = {(1, 1)}

        def op():
            b = Broker(1, 1, 2, (backend.address, lock), {}, cuids, False)
            for m in msgs:  # capacity 4: all stay queued
                b.msg_received(m, None)
            b.__init__(1, 1, 2, (backend.address, lock), {}, cuids, False)  # re-init drops the queue
            b.msg_received(msgs[0], None)
        assert_flat(op, lock, cuids, *msgs)

    @pytest.mark.parametrize("changes", [
        dict(MAXFAILS=-1), dict(total_mcus=0), dict(device_addresses=[]), dict(CUIDS=frozenset()),
        dict(c_backend=(1,)), dict(c_backend=(1, 2, 3)), dict(c_backend=(-1, None)), dict(logmsg=Boom),
    ])
    def test_refused_construction(self, changes):
        args = dict(MAXFAILS=1, total_devices=1, total_mcus=1, c_backend=(0, None), device_addresses={},
                    CUIDS=set(), logmsg=False, **{})
        args.update(changes)
        if changes.get("logmsg") is Boom:
            args["logmsg"] = type("Untrue", (), {"__bool__": lambda self: 1 / 0})()
        assert_flat(raises(lambda: Broker(**args)), *args.values())

    def test_property_and_default_hooks(self):
        b = ingestgate.SpeedUpProtocol.__new__(Broker)
        chunk, data = b"c" * 60, {"k": 1}

        def op():
            b.inited = chunk
            with pytest.raises(NotImplementedError):
                del b.inited
            ingestgate.SpeedUpProtocol.on_sync_success(b, chunk)
            ingestgate.SpeedUpProtocol.on_finally(b, chunk, data)
            ingestgate.SpeedUpProtocol.log_msg(b, chunk)
            with pytest.raises(TypeError):
                ingestgate.SpeedUpProtocol.on_finally(b, chunk, [])
            with pytest.raises(OverflowError):
                ingestgate.SpeedUpProtocol.on_missing(b, 2**40, 1)
        assert_flat(op, b, chunk, data)


# ---------------------------------------------------------------- hub

class WrongHub(Hub):
    """Overrides of the virtual operations that return the wrong types."""

    def get_min_max(self):
        return (1.0, 2.0)

    def gen_iv_data(self):
        return []


class TestHub:
    def test_batches_sweeps_and_silence(self):
        hub = Hub(settings(1, 2))
        records = [rec(1, 1.0, counts=1), rec(2, 1.0), rec(1, 2.0, status=2, biasI=1e-6),
                   rec(1, 2.0, status=2, biasI=2e-6), rec(1, 3.0), rec(2, 3.0, status=100)]

        def op():
            for r in records:
                hub.msg_received([r])
            hub.calls.clear()
        assert_flat(op, hub, *records)

    def test_queries(self):
        hub = Hub(settings(1, 2))
        for r in (rec(1, 1.0, status=2, biasI=1e-6), rec(1, 2.0, status=2, biasI=3e-6), rec(1, 3.0)):
            hub.msg_received([r])
        start, stop = 0.0, 5e-6

        def op():
            hub.get_iv(start, stop, 501)
            hub.get_iv(start, stop, -1)
            hub.gen_iv_data()
            hub.get_iv_data()
            hub.get_min_max()
            hub.get_biasSweepTs()
            hub.create_look_up(settings())
        assert_flat(op, hub, start, stop)

    def test_recording(self):
        hub = Hub(settings(1, 2))
        channels = [1, 2]
        records = [rec(1, float(t), counts=t) for t in range(5)]

        def op():
            hub.startRecording(channels)
            for r in records:
                hub.msg_received([r])
            hub.startRecording(channels)  # restarts: harvests first
            hub.stopRecording()
            hub.getRecordData()
            hub.calls.clear()
        assert_flat(op, hub, channels, *records)

    @pytest.mark.parametrize("call", [
        lambda h: h.msg_received(None), lambda h: h.msg_received([]), lambda h: h.msg_received([b"x"]),
        lambda h: h.msg_received([bytearray(32)]), lambda h: h.msg_received([rec(rank=3)]),
        lambda h: h.msg_received((rec(),)), lambda h: h.startRecording(None), lambda h: h.startRecording([9]),
        lambda h: h.startRecording(["1"]), lambda h: h.startRecording((1,)), lambda h: h.get_iv(0.0, 1.0, 2**40),
        lambda h: h.get_iv("a", 1.0, 1), lambda h: h.create_look_up(None),
    ])
    def test_refused_calls(self, call):
        hub = Hub(settings(1, 2))
        assert_flat(raises(call, hub), hub)

    def test_overrides_returning_wrong_types(self):
        hub2 = WrongHub.__new__(WrongHub)  # the constructor's own range comes from get_min_max too
        iv, end = rec(1, 1.0, status=2), rec(1, 2.0)
        hub2.calls = []

        def op():
            with pytest.raises(ValueError):
                hub2.__init__(settings(1))
            with pytest.raises(ValueError):
                hub2.msg_received([iv])  # get_min_max unpacking fails at the sweep start
        assert_flat(op, hub2, iv, end)

    def test_hooks_that_raise(self):
        class Failing(Hub):
            def streamData(self, data):
                raise Boom

            def streamIvData(self, data):
                raise Boom

        hub = Failing(settings(1))
        records = [rec(1, 1.0, status=2), rec(1, 2.0), rec(1, 3.0, status=200)]

        def op():
            for r in records:
                with pytest.raises(Boom):
                    hub.msg_received([r])
            hub.calls.clear()
        assert_flat(op, hub, *records)

    def test_construction_refused_and_released(self):
        units = settings(Unit(1, Configuration(start=float("nan"))), 2)
        ok = settings(1, 2, 3)

        def op():
            with pytest.raises(ValueError):
                Hub(units)
            Hub(ok)
        assert_flat(op, units, ok)

    def test_record_data(self):
        values = (1, 2, 0.5, 7, 12.5)

        def op():
            r = feedhub.RecordData(*values)
            r.mcuId, r.counts, r.timestamp = 3, 2**32 - 1, 1.0
            with pytest.raises(OverflowError):
                r.cuId = 256
            with pytest.raises(TypeError):
                r.monitorV = "v"
            with pytest.raises(NotImplementedError):
                del r.counts
        assert_flat(op, *values)


# ---------------------------------------------------------------- monitor

class Monitor(boardwatch.SpeedUpProtocol):
    fail = False

    def set_pll_lock(self, pll):
        pass

    def on_status_change(self, status):
        if self.fail:
            raise Boom


class TestMonitor:
    def test_reports_and_failures(self):
        m = Monitor()
        frames = [[pack("mcu_message", mcuStatus=s, temp1=1.5)] for s in (0, 1, 1, 2)]

        def op():
            for f in frames:
                m.msg_received(f)
            m.fail = True
            with pytest.raises(Boom):
                m.msg_received([pack("mcu_message", mcuStatus=9)])
            m.fail = False
        assert_flat(op, m, *frames)

    @pytest.mark.parametrize("msg", [None, [], (b"\0" * 12,), [b"short"], ["x" * 12]])
    def test_refused_messages(self, msg):
        m = Monitor()
        assert_flat(raises(m.msg_received, msg), m, msg)

    def test_default_hooks_and_construction(self):
        args = ("anything", 1.5)

        def op():
            m = boardwatch.SpeedUpProtocol(*args, key=args)
            m.on_temp(1.0, 2.0)
            m.on_status_change(args)
            with pytest.raises(TypeError):
                m.on_temp("a", 1.0)
            with pytest.raises(AttributeError):
                m.msg_received([b"\0" * 12])  # no set_pll_lock on the bare class
        assert_flat(op, *args)


class TestRoad:
    """The host's native router, deadlines and locks, on success and failure."""

    def test_router_delivers_watches_and_reports_without_leaking(self):
        from vantor.host.road import Router
        backend = SharedRecord("C_Backend", buffSize=10)
        errors = []

        class Target:
            fail = False

            def msg_received(self, frames):
                if self.fail:
                    raise Boom("worker")

        target, watched = Target(), []
        router = Router([(0, 0), (0, 1)], backend.address,
                        lambda m, c, exc: errors.append(1) or errors.clear(), None)
        router.route([target, 0])
        router.watch(0, 0, watched.append)
        chunks = [pack("cu_message", mcuId=0, cuId=c, sequence=s) for s in range(1, 40) for c in (0, 1)]
        state = {"k": 0}

        def op():
            chunk = chunks[state["k"] % len(chunks)]
            state["k"] += 1
            target.fail = state["k"] % 7 == 0
            router.on_sync_success(chunk)
            router.received_of(pack("stream_data", mcuId=0, cuId=0, intSize=10, timestamp=0.1))
            router.last_record(0, 1)
            router.pending()
            watched.clear()

        assert_flat(op, target, router, chunks[0])
        raises(router.on_sync_success, b"short", error=ValueError)
        router.watch(0, 0, None)

    def test_deadlines_and_locks_without_leaking(self):
        from vantor.host.road import Deadlines, ShmLock
        table = Deadlines(3)
        slot = table.slot(1)
        import ctypes
        memory = ctypes.create_string_buffer(128)   # room for one aligned 64-byte lock slot
        address = (ctypes.addressof(memory) + 63) // 64 * 64
        ShmLock.initialize(address)
        lock = ShmLock(address, "unit")

        def op():
            slot(0.0)
            table.due(1e12)
            with lock:
                pass

        assert_flat(op, table, slot, lock)
        raises(slot, -1.0, error=ValueError)
