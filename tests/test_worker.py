"""Worker message intake, verification and updates, integration windows and IV
sweeps, driven through msg_received with real inproc sockets and ctypes records."""
import gc
import sys
import weakref

import pytest
import zmq

from tests.conftest import RecordingLock, recv_all
from tests.wire import SharedRecord, f32, pack, unpack
from vantor.cluster.workers import lanecore

# rp = 0: toVoltage = rc + rb = 30, so every expected voltage below is exact.
CONFIG = dict(mcuId=4, cuId=7, prescale=2, pgaGain=3, triggerV=0.5, biasI=0.5, latchV=0.25,
              latchFLow=1.5, latchFHigh=2.5, unlatchT=9, biasIStart=0.25, biasIStop=1.0,
              biasIStep=0.125, biasSweepT=100, resistorCryo=10, resistorSeries=5, resistorBias=20)
ECHO = dict(prescale=2, pgaGain=3, triggerV=0.5, biasV=15.0, latchV=0.25, latchFLow=1.5,
            latchFHigh=2.5, unlatchT=9, biasVStart=7.5, biasVStop=30.0, biasVStep=3.75, biasSweepT=100)
TIMESTAMP = 1000.0


class Worker(lanecore.SpeedUpProtocol):
    """Host subclass recording the mismatch hook; `fail_mismatch` makes it raise once."""
    fail_mismatch = None

    def onMismatch(self, data, config):
        self.mismatches.append((data, config))
        if self.fail_mismatch is not None:
            exc, self.fail_mismatch = self.fail_mismatch, None
            raise exc


class FlakySocket(zmq.Socket):
    """A real socket whose next send can be made to fail."""
    fail = None

    def send(self, data, flags=0, **kw):
        if self.fail is not None:
            exc, self.fail = self.fail, None
            raise exc
        return super().send(data, flags, **kw)


class Rig:
    """One worker with its shared records, recording locks and socket pairs."""

    def __init__(self, ctx, config=None, buffSize=10, stream=True, update=True, cls=Worker, timeout=5.0,
                 update_class=None, record_class=SharedRecord):
        self.log = []
        self.cfg = record_class("cu_config", **{**CONFIG, **(config or {})})
        self.backend = record_class("C_Backend", buffSize=buffSize, TIMESTAMP=TIMESTAMP)
        self.lock = RecordingLock(self.log, "cfg")
        self.backendlock = RecordingLock(self.log, "backend")
        self.socks = []
        stream_tx, self.stream = self._pair(ctx) if stream else (None, None)
        update_tx, self.update = self._pair(ctx, update_class) if update else (None, None)
        self.stream_tx, self.update_tx = stream_tx, update_tx
        self.worker = cls(3, (self.cfg.address, self.lock), (self.backend.address, self.backendlock),
                          stream_tx, update_tx, timeout)
        self.worker.mismatches = []

    def _pair(self, ctx, socket_class=None):
        url = f"inproc://worker-{id(self)}-{len(self.socks)}"
        rx = ctx.socket(zmq.PAIR)
        rx.bind(url)
        tx = ctx.socket(zmq.PAIR, socket_class=socket_class or FlakySocket)
        tx.connect(url)
        self.socks += [tx, rx]
        return tx, rx

    def send(self, sequence, **fields):
        self.worker.msg_received([pack("cu_message", **{**ECHO, "sequence": sequence, **fields})])

    def streams(self):
        out = []
        for frames in recv_all(self.stream):
            assert len(frames) == 1 and len(frames[0]) == 32
            out.append(unpack("stream_data", frames[0]))
        return out

    def updates(self):
        return recv_all(self.update)


@pytest.fixture
def rig(loop):
    ctx = zmq.Context()
    made = []

    def make(**kw):
        made.append(Rig(ctx, **kw))
        return made[-1]

    yield make
    for r in made:
        for s in r.socks:
            s.close(linger=0)
    ctx.term()


MESSAGE = pack("cu_message", sequence=1)


