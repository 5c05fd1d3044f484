"""Worker intake under random frames and random shared records.

Two workers are built alike and driven with the same operations, except that
inputs the worker must reject before changing anything (wrong message type,
no frame 0, a frame that is not bytes or shorter than a record) go to the
first one only. Every later output (stream and update frames, hook calls,
exceptions, the shared cuStatus byte) must then be the same for both: a
rejected input leaves the worker as if it had never come.
"""
import asyncio
import ctypes
import math

import zmq

from harness import Draw, HostError, exact, run
from tests.native import native_function
from tests.wire import SharedRecord, pack, unpack
from vantor.cluster.workers import lanecore
from vantor.functions import lanemath

F = ctypes.c_float
c2v = native_function(lanemath, "currentToVoltageMultiplier", F, F, F, F, F)


def f32(x):
    """Rounded to binary32 as the hardware does: overflow gives an infinity."""
    return ctypes.c_float(x).value

# What msg_received, handle_timeout and reset_timer may raise on this input.
OPERATION_ERRORS = (ValueError, ZeroDivisionError, HostError)
REJECTION_ERRORS = (TypeError, IndexError, ValueError)
FLOAT_FIELDS = ("triggerV", "biasI", "latchV", "latchFLow", "latchFHigh", "biasIStart", "biasIStop",
                "biasIStep", "resistorCryo", "resistorParallel", "resistorSeries", "resistorBias")
STATUSES = (0, 1, 2, 3, 10, 100, 200, 255)


class Faults:
    """Which host object fails next; shared by the two twins' identical plans."""

    def __init__(self):
        self.mismatch = self.timeout = self.enter = self.exit = self.send = False
        self.swallow = False


class Lock:
    def __init__(self, faults, log):
        self.faults, self.log = faults, log

    def __enter__(self):
        if self.faults.enter:
            self.faults.enter = False
            raise HostError("enter")
        self.log.append("enter")

    def __exit__(self, et, ev, tb):
        self.log.append(("exit", et))
        if self.faults.exit:
            self.faults.exit = False
            raise HostError("exit")
        return self.faults.swallow


class Socket(zmq.Socket):
    faults = None

    def send(self, data, flags=0, **kw):
        if self.faults is not None and self.faults.send:
            self.faults.send = False
            raise HostError("send")
        return super().send(data, flags, **kw)


class Worker(lanecore.SpeedUpProtocol):
    def onMismatch(self, data, config):
        assert type(data) is dict and len(data) == 19 and type(config) is dict and len(config) == 15
        self.log.append(("mismatch", data["sequence"], config["cuStatus"]))
        if self.faults.mismatch:
            self.faults.mismatch = False
            raise HostError("onMismatch")

    def onTimeout(self):
        self.log.append("onTimeout")
        if self.faults.timeout:
            self.faults.timeout = False
            raise HostError("onTimeout")


ctx = zmq.Context()
PAIRS = []
for n in range(4):
    rx = ctx.socket(zmq.PAIR)
    rx.bind(f"inproc://fuzz-worker-{n}")
    tx = ctx.socket(zmq.PAIR, socket_class=Socket)
    tx.connect(f"inproc://fuzz-worker-{n}")
    PAIRS.append((tx, rx))
state = {"loop": None, "runs": 0}


def fresh_loop():
    # Cancelled handles pile up in a loop that never runs; a new loop drops them.
    if state["runs"] % 512 == 0:
        if state["loop"] is not None:
            state["loop"].close()
        state["loop"] = asyncio.new_event_loop()
        asyncio.set_event_loop(state["loop"])
    state["runs"] += 1


def drain(sock):
    out = []
    while sock.poll(0):
        out.append(sock.recv_multipart(zmq.NOBLOCK))
    return out


class Twin:
    def __init__(self, index, rank, config, backend, timeout, sockets):
        self.faults = Faults()
        self.log = []
        self.cfg = SharedRecord("cu_config", **config)
        self.backend = SharedRecord("C_Backend", **backend)
        self.stream_tx, self.stream = PAIRS[2 * index]
        self.update_tx, self.update = PAIRS[2 * index + 1]
        for tx in (self.stream_tx, self.update_tx):
            tx.faults = self.faults
        self.lock = Lock(self.faults, self.log)
        self.backendlock = Lock(self.faults, self.log)
        stream = self.stream_tx if sockets & 1 else None
        update = self.update_tx if sockets & 2 else None
        self.worker = Worker.__new__(Worker)
        self.worker.log, self.worker.faults = self.log, self.faults
        self.worker.__init__(rank, (self.cfg.address, self.lock), (self.backend.address, self.backendlock),
                             stream, update, timeout)
        self.rank = rank

    def call(self, fn, *args):
        try:
            fn(*args)
            self.log.append("ok")
        except Exception as e:  # the type is checked by the caller
            self.log.append((type(e).__name__, str(e)))
            return e
        return None

    def outputs(self):
        streams, updates = drain(self.stream), drain(self.update)
        for frames in streams:
            assert len(frames) == 1 and len(frames[0]) == 32, frames
            assert unpack("stream_data", frames[0])["rank"] == self.rank
        for frames in updates:
            if frames[-1] == b"":  # an update that lost a part, ended so the peer drops it
                assert frames[:-1] in ([b"cu_udp_broker"], [b"cu_udp_broker", b"cu_update"]), frames
                continue
            assert len(frames) == 3 and frames[:2] == [b"cu_udp_broker", b"cu_update"], frames
            assert len(frames[2]) == 48
        out = (streams, updates, list(self.log), self.cfg.buf.raw)
        self.log.clear()
        return out

    def close(self):
        timer = self.worker.timer
        if timer is not None:
            timer.cancel()
        drain(self.stream), drain(self.update)


