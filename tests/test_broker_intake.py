"""Broker intake: senders, logging hook, the reorder queue, cutting datagrams."""
import random

import pytest

from tests.test_broker import Recorder, make_broker, record


def finally_pairs(b):
    return [(c[2]["mcuId"], c[2]["cuId"], c[2]["sequence"]) for c in b.hooks("finally")]


ALL = {(m, c) for m in range(4) for c in range(4)}


class TestQueue:
    def test_capacity_is_twice_the_microcontrollers(self):
        b = make_broker(total_mcus=4, cuids=ALL)
        for seq in (7, 3, 5, 1, 8, 2, 6):
            b.msg_received(record(1, 1, seq), None)
        assert b.hooks() == []
        b.msg_received(record(1, 1, 4), None)
        assert [s for _, _, s in finally_pairs(b)] == list(range(1, 9))
        b.calls.clear()
        for seq in range(20, 27):  # emptied: the next seven only queue again
            b.msg_received(record(1, 1, seq), None)
        assert b.hooks() == []

    def test_equal_sequences_come_out_by_microcontroller(self):
        b = make_broker(total_mcus=1, cuids=ALL)
        b.msg_received(record(2, 0, 9), None)
        b.msg_received(record(1, 0, 9), None)
        assert finally_pairs(b) == [(1, 0, 9), (2, 0, 9)]

    def test_ties_compare_every_byte_unsigned(self):
        b = make_broker(total_mcus=2, cuids=ALL | {(1, 0x80), (1, 0x7F)})
        for cu in (0x80, 0x7F):
            b.msg_received(record(1, cu, 9), None)
        b.msg_received(record(1, 2, 9, counts=2), None)
        b.msg_received(record(1, 2, 9, counts=1), None)
        assert [(c[2]["cuId"], c[2]["counts"]) for c in b.hooks("finally")] == [
            (2, 1), (2, 2), (0x7F, 0), (0x80, 0)]

    def test_a_prefix_comes_first(self):
        first = record(1, 1, 9)
        b = make_broker(total_mcus=1, cuids=ALL)
        b.msg_received(first + record(2, 2, 9), None)
        b.msg_received(first, None)
        assert finally_pairs(b) == [(1, 1, 9), (1, 1, 9), (2, 2, 9)]
        assert [len(c[1]) for c in b.hooks("success")] == [60, 60, 60]

    @pytest.mark.parametrize("order", [
        [0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 1],
        [0x80000000, 1, 0xFFFFFFFF, 0x7FFFFFFF],
    ])
    def test_priority_is_unsigned_32_bit(self, order):
        b = make_broker(total_mcus=2, cuids=ALL)
        for seq in order:
            b.msg_received(record(1, 1, seq), None)
        assert [s for _, _, s in finally_pairs(b)] == sorted(order)

    def test_after_the_counter_wraps_small_numbers_come_first(self):
        b = make_broker(total_mcus=2, cuids=ALL)
        for seq in (4294967294, 4294967295, 0, 1):
            b.msg_received(record(1, 1, seq), None)
        assert [s for _, _, s in finally_pairs(b)] == [0, 1, 4294967294, 4294967295]

    def test_priority_is_the_first_record_only(self):
        b = make_broker(total_mcus=1, cuids=ALL)
        b.msg_received(record(1, 1, 5) + record(1, 1, 1), None)
        b.msg_received(record(1, 1, 3), None)
        assert [s for _, _, s in finally_pairs(b)] == [3, 5, 1]