class TestIntakeRejects:
    @pytest.mark.parametrize("msg, error, match", [
        ((MESSAGE,), TypeError, r"^Argument 'msg' has incorrect type \(expected list, got tuple\)$"),
        (type("L", (list,), {})([MESSAGE]), TypeError, r"expected list, got L"),
        (None, TypeError, r"^'NoneType' object is not subscriptable$"),
        ([], IndexError, r"^list index out of range$"),
        ([MESSAGE.decode("latin-1")], TypeError, r"^expected bytes, str found$"),
        ([memoryview(MESSAGE)], TypeError, r"^expected bytes, memoryview found$"),
        ([MESSAGE[:59]], ValueError, r"cu_message.*60.*59"),
        ([b""], ValueError, r"60.*0"),
    ])
    def test_rejected_before_any_state_change(self, rig, msg, error, match):
        r = rig()
        timer = r.worker.timer
        with pytest.raises(error, match=match):
            r.worker.msg_received(msg)
        assert r.log == [] and r.worker.timer is timer and not timer.cancelled()

    def test_by_keyword(self, rig):
        r = rig()
        r.worker.msg_received(msg=[MESSAGE])
        assert len(r.log) == 4


class TestIntake:
    @pytest.mark.parametrize("frame", [
        bytearray(pack("cu_message", sequence=5, counts=2, **ECHO)),
        type("B", (bytes,), {})(pack("cu_message", sequence=5, counts=2, **ECHO)),
        pack("cu_message", sequence=5, counts=2, **ECHO) + b"\xff" * 40,
    ], ids=["bytearray", "bytes-subclass", "surplus-bytes"])
    def test_frame_forms(self, rig, frame):
        r = rig()
        r.worker.msg_received([frame, b"ignored", 12345])
        r.send(10)
        (rec,) = r.streams()
        assert rec["counts"] == 2 * 10  # one message of 2 counts, scaled by 10/1

    def test_lock_order_and_rearm(self, rig):
        r = rig()
        first = r.worker.timer
        r.send(1)
        assert r.log == [("enter", "backend"), ("exit", "backend", None), ("enter", "cfg"), ("exit", "cfg", None)]
        assert first.cancelled() and not r.worker.timer.cancelled()

    def test_backend_copied_per_message(self, rig):
        r = rig()
        r.send(5)
        r.backend.write(TIMESTAMP=2000.0, buffSize=4)
        r.send(9)  # the window opened at 0 now ends at 4
        (rec,) = r.streams()
        assert rec["timestamp"] == 4 * 0.01 + 2000.0 and rec["intSize"] == 4

    def test_duplicate_dropped_but_rearms(self, rig):
        r = rig()
        timer = r.worker.timer
        r.send(0, prescale=99)  # PREVSEQ starts at 0
        assert r.updates() == [] and timer.cancelled()
        r.send(1, prescale=99)
        r.send(1, prescale=99)
        assert len(r.updates()) == 1 and len(r.worker.mismatches) == 1

    def test_duplicate_still_refreshes_conversion_pair(self, rig):
        r = rig(config=dict(resistorCryo=-1, resistorParallel=2, resistorSeries=2, resistorBias=0))
        timer = r.worker.timer
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            r.send(0)
        assert r.log[-1] == ("exit", "cfg", ZeroDivisionError) and not timer.cancelled()

    @pytest.mark.parametrize("which", ["cfg", "backend"])
    def test_null_address(self, loop, which):
        cfg, be = SharedRecord("cu_config"), SharedRecord("C_Backend", buffSize=10)
        lock = RecordingLock()
        w = Worker(1, (0 if which == "cfg" else cfg.address, lock),
                   (0 if which == "backend" else be.address, lock), None, None, 5.0)
        with pytest.raises(ValueError, match="address is null"):
            w.msg_received([MESSAGE])
        assert not lock.held


