"""The five constructors under random arguments.

Each draw builds an object with random positional and keyword arguments. It
may fail only with the host's argument errors (or the error of a host object
among the arguments). Then the object is used: the worker and the broker are
initialised again with valid arguments and must behave exactly like a fresh
object; a hub or RecordData whose construction failed must still answer its
operations without crashing.
"""
import asyncio
import math
import threading

import zmq

from harness import Draw, HostError, exact, run
from tests.wire import SharedRecord, pack
from vantor.cluster import feedhub, ingestgate
from vantor.cluster.workers import boardwatch, lanecore

ERRORS = (TypeError, ValueError, OverflowError, AttributeError, IndexError, KeyError, HostError)


class Hostile:
    """Every conversion, iteration and lock operation raises."""

    def __index__(self):
        raise HostError("index")

    def __float__(self):
        raise HostError("float")

    def __iter__(self):
        raise HostError("iter")

    def __bool__(self):
        raise HostError("bool")

    def __enter__(self):
        raise HostError("enter")

    def __exit__(self, *exc):
        raise HostError("exit")


class Collider:
    """A set element that hashes like the pair (1, 0): every look-up of that
    pair compares with it, which runs host code: it raises, replaces the
    broker's sets and queue from inside the look-up, or just says no."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return hash((1, 0))

    def __eq__(self, other):
        if self.action == 0:
            raise HostError("eq")
        if self.action == 1 and STATE.get("broker") is not None:
            ingestgate.SpeedUpProtocol.__init__(STATE.pop("broker"), *valid_broker_args())
        return False


STATE = {}


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class NoExit:
    def __enter__(self):
        return self


ctx = zmq.Context()
SOCK = ctx.socket(zmq.PAIR)
SOCK.bind("inproc://fuzz-constructors")
PEER = ctx.socket(zmq.PAIR)
PEER.connect("inproc://fuzz-constructors")
CONFIG = SharedRecord("cu_config", mcuId=1, cuId=2, resistorCryo=10, resistorBias=20, biasI=0.5)
BACKEND = SharedRecord("C_Backend", buffSize=3, TIMESTAMP=100.0)
LOOP = asyncio.new_event_loop()
asyncio.set_event_loop(LOOP)


def value(d, depth=0):
    k = d.int(0, 27)
    simple = [None, 0, 1, -1, 2**31, 2**32 - 1, 2**32, 2**64, -2**63, 1.5, -0.0, math.nan, math.inf, "x", b"x",
              True, Hostile(), Index(d.int(-2, 5)), object(), SOCK, lanecore.SpeedUpProtocol]
    if k < len(simple):
        return simple[k]
    if depth > 1:
        return None
    n = d.int(0, 3)
    items = [value(d, depth + 1) for _ in range(n)]
    if k == 21:
        return tuple(items)
    if k == 22:
        return list(items)
    if k == 23:
        return (d.pick((CONFIG.address, BACKEND.address, 0, -1, 2**64)), d.pick((threading.Lock(), None, NoExit(),
                                                                                    Hostile())))
    if k == 24:
        return {value(d, 2): value(d, depth + 1) for _ in range(n)} if d.bool() else {}
    if k == 25:
        return {d.pick(((1, 2), (0, 0), 3, "a", Collider(d.int(0, 2))))} if d.bool() else set()
    if k == 26:
        return type("D", (dict,), {})()
    return iter(items)


def arguments(d, names):
    args = [value(d) for _ in range(d.int(0, len(names) + 1))]
    kwargs = {}
    for _ in range(d.int(0, 2)):
        kwargs[d.pick(names + ("bogus",))] = value(d)
    return args, kwargs


def attempt(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
        return None
    except Exception as e:
        exact(e, ERRORS)
        return e


class Worker(lanecore.SpeedUpProtocol):
    pass


def worker_scenario(w):
    out = []
    for seq in (1, 2, 5, 5, 9):
        out.append(repr(attempt(w.msg_received, [pack("cu_message", sequence=seq, counts=seq)])))
    attempt(w.handle_timeout)
    while PEER.poll(0):
        out.append(PEER.recv_multipart())
    if w.timer is not None:
        w.timer.cancel()
    return out


class Broker(ingestgate.SpeedUpProtocol):
    def log_firmware_version(self, msg):
        pass

    def on_finally(self, channelID, data):
        self.seen.append((channelID, data["sequence"]))

    def on_sync_failed(self):
        self.seen.append("failed")


def broker_scenario(b):
    b.seen = []
    for seq in (1, 1, 2, 3, 3, 4):
        attempt(b.msg_received, pack("cu_message", mcuId=1, cuId=seq % 2, sequence=seq), None)
    return b.seen


def valid_broker_args():
    return (1, 2, 1, (BACKEND.address, threading.Lock()), {}, {(1, 0), (1, 1)}, False)


class Configuration:
    biasIStart, biasIStop, inverted, biasSweepT = 1e-7, 5e-7, False, 10

    def get_c_value(self, name):
        return getattr(self, name)


class Hub(feedhub.SpeedUpProtocol):
    pass


class Monitor(boardwatch.SpeedUpProtocol):
    def set_pll_lock(self, pll):
        pass


def draw_settings(d):
    """Settings with random shapes: objects, missing attributes, odd mappings."""
    class S:
        pass
    s = S()
    if d.chance(5):
        return value(d)
    units = {}
    for i in range(d.int(0, 3)):
        u = S()
        if d.int(0, 5):
            u.rank = value(d) if d.chance(4) else i + 1
        if d.int(0, 5):
            u.configuration = Configuration() if d.int(0, 3) else value(d)
        units[i] = u
    mcu = S()
    if d.int(0, 7):
        mcu.channels = units if d.int(0, 5) else value(d)
    if d.int(0, 7):
        s.devices = {0: mcu} if d.int(0, 5) else d.pick(([(0, mcu)], [(0,)], [(0, mcu, 1)], None, {0: None}))
    return s


def test_one_input(data):
    d = Draw(data)
    which = d.int(0, 4)
    if which == 0:
        args, kwargs = arguments(d, ("rank", "c_config", "c_backend", "streamSock", "updateSock", "timeout"))
        w = Worker.__new__(Worker)
        failed = attempt(w.__init__, *args, **kwargs) is not None
        if failed:  # nothing was stored: the object is as new
            assert attempt(w.msg_received, [pack("cu_message", sequence=1)]) is not None
        attempt(w.handle_timeout)
        valid = (3, (CONFIG.address, threading.Lock()), (BACKEND.address, threading.Lock()), SOCK, SOCK, 60.0)
        if w.timer is not None:
            w.timer.cancel()
        while PEER.poll(0):
            PEER.recv_multipart()
        CONFIG.write(cuStatus=0)
        if not failed:
            return
        assert attempt(w.__init__, *valid) is None
        reused = worker_scenario(w)
        CONFIG.write(cuStatus=0)
        assert reused == worker_scenario(Worker(*valid))
    elif which == 1:
        args, kwargs = arguments(d, ("MAXFAILS", "total_devices", "total_mcus", "c_backend", "device_addresses",
                                     "CUIDS", "logmsg"))
        if d.bool():  # valid but for a units set whose elements run host code when compared
            args, kwargs = list(valid_broker_args()), {}
            args[5] = {(1, 1), Collider(d.int(0, 2))}
        b = Broker.__new__(Broker)
        attempt(b.__init__, *args, **kwargs)
        if len(args) > 5 and type(args[5]) is set:
            args[5] = None  # the broker holds the only reference to the set (and its elements)
        STATE["broker"] = b
        for seq in (1, 2, 3):
            attempt(b.msg_received, pack("cu_message", mcuId=1, sequence=seq) * 2, None)
        STATE.clear()
        b2 = Broker.__new__(Broker)
        attempt(b2.__init__, *args, **kwargs)
        assert attempt(b2.__init__, *valid_broker_args()) is None
        assert broker_scenario(b2) == broker_scenario(Broker(*valid_broker_args()))
    elif which == 2:
        settings = draw_settings(d)
        h = Hub.__new__(Hub)
        attempt(h.__init__, settings)
        for op in (lambda: h.msg_received([pack("stream_data", rank=1, cuStatus=2)]),
                   lambda: h.msg_received([pack("stream_data", rank=1, cuStatus=0, timestamp=1.0)]),
                   h.get_iv_data, h.gen_iv_data, h.get_min_max, h.get_biasSweepTs,
                   lambda: h.startRecording([1]), h.stopRecording, h.getRecordData,
                   lambda: h.create_look_up(settings)):
            attempt(op)
    elif which == 3:
        args, kwargs = arguments(d, ("mcuId", "cuId", "monitorV", "counts", "timestamp"))
        r = feedhub.RecordData.__new__(feedhub.RecordData)
        attempt(r.__init__, *args, **kwargs)
        for name in ("mcuId", "cuId", "monitorV", "counts", "timestamp"):
            before = getattr(r, name)
            if attempt(setattr, r, name, value(d)) is not None:
                assert repr(getattr(r, name)) == repr(before), name  # a failed set keeps the old value
    else:
        args, kwargs = arguments(d, ("a", "b"))
        m = Monitor(*args, **kwargs)
        attempt(m.msg_received, [b"\0" * 12])


if __name__ == "__main__":
    run(test_one_input)