def draw_config(d):
    cfg = {name: d.u8() for name in ("mcuId", "cuId", "prescale", "pgaGain")}
    cfg["cuStatus"] = d.pick(STATUSES)
    cfg["powered"] = d.pick((0, 1, 2))
    cfg["inverted"] = d.pick((0, 1, 2))
    for name in FLOAT_FIELDS:
        cfg[name] = d.f32() if d.bool() else float(d.int(0, 8))
    cfg["unlatchT"] = d.u32() if d.chance(4) else d.int(0, 3)
    cfg["biasSweepT"] = d.pick((0, 1, 10, 100)) if d.bool() else d.u32()
    return cfg


def echo_of(cfg):
    """The echo a unit would send when it agrees with `cfg`."""
    c = c2v(cfg["resistorCryo"], cfg["resistorParallel"], cfg["resistorSeries"], cfg["resistorBias"])
    inv = -1.0 if cfg["inverted"] == 1 else 1.0
    volt = lambda i: f32(f32(i * c) * inv)  # noqa: E731
    return dict(cuStatus=cfg["cuStatus"] if cfg["cuStatus"] != 10 else 2, prescale=cfg["prescale"],
                pgaGain=cfg["pgaGain"], triggerV=cfg["triggerV"], biasV=volt(cfg["biasI"]),
                latchV=cfg["latchV"], latchFLow=cfg["latchFLow"], latchFHigh=cfg["latchFHigh"],
                unlatchT=cfg["unlatchT"], biasVStart=volt(cfg["biasIStart"]), biasVStop=volt(cfg["biasIStop"]),
                biasVStep=f32(f32(c * cfg["biasIStep"]) * inv), biasSweepT=cfg["biasSweepT"])


def draw_frame(d, cfg, seq):
    if d.chance(4):
        return d.bytes(d.int(60, 80))
    fields = echo_of(cfg) if d.bool() else {}
    fields["sequence"] = seq
    fields["counts"] = d.u32() if d.chance(3) else d.int(0, 100)
    fields["monitorV"] = d.f32()
    if d.bool():
        fields["cuStatus"] = d.pick(STATUSES)
    if d.bool():
        fields["biasV"] = d.f32()
    frame = pack("cu_message", **fields)
    return frame + d.bytes(d.int(0, 8)) if d.chance(8) else frame


def draw_rejected(d):
    """A message the worker refuses before touching any state."""
    kind = d.int(0, 6)
    if kind == 0:
        return None
    if kind == 1:
        return []
    if kind == 2:
        return (b"\0" * 60,)
    if kind == 3:
        return [d.bytes(d.int(0, 59))]
    if kind == 4:
        return [bytearray(d.bytes(d.int(0, 59)))]
    if kind == 5:
        return [d.pick((None, 60, "x" * 60, memoryview(b"\0" * 60)))]
    return type("Frames", (list,), {})([b"\0" * 60])


def check(error, allowed):
    if error is not None:
        exact(error, allowed)


def test_one_input(data):
    d = Draw(data)
    fresh_loop()
    rank = d.u32()
    cfg = draw_config(d)
    backend = dict(buffSize=d.pick((0, 1, 2, 10, 2**32 - 1)) if d.bool() else d.int(0, 50),
                   TIMESTAMP=d.f32())
    timeout = d.pick((0.0, 0.5, 5.0, 3600.0))
    sockets = d.int(0, 3) if d.chance(4) else 3
    twins = [Twin(i, rank, cfg, backend, timeout, sockets) for i in range(2)]
    a, b = twins
    try:
        seq = d.int(0, 20)
        for _ in range(64):
            if d.remaining() == 0:
                break
            op = d.int(0, 15)
            if op <= 7:
                seq = (seq + d.int(0, 3)) & 0xFFFFFFFF if d.int(0, 15) else d.u32()
                frame = draw_frame(d, cfg, seq)
                if d.bool():
                    frame = bytearray(frame)
                for t in twins:
                    check(t.call(t.worker.msg_received, [frame]), OPERATION_ERRORS)
            elif op == 8:
                rejected = draw_rejected(d)
                error = a.call(a.worker.msg_received, rejected)
                assert error is not None, rejected
                exact(error, REJECTION_ERRORS)
                a.log.pop()  # the twin never saw this input
            elif op == 9:  # the host rewrites the configuration between messages
                name = d.pick(FLOAT_FIELDS + ("cuStatus", "powered", "inverted", "biasSweepT"))
                value = d.f32() if name in FLOAT_FIELDS else d.pick(STATUSES + (2**31,)) & 0xFF
                cfg[name] = value
                for t in twins:
                    t.cfg.write(**{name: value})
            elif op == 10:
                size = d.pick((0, 1, 3, 10, 2**32 - 1))
                for t in twins:
                    t.backend.write(buffSize=size)
            elif op == 11:
                for t in twins:
                    check(t.call(t.worker.handle_timeout), OPERATION_ERRORS)
            elif op == 12:
                seconds = d.pick((0.25, 1.0, 0.0, math.inf, math.nan, -1.0))
                refused = not (math.isfinite(seconds) and seconds >= 0)
                for t in twins:
                    check(t.call(t.worker.reset_timer, seconds), (ValueError,) if refused else ())
            else:  # the next call of one host object fails
                which = d.pick(("mismatch", "timeout", "enter", "exit", "send", "swallow"))
                for t in twins:
                    setattr(t.faults, which, not getattr(t.faults, which))
            assert a.outputs() == b.outputs()
    finally:
        for t in twins:
            t.close()


if __name__ == "__main__":
    run(test_one_input)