class TestLockProtocol:
    def fail_in_body(self, r):
        r.worker.fail_mismatch = KeyError("hook")
        r.send(1, prescale=99)

    def test_failure_reaches_exit_and_host(self, rig):
        r = rig()
        timer = r.worker.timer
        with pytest.raises(KeyError, match="hook"):
            self.fail_in_body(r)
        assert r.log[-1] == ("exit", "cfg", KeyError) and not r.lock.held
        assert r.worker.timer is timer and not timer.cancelled()  # not re-armed

    def test_true_exit_swallows_and_rearms(self, rig):
        r = rig()
        r.lock.swallow = True
        timer = r.worker.timer
        self.fail_in_body(r)
        assert timer.cancelled() and r.worker.timer is not timer

    def test_enter_failure_stops_before_processing(self, rig):
        r = rig()
        r.lock.fail_enter = RuntimeError("busy")
        with pytest.raises(RuntimeError, match="busy"):
            r.send(1, prescale=99)
        assert r.log == [("enter", "backend"), ("exit", "backend", None)] and r.updates() == []

    def test_exit_failure_chains_the_original(self, rig):
        class BadExit(RecordingLock):
            def __exit__(self, et, ev, tb):
                super().__exit__(et, ev, tb)
                raise OSError("exit")

        r = rig()
        r.worker.__init__(3, (r.cfg.address, BadExit(r.log)), (r.backend.address, r.backendlock),
                          r.stream_tx, r.update_tx, 5.0)
        with pytest.raises(OSError, match="exit") as info:
            self.fail_in_body(r)
        assert isinstance(info.value.__context__, KeyError)

    @pytest.mark.parametrize("lock, match", [
        (None, "^__enter__$"),
        (type("E", (), {"__enter__": lambda s: s})(), "^__exit__$"),
    ])
    def test_not_a_lock(self, rig, lock, match):
        r = rig()
        r.worker.__init__(3, (r.cfg.address, lock), (r.backend.address, r.backendlock), None, None, 5.0)
        with pytest.raises(AttributeError, match=match):
            r.send(1)


