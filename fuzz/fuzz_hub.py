"""Hub intake and queries under random stream records, random ranks and host
overrides that return values of the wrong type.

Two hubs are built alike. Messages the hub must refuse before changing
anything (not a list, no element 0, not bytes, shorter than a record, a rank
that names no device) go to the first one only; everything else goes to both.
Their hook calls, errors, IV results and recording tables must stay the same.
"""
import math

from harness import Draw, HostError, exact, run
from tests.wire import pack
from vantor.cluster import feedhub

ERRORS = (TypeError, ValueError, OverflowError, HostError)
WRONG = [None, (), (1e-6, 2e-6), (1e-6, 2e-6, 3, 4), ("a", 1e-6, 1), (1e-6, 2e-6, 2**40), (math.nan, 1.0, 1),
         [], {}, "x", 5, b"", type("T", (tuple,), {})((0.0, 1e-7, 11))]
VIRTUALS = ("get_min_max", "get_biasSweepTs", "gen_iv_data", "get_iv", "stopRecording", "getRecordData")
HOOKS = ("streamData", "streamIvData", "resetIvFrontend")


class Configuration:
    def __init__(self, start, stop, inverted, sweep_t):
        self.biasIStart, self.biasIStop, self.inverted, self.biasSweepT = start, stop, inverted, sweep_t

    def get_c_value(self, name):
        return getattr(self, name)


class Unit:
    def __init__(self, rank, configuration):
        self.rank, self.configuration = rank, configuration


class Holder:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class Plain(feedhub.SpeedUpProtocol):
    """Hooks only: the module's own bodies of the virtual operations run."""

    def __init__(self, settings, log, plan):
        self.log, self.plan = log, plan
        super().__init__(settings)

    def fail(self, name):
        if name in self.plan["raise"]:
            self.plan["raise"].discard(name)
            raise HostError(name)

    def streamData(self, data):
        assert type(data) is bytes
        self.log.append(("streamData", data))
        self.fail("streamData")

    def streamIvData(self, data):
        assert type(data) is dict
        self.log.append(("streamIvData", repr(data)))
        self.fail("streamIvData")

    def resetIvFrontend(self, start, stop, steps):
        self.log.append(("resetIvFrontend", repr((start, stop, steps))))
        self.fail("resetIvFrontend")


def overriding(name):
    def method(self, *args):
        self.log.append((name, repr(args)))
        self.fail(name)
        if name in self.plan["wrong"]:
            return self.plan["wrong"][name]
        return getattr(feedhub.SpeedUpProtocol, name)(self, *args)
    return method


Overriding = type("Overriding", (Plain,), {n: overriding(n) for n in VIRTUALS})


def current(d):
    """A sweep limit; finite ones stay below 0.1 mA so that an IV grid (1e-8 A
    a bin) fits in memory, while NaN and the infinities still reach the range code."""
    if d.chance(3):
        v = d.f32()
        return math.copysign(1e-4, v) if math.isfinite(v) and abs(v) > 1e-4 else v
    return d.int(0, 20) * 1e-7


def draw_settings(d, n):
    devices = {}
    for i in range(n):
        start, stop = current(d), current(d)
        conf = Configuration(start, stop, d.bool(), d.pick((10, 20, "t", None)))
        rank = d.pick((i + 1, i + 1, 1, 0, -3, "r"))
        devices.setdefault(d.int(0, 2), Holder(channels={})).channels[i] = Unit(rank, conf)
    return Holder(devices=devices)


def draw_record(d, totdev, now):
    status = d.pick((0, 0, 2, 2, 100, 200, 3, d.u8()))
    rank = d.int(1, totdev) if totdev and d.int(0, 7) else d.pick((0, totdev + 1, 2**32 - 1))
    ts = now if d.bool() else d.pick((now + 1.0, 0.0, math.nan, math.inf, d.float()))
    biasI = d.f32() if d.chance(3) else d.int(-25, 25) * 1e-7
    frame = pack("stream_data", rank=rank, cuStatus=status, timestamp=ts, biasI=biasI,
                 counts=d.int(0, 10), monitorV=d.f32())
    return frame + d.bytes(d.int(1, 8)) if d.chance(10) else frame


