"""Monitor intake under random frames and hooks that sometimes raise.

A model holds the last stored status: every accepted frame reports its two
temperatures, then its PLL flag, then, when mcuStatus differs from the stored
status, stores it and reports it. A hook that raises ends the message there;
a refused message reports nothing and changes nothing.
"""
import struct

from harness import Draw, HostError, exact, run
from vantor.cluster.workers import boardwatch

Bytes = type("Bytes", (bytes,), {})
Bytearray = type("Bytearray", (bytearray,), {})


class Monitor(boardwatch.SpeedUpProtocol):
    def __init__(self):
        self.calls, self.fail = [], set()

    def hook(self, name, *args):
        self.calls.append((name, *args))
        if name in self.fail:
            self.fail.discard(name)
            raise HostError(name)

    def on_temp(self, temp1, temp2):
        assert type(temp1) is float and type(temp2) is float
        self.hook("temp", same_floats((temp1, temp2)))

    def set_pll_lock(self, pllLock):
        assert type(pllLock) is int
        self.hook("pll", pllLock)

    def on_status_change(self, status):
        assert type(status) is int
        self.hook("status", status)


def same_floats(values):
    """A key equal for equal floats and for any two NaNs (a signalling NaN
    comes out quieted when widened)."""
    return tuple("nan" if v != v else v for v in values)


def draw_frame(d):
    raw = d.bytes(d.int(12, 20))
    raw = raw.ljust(12, b"\0")
    return d.pick((bytes, bytearray, Bytes, Bytearray))(raw)


def draw_refused(d):
    kind = d.int(0, 4)
    if kind == 0:
        return None, TypeError
    if kind == 1:
        return [], IndexError
    if kind == 2:
        return (b"\0" * 12,), TypeError
    if kind == 3:
        return [d.pick((None, "x" * 12, 12, memoryview(b"\0" * 12)))], TypeError
    return [d.bytes(d.int(0, 11))], ValueError


def test_one_input(data):
    d = Draw(data)
    m = Monitor()
    status = 0
    for _ in range(64):
        if d.remaining() == 0:
            break
        op = d.int(0, 5)
        if op == 0:
            msg, error = draw_refused(d)
            try:
                m.msg_received(msg)
                raise AssertionError("accepted", msg)
            except Exception as e:
                exact(e, (error,))
            assert m.calls == []
            continue
        if op == 1:
            m.fail.add(d.pick(("temp", "pll", "status")))
            continue
        frame = draw_frame(d)
        rest = [b"ignored"] if d.chance(6) else []
        fail = set(m.fail)
        try:
            m.msg_received([frame] + rest)
            raised = None
        except Exception as e:
            exact(e, (HostError,))
            raised = str(e)
        mcu_status, pll = frame[1], frame[3]
        want = [("temp", same_floats(struct.unpack_from("<ff", frame, 4)))]
        stop = "temp" if "temp" in fail else None
        if stop is None:
            want.append(("pll", pll))
            stop = "pll" if "pll" in fail else None
        if stop is None and mcu_status != status:
            status = mcu_status  # stored before the hook runs, even when it fails
            want.append(("status", mcu_status))
            stop = "status" if "status" in fail else None
        assert m.calls == want, (m.calls, want)
        assert raised == stop, (raised, stop)
        m.calls.clear()


if __name__ == "__main__":
    run(test_one_input)