class TestVerification:
    def test_matching_stream_sends_nothing(self, rig):
        r = rig()
        for s in range(1, 30):
            r.send(s)
        assert r.updates() == [] and r.worker.mismatches == []

    def test_update_message(self, rig):
        r = rig(config=dict(cuStatus=0))
        r.send(1, prescale=99, mcuId=200)
        ((dest, kind, body),) = r.updates()
        assert (dest, kind, len(body)) == (b"cu_udp_broker", b"cu_update", 48)
        expected = {k: CONFIG[k] for k in ("mcuId", "cuId", "prescale", "pgaGain", "triggerV", "latchV",
                                           "latchFLow", "latchFHigh", "unlatchT", "biasSweepT")}
        expected.update(cuStatus=0, biasV=15.0, biasVStart=7.5, biasVStop=30.0, biasVStep=3.75)
        assert unpack("cu_update_message", body) == expected
        ((data, config),) = r.worker.mismatches
        assert data == unpack("cu_message", pack("cu_message", **{**ECHO, "sequence": 1, "prescale": 99,
                                                                  "mcuId": 200}))
        assert config == expected and list(config)[:3] == ["mcuId", "cuId", "cuStatus"]

    def test_inverted_update_flips_voltages(self, rig):
        r = rig(config=dict(inverted=1, biasI=f32(0.1)))
        r.send(1)
        update = unpack("cu_update_message", r.updates()[0][2])
        c = 30.0
        assert update["biasV"] == -f32(f32(0.1) * c)
        assert (update["biasVStart"], update["biasVStop"], update["biasVStep"]) == (-7.5, -30.0, -3.75)

    def test_echoing_the_update_verifies(self, rig):
        r = rig(config=dict(biasI=f32(0.1), biasIStep=f32(0.3), resistorParallel=f32(3.3)))
        r.send(1)
        update = unpack("cu_update_message", r.updates()[0][2])
        echo = {k: v for k, v in update.items() if k not in ("mcuId", "cuId")}
        r.send(2, **echo)
        r.send(3, prescale=99)  # agreement reset RETRY: the next disagreement sends at once
        assert len(r.updates()) == 1 and len(r.worker.mismatches) == 2

    def test_cadence_first_and_every_tenth(self, rig):
        r = rig()
        sent = []
        for s in range(1, 32):
            r.send(s, pgaGain=0)
            sent.append(len(r.updates()))
        assert [i + 1 for i, n in enumerate(sent) if n] == [1, 11, 21, 31]
        assert len(r.worker.mismatches) == 4

    def test_end_iv_outside_sweep_rewritten_first(self, rig):
        r = rig(config=dict(cuStatus=3))
        r.send(1, cuStatus=0)
        assert r.cfg["cuStatus"] == 0 and r.updates() == []

    def test_sweep_suppresses_comparison(self, rig):
        r = rig(config=dict(cuStatus=2))
        r.send(1, cuStatus=2)  # first sweep message is still compared, and matches
        for s in range(2, 15):
            r.send(s, cuStatus=2, prescale=99)
        r.cfg.write(cuStatus=3)
        r.send(15, cuStatus=2, prescale=99)  # RETRY was kept at 0: sends at once
        assert len(r.updates()) == 1

    def test_sweep_asked_to_end(self, rig):
        r = rig(config=dict(cuStatus=2))
        r.send(1, cuStatus=2)
        r.cfg.write(cuStatus=3)
        for s in range(2, 14):  # echo agrees, but the sweep must end
            r.send(s, cuStatus=2)
        updates = r.updates()
        assert len(updates) == 2 and {unpack("cu_update_message", u[2])["cuStatus"] for u in updates} == {3}

    def test_failed_send_keeps_retry(self, rig):
        r = rig(update=False, config=dict(cuStatus=3))
        for s in (1, 2):  # had RETRY moved, the second would only count
            with pytest.raises(ValueError, match="^updateSock is not set$"):
                r.send(s, prescale=99)
        assert r.cfg["cuStatus"] == 0  # rewritten before the failure, stays
        assert r.worker.mismatches == [] and not r.lock.held

    def test_failed_hook_keeps_retry_and_stops_message(self, rig):
        r = rig()
        r.worker.fail_mismatch = LookupError("hook")
        with pytest.raises(LookupError):
            r.send(5, prescale=99, counts=7)
        r.send(5, prescale=99, counts=7)  # not integrated, so not a duplicate; sends again
        r.send(10)
        assert len(r.updates()) == 2 and len(r.worker.mismatches) == 2
        assert r.streams()[0]["counts"] == 7 * 10