class TestSenders:
    def test_first_datagram_of_a_microcontroller(self):
        b = make_broker(total_mcus=4, cuids=ALL)
        addresses = b.device_addresses
        b.msg_received(record(3, 0, 1), ("10.0.0.3", 5000))
        b.msg_received(record(3, 1, 1), ("10.0.0.9", 6000))
        assert b.hooks("firmware") == [("firmware", record(3, 0, 1))]
        assert b.device_addresses is addresses
        assert addresses == {b"\x03": ("10.0.0.3", 5000)}

    def test_a_false_entry_counts_as_unknown(self):
        b = make_broker(total_mcus=4, cuids=ALL)
        b.msg_received(record(3, 0, 1), ("a", 1))
        b.device_addresses[b"\x03"] = None
        b.msg_received(record(3, 0, 2), ("b", 2))
        assert len(b.hooks("firmware")) == 2
        assert b.device_addresses[b"\x03"] == ("b", 2)

    def test_missing_log_firmware_version(self):
        class NoFirmware(Recorder):
            log_firmware_version = property(lambda s: s.__getattribute__("missing_attribute"))
        b = make_broker(NoFirmware, total_mcus=1)
        with pytest.raises(AttributeError):
            b.msg_received(record(1, 0, 1), None)
        assert b.device_addresses == {}

    def test_log_msg_sees_every_datagram_at_reception(self):
        b = make_broker(total_mcus=2, cuids=ALL, logmsg=[1])
        datagrams = [record(1, 1, s) for s in (4, 3, 2)]
        for d in datagrams:
            b.msg_received(d, None)
        assert b.hooks("log_msg") == [("log_msg", d) for d in datagrams]
        b.msg_received(record(1, 1, 1), None)
        kinds = [c[0] for c in b.calls if c[0] != "firmware"]
        assert kinds == ["log_msg"] * 4 + ["success", "finally"] * 4

    @pytest.mark.parametrize("failing", ["log_firmware_version", "log_msg"])
    def test_failure_before_queueing_leaves_the_datagram_out(self, failing):
        b = make_broker(total_mcus=1, cuids=ALL, logmsg=True)
        setattr(b, failing, lambda msg: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            b.msg_received(record(1, 1, 1), None)
        b.device_addresses[b"\x01"] = "known"
        del b.__dict__[failing]
        b.msg_received(record(1, 1, 2), None)
        b.msg_received(record(1, 1, 3), None)
        assert [s for _, _, s in finally_pairs(b)] == [2, 3]


class TestArguments:
    @pytest.fixture
    def b(self):
        return make_broker(total_mcus=1, cuids=ALL)

    @pytest.mark.parametrize("args, message", [
        ((bytearray(60), None), "Argument 'msg' has incorrect type (expected bytes, got bytearray)"),
        ((type("B", (bytes,), {})(60), None), "Argument 'msg' has incorrect type (expected bytes, got B)"),
        ((b"", ["h", 1]), "Argument 'addr' has incorrect type (expected tuple, got list)"),
        ((None, None), "'NoneType' object is not subscriptable"),
        ((b"",), "msg_received() takes exactly 2 positional arguments (1 given)"),
    ])
    def test_rejections(self, b, args, message):
        with pytest.raises(TypeError) as exc:
            b.msg_received(*args)
        assert str(exc.value) == message
        assert b.calls == []

    def test_keywords(self, b):
        b.msg_received(addr=("h", 1), msg=record(1, 1, 1))
        assert b.device_addresses == {b"\x01": ("h", 1)}

    def test_constructor_never_ran(self):
        b = Recorder.__new__(Recorder)
        b.calls = []
        b.device_addresses = {}
        with pytest.raises(AttributeError, match="put"):
            b.msg_received(record(1, 1, 1), None)


class TestShortPieces:
    def test_records_in_datagram_order_60_bytes_each(self):
        b = make_broker(total_mcus=1, cuids=ALL)
        b.msg_received(b"".join(record(m, c, 1) for m, c in [(3, 3), (0, 1), (2, 0)]), None)
        b.msg_received(record(1, 1, 2), None)
        assert finally_pairs(b) == [(3, 3, 1), (0, 1, 1), (2, 0, 1), (1, 1, 2)]
        assert b.hooks("log_msg") == []  # logmsg is off

    def test_trailing_piece_ends_the_datagram_with_an_error(self):
        b = make_broker(total_mcus=1, cuids=ALL)
        b.msg_received(record(1, 1, 1) + record(1, 2, 1) + b"\x01\x03junk", None)
        with pytest.raises(ValueError, match="datagram of 126 bytes ends in a piece of 6 bytes"):
            b.msg_received(record(1, 1, 2), None)
        assert finally_pairs(b) == [(1, 1, 1), (1, 2, 1)]
        b.msg_received(record(1, 1, 3), None)  # still usable; the datagram of 2 stayed queued
        assert finally_pairs(b)[2:] == [(1, 1, 2), (1, 1, 3)]

    def test_short_datagram_is_keyed_and_ordered_by_the_bytes_it_has(self):
        b = make_broker(total_mcus=2, cuids=ALL)
        short = b"\x02" + bytes(7) + b"\x00\x01"  # 10 bytes: priority 0x100
        b.msg_received(short, ("s", 1))
        b.msg_received(record(1, 1, 0x101), None)
        b.msg_received(record(1, 1, 0xFF), None)
        with pytest.raises(ValueError, match="piece of 10 bytes"):
            b.msg_received(record(1, 1, 0x100), None)
        # 0xFF, then 0x100 (the 60-byte datagram sorts before the short one by byte 0)
        assert [s for _, _, s in finally_pairs(b)] == [0xFF, 0x100]
        assert b.device_addresses[b"\x02"] == ("s", 1)

    def test_empty_datagram_holds_no_record(self):
        b = make_broker(total_mcus=1, cuids=ALL)
        b.msg_received(b"", ("e", 0))
        b.msg_received(record(1, 1, 1), None)
        assert finally_pairs(b) == [(1, 1, 1)]
        assert b.device_addresses[b""] == ("e", 0)

    @pytest.mark.parametrize("seed", range(6))
    def test_random_datagrams_never_crash(self, seed):
        rng = random.Random(seed)
        b = make_broker(MAXFAILS=rng.choice([0, 1, 3]), total_mcus=rng.randint(1, 4),
                        cuids={(rng.randrange(4), rng.randrange(4)) for _ in range(6)})
        errors = 0
        for _ in range(400):
            n = rng.choice([0, 1, 2, 11, 12, 59, 60, 61, 119, 120, 180, rng.randrange(400)])
            msg = bytes(rng.randrange(256) for _ in range(n))
            if rng.random() < 0.5 and n >= 2:  # mostly known units, so records get far
                msg = bytes([rng.randrange(4), rng.randrange(4)]) + msg[2:]
            try:
                b.msg_received(msg, (str(n), n))
            except ValueError as exc:
                assert "shorter than a 60-byte cu_message record" in str(exc)
                errors += 1
        for c in b.hooks("success"):
            assert len(c[1]) == 60
        for c in b.hooks("finally"):
            assert len(c[1]) == 2 and len(c[2]) == 19
        assert b.hooks("finally") and errors

