"""Broker intake under random datagrams, random lengths and hooks that sometimes raise.

A small model of the reorder queue runs beside the broker: datagrams go in by
(bytes 8..11 as uint32, then their bytes), a full queue drains in ascending
order, each datagram is cut into 60-byte records and a shorter tail ends it
with ValueError. The records the hooks report must be exactly the model's, in
its order; a hook that raises ends the drain at its record, the rest of that
datagram is dropped and the datagrams not yet taken out stay queued.
"""
import heapq
import struct
import threading

from harness import Draw, HostError, exact, run
from tests.wire import SharedRecord, pack
from vantor.cluster import ingestgate

UNITS = [(m, c) for m in range(3) for c in range(3)]


class Broker(ingestgate.SpeedUpProtocol):
    """Logs one identity per handled record; `fail_at` names hooks that raise next."""

    def log_firmware_version(self, msg):
        self.calls.append(("firmware", msg))
        self.maybe_fail("firmware", None)

    def log_msg(self, msg):
        self.calls.append(("log_msg", msg))
        self.maybe_fail("log_msg", None)

    def on_sync_success(self, chunk):
        assert type(chunk) is bytes and len(chunk) == 60
        self.maybe_fail("success", identity(chunk))

    def on_sync_failed(self):
        self.calls.append(("failed",))

    def on_finally(self, channelID, data):
        assert type(channelID) is bytes and channelID == bytes([data["mcuId"], data["cuId"]])
        self.records.append((data["mcuId"], data["cuId"], data["sequence"], data["counts"]))
        self.maybe_fail("finally", None)

    def on_missing(self, mcuId, cuId):
        self.records.append(("missing", mcuId, cuId))
        self.maybe_fail("missing", None)

    def maybe_fail(self, hook, record):
        if hook in self.fail_at:
            self.fail_at.discard(hook)
            if record is not None:
                self.records.append(record)
            raise HostError(hook)


def identity(record):
    mcu, cu = record[0], record[1]
    seq, counts = struct.unpack_from("<II", record, 8)
    return (mcu, cu, seq, counts)


class Model:
    def __init__(self, capacity, cuids):
        self.capacity, self.cuids = capacity, cuids
        self.heap = []

    def expected(self, record):
        mcu, cu = record[0], record[1]
        return identity(record) if (mcu, cu) in self.cuids else ("missing", mcu, cu)

    def drain(self, records_seen):
        """Checks the broker's reported records against a drain of the model;
        returns the error the drain must end with (None, ValueError or HostError)."""
        want = []
        if len(self.heap) < self.capacity:
            return want, None
        while self.heap:
            _, msg = heapq.heappop(self.heap)
            for i in range(0, len(msg), 60):
                if len(msg) - i < 60:
                    return want, ValueError
                want.append(self.expected(msg[i:i + 60]))
                if records_seen and records_seen[-1] == "raised" and len(want) == len(records_seen) - 1:
                    return want, HostError
        return want, None


def draw_datagram(d, seq):
    n = d.int(0, 4)
    parts = []
    for _ in range(n):
        mcu, cu = d.pick(UNITS) if d.int(0, 7) else (d.u8(), d.u8())
        s = seq + d.int(0, 2) if d.int(0, 7) else d.u32()
        parts.append(pack("cu_message", mcuId=mcu, cuId=cu, sequence=s, counts=d.int(0, 9)))
    msg = b"".join(parts)
    if d.chance(4):
        msg += d.bytes(d.int(1, 59))
    if d.chance(8):
        msg = d.bytes(d.int(0, 130))
    return msg


def test_one_input(data):
    d = Draw(data)
    total_mcus = d.int(1, 4)
    cuids = {u for u in UNITS if d.bool()}
    maxfails = d.pick((0, 1, 2, 2**32 - 1))
    logmsg = d.bool()
    backend = SharedRecord("C_Backend", buffSize=10)
    b = Broker.__new__(Broker)
    b.calls, b.records, b.fail_at = [], [], set()
    b.__init__(maxfails, 0, total_mcus, (backend.address, threading.Lock()), {}, set(cuids), logmsg)
    model = Model(2 * total_mcus, cuids)
    addresses = {}
    seq = d.int(0, 5)
    for _ in range(48):
        if d.remaining() == 0:
            break
        op = d.int(0, 9)
        if op == 0:  # refused at entry: nothing changes
            msg, addr = d.pick([(None, ("h", 1)), ("text", None), (bytearray(60), None), (b"", ["h", 1]),
                                (b"", "h")])
            try:
                b.msg_received(msg, addr)
                raise AssertionError("accepted", msg, addr)
            except TypeError:
                pass
            assert b.calls == [] and b.records == []
            continue
        if op == 1:
            b.fail_at.add(d.pick(("firmware", "log_msg", "success", "finally", "missing")))
            continue
        seq += d.int(0, 3)
        msg = draw_datagram(d, seq)
        addr = d.pick((None, ("10.0.0.1", 5000), ("10.0.0.2", 5001)))
        fail_before = set(b.fail_at)
        try:
            b.msg_received(msg, addr)
            error = None
        except Exception as e:
            exact(e, (ValueError, HostError))
            error = e
        # Step 1: a sender is noted the first time its id has no true entry.
        key = msg[:1]
        expected_calls = []
        stopped = False
        if not addresses.get(key):
            expected_calls.append(("firmware", msg))
            if "firmware" in fail_before:
                stopped = True
            else:
                addresses[key] = addr
        if not stopped and logmsg:
            expected_calls.append(("log_msg", msg))
            stopped = "log_msg" in fail_before
        assert b.calls[:len(expected_calls)] == expected_calls, (b.calls, expected_calls)
        assert b.device_addresses == addresses
        if stopped:
            assert type(error) is HostError and b.records == []
        else:
            heapq.heappush(model.heap, (struct.unpack("<I", (msg[8:12] + b"\0" * 4)[:4])[0], msg))
            seen = list(b.records)
            if type(error) is HostError:
                seen.append("raised")
            want, ending = model.drain(seen)
            assert b.records == want, (b.records, want)
            assert (type(error) if error else None) is ending, (error, ending)
        b.calls.clear()
        b.records.clear()


if __name__ == "__main__":
    run(test_one_input)