class TestIntegration:
    def test_worked_example(self, rig):
        r = rig(config=dict(inverted=1, biasI=-0.5, biasIStart=-0.25, biasIStop=-1.0, biasIStep=-0.125))
        for s, m in ((5, 1.0), (6, 2.0), (7, 3.0)):
            r.send(s, counts=2, monitorV=m, mcuId=99, cuId=98)
        assert r.streams() == []
        r.send(12, counts=2)
        assert r.streams() == [dict(mcuId=4, cuId=7, cuStatus=0, inverted=1, monitorV=2.0, biasI=0.0,
                                    counts=18, intSize=10, rank=3, timestamp=0.1 + TIMESTAMP)]
        r.send(19)
        assert r.streams() == []
        r.send(20)
        assert r.streams()[0]["timestamp"] == 0.2 + TIMESTAMP

    def test_backwards_sequence_discards_window(self, rig):
        r = rig()
        for s in (5, 6, 7, 12):
            r.send(s, counts=2)
        r.streams()
        r.send(3, counts=4)
        assert r.streams() == []
        r.send(10)
        (rec,) = r.streams()
        assert (rec["counts"], rec["timestamp"]) == (4 * 10, 0.1 + TIMESTAMP)

    def test_jump_publishes_only_the_open_window(self, rig):
        r = rig()
        r.send(12, counts=1)
        r.streams()
        r.send(57, counts=5)
        assert [x["timestamp"] for x in r.streams()] == [0.2 + TIMESTAMP]
        r.send(60)
        assert [(x["timestamp"], x["counts"]) for x in r.streams()] == [(0.6 + TIMESTAMP, 50)]

    def test_running_mean_is_binary32(self, rig):
        r = rig(buffSize=100)
        values = [1.0, 2.0, 0.1, 7.3, -2.2]
        for s, v in enumerate(values, 1):
            r.send(s, monitorV=v)
        r.send(100)
        mean = 0.0
        for n, v in enumerate(values, 1):
            mean = f32(f32(f32(f32(v) - mean) / n) + mean)
        assert r.streams()[0]["monitorV"] == mean and mean != f32(sum(values) / 5)

    def test_zero_buffsize_raises_after_verification(self, rig):
        r = rig(buffSize=0)
        with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$"):
            r.send(1, prescale=99)
        assert len(r.updates()) == 1
        r.backend.write(buffSize=10)
        r.send(1, counts=3)  # the failed message was not integrated
        r.send(10)
        assert r.streams()[0]["counts"] == 30

    def test_failed_send_leaves_window_open(self, rig):
        r = rig()
        for s in (5, 6, 7):
            r.send(s, counts=2)
        r.stream_tx.fail = OSError("send")
        with pytest.raises(OSError):
            r.send(12, counts=100)
        r.send(12, counts=1)  # PREVSEQ kept: not a duplicate; the window closes now
        (rec,) = r.streams()
        assert rec["counts"] == 18

    def test_missing_stream_socket(self, rig):
        r = rig(stream=False)
        r.send(5)
        with pytest.raises(ValueError, match="^streamSock is not set$"):
            r.send(12)

    def test_window_runs_on_across_the_counter_wrap(self, rig):
        # 1000 does not divide 2**32: the window opened at 4294967000 ends at
        # 4294968000, which the unit's 32-bit counter reaches as 704.
        r = rig(buffSize=1000)
        for s in (4294967000, 4294967100, 4294967295, 0, 100, 703):
            r.send(s, counts=2)
        assert r.streams() == []
        r.send(704, counts=2)
        (rec,) = r.streams()
        assert (rec["counts"], rec["intSize"]) == (12 * (1000 // 6), 1000)
        assert rec["timestamp"] == 7.04 + TIMESTAMP
        r.send(1000)
        assert [x["timestamp"] for x in r.streams()] == [10.0 + TIMESTAMP]


def sweep(r, points, start=1, **fields):
    for i, v in enumerate(points):
        r.send(start + i, cuStatus=2, biasV=v, **fields)


class TestSweep:
    def test_worked_example(self, rig):
        r = rig(config=dict(cuStatus=2))
        sweep(r, [0.1, 0.1], counts=3, monitorV=1.0)
        r.send(3, cuStatus=2, biasV=0.2, counts=4, biasSweepT=50, monitorV=2.0)
        r.send(4, cuStatus=0, biasSweepT=20)
        first, second = r.streams()
        assert first == dict(mcuId=4, cuId=7, cuStatus=2, inverted=0, monitorV=1.0,
                             biasI=f32(f32(0.1) / 30), counts=6 * (100 // 2), intSize=50, rank=3,
                             timestamp=3 * 0.01 + TIMESTAMP)
        assert (second["biasI"], second["counts"], second["intSize"]) == (f32(f32(0.2) / 30), 4 * 50, 20)
        assert second["timestamp"] == 4 * 0.01 + TIMESTAMP
        assert r.cfg["cuStatus"] == 0
        r.send(10)  # idle again: windows publish
        assert [x["cuStatus"] for x in r.streams()] == [0]

    def test_windows_silent_during_sweep_but_cleared(self, rig):
        r = rig(config=dict(cuStatus=2))
        sweep(r, [0.1] * 14, start=3, counts=5)  # crosses the window end at 10
        r.send(17, cuStatus=0, counts=1)
        assert [x["cuStatus"] for x in r.streams()] == [2]
        r.send(20)
        (rec,) = r.streams()
        assert rec["counts"] == 5 * 7 + 1  # messages 10..17 only, factor 10 // 8 = 1

    def test_negative_voltage_current(self, rig):
        r = rig(config=dict(cuStatus=2, resistorCryo=2, resistorSeries=0, resistorBias=0))
        sweep(r, [-1.0])
        r.send(2, cuStatus=0)
        assert r.streams()[0]["biasI"] == -0.5

    def test_point_counts_scaled_with_first_sweep_length(self, rig):
        r = rig(config=dict(cuStatus=2), buffSize=1000)
        sweep(r, [0.5] * 40, counts=3, biasSweepT=100)
        r.send(41, cuStatus=0, biasSweepT=7)
        (rec,) = r.streams()
        assert (rec["counts"], rec["intSize"]) == (240, 7)

    def test_nan_voltage_always_starts_a_point(self, rig):
        r = rig(config=dict(cuStatus=2))
        sweep(r, [float("nan")] * 3)
        assert len(r.streams()) == 2

    def test_zero_to_voltage_at_point_change(self, rig):
        r = rig(config=dict(cuStatus=2, resistorCryo=0, resistorBias=0))
        sweep(r, [0.1], counts=2)
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            r.send(2, cuStatus=2, biasV=0.2, counts=9)
        r.cfg.write(resistorCryo=10, resistorBias=20)
        r.send(3, cuStatus=2, biasV=0.2)  # the 0.1 point was kept whole: one message of 2 counts
        (rec,) = r.streams()
        assert (rec["counts"], rec["biasI"]) == (2 * 100, f32(f32(0.1) / 30))

    def test_zero_to_voltage_at_sweep_end(self, rig):
        r = rig(config=dict(cuStatus=2, resistorCryo=0, resistorBias=0))
        sweep(r, [0.1])
        with pytest.raises(ZeroDivisionError):
            r.send(2, cuStatus=0)
        assert r.cfg["cuStatus"] == 2  # not rewritten
        r.cfg.write(resistorCryo=10, resistorBias=20, cuStatus=0)
        r.send(3, cuStatus=0)
        r.send(10)  # sweep no longer followed: the window publishes, no point record
        assert [x["cuStatus"] for x in r.streams()] == [0]

    def test_failed_point_send(self, rig):
        r = rig(config=dict(cuStatus=2))
        sweep(r, [0.1, 0.1], counts=1)
        r.stream_tx.fail = OSError("send")
        with pytest.raises(OSError):
            r.send(3, cuStatus=2, biasV=0.2)
        r.send(4, cuStatus=2, biasV=0.2)
        (rec,) = r.streams()
        assert rec["counts"] == 2 * 50 and rec["timestamp"] == 4 * 0.01 + TIMESTAMP


class TestReferences:
    def test_no_leaks_across_paths(self, rig):
        r = rig(config=dict(cuStatus=2))
        frame = pack("cu_message", **{**ECHO, "sequence": 1})
        watched = [r.lock, r.backendlock, r.stream_tx, r.update_tx, frame]
        before = [sys.getrefcount(o) for o in watched]
        for s in range(2, 400):
            r.send(s, cuStatus=2 if s % 50 < 25 else 0, biasV=float(s // 7), prescale=s % 3)
            r.worker.msg_received([frame])
        r.worker.fail_mismatch = KeyError()
        with pytest.raises(KeyError):
            r.send(1000, prescale=99)
        recv_all(r.stream), recv_all(r.update)
        assert [sys.getrefcount(o) for o in watched] == before

    def test_worker_is_freed(self, rig):
        r = rig()
        r.send(1)
        r.worker.timer.cancel()
        ref = weakref.ref(r.worker)
        r.worker = None
        gc.collect()
        assert ref() is None