def draw_refused(d, totdev):
    kind = d.int(0, 5)
    if kind == 0:
        return None
    if kind == 1:
        return []
    if kind == 2:
        return (pack("stream_data", rank=1),)
    if kind == 3:
        return [d.bytes(d.int(0, 31))]
    if kind == 4:
        return [d.pick((None, bytearray(32), "x" * 32, 32))]
    return [pack("stream_data", rank=d.pick((0, totdev + 1, 2**32 - 1)))]


def call(hub, fn, *args):
    try:
        out = fn(*args)
    except Exception as e:
        exact(e, ERRORS)
        hub.log.append(("error", type(e).__name__, str(e)))
        return None
    hub.log.append(("ok", repr(out)))
    return out


def test_one_input(data):
    d = Draw(data)
    n = d.int(0, 5)
    settings = draw_settings(d, n)
    cls = Overriding if d.bool() else Plain
    hubs = []
    for _ in range(2):
        plan = {"raise": set(), "wrong": {}}
        try:
            hubs.append(cls(settings, [], plan))
        except Exception as e:
            exact(e, ERRORS)
            return  # a settings object that construction refuses; covered by the constructor target
    a, b = hubs
    totdev = n  # one position per unit visited, duplicate ranks included
    now = 1.0
    for _ in range(48):
        if d.remaining() == 0:
            break
        op = d.int(0, 15)
        if op <= 7:
            frame = draw_record(d, totdev, now)
            msg = [frame] + ([b"extra"] if d.chance(8) else [])
            refused = len(frame) >= 32 and not 1 <= int.from_bytes(frame[20:24], "little") <= totdev
            if refused:
                before = list(a.log)
                try:
                    a.msg_received(msg)
                    raise AssertionError("rank accepted", frame)
                except ValueError:
                    pass
                assert a.log == before
                continue
            for h in hubs:
                call(h, h.msg_received, msg)
            now += d.int(0, 1)
        elif op == 8:
            msg = draw_refused(d, totdev)
            try:
                a.msg_received(msg)
                raise AssertionError("accepted", msg)
            except (TypeError, IndexError, ValueError):
                pass
        elif op == 9:
            start, stop, steps = d.float(), d.float(), d.int(-3, 600)
            for h in hubs:
                call(h, h.get_iv, start, stop, steps)
        elif op == 10:
            name = d.pick(("gen_iv_data", "get_iv_data", "get_min_max", "get_biasSweepTs", "getRecordData",
                           "stopRecording"))
            for h in hubs:
                call(h, getattr(h, name))
        elif op == 11:
            channels = [d.pick((1, 2, 3, 0, totdev + 1, 2.0, "1", 2**40)) for _ in range(d.int(0, 3))]
            channels = None if d.chance(6) else channels
            for h in hubs:
                call(h, h.startRecording, channels)
        elif op == 12:
            extra = draw_settings(d, d.int(0, 2))
            for h in hubs:
                call(h, h.create_look_up, extra)
            totdev += sum(len(m.channels) for m in extra.devices.values())
        elif op == 13:
            hook = d.pick(HOOKS + VIRTUALS)
            for h in hubs:
                h.plan["raise"].add(hook)
        elif op == 14:
            name, value = d.pick(VIRTUALS), d.pick(WRONG)
            for h in hubs:
                h.plan["wrong"][name] = value
        else:
            for h in hubs:
                h.plan["raise"].clear()
                h.plan["wrong"].clear()
        assert a.log == b.log, (a.log, b.log)
        a.log.clear()
        b.log.clear()
    # Whatever happened, a hub left alone by the host keeps working.
    for h in hubs:
        h.plan["raise"].clear()
        h.plan["wrong"].clear()
    assert repr(a.get_iv_data()) == repr(b.get_iv_data())
    assert repr(a.getRecordData()) == repr(b.getRecordData())


if __name__ == "__main__":
    run(test_one_input)
