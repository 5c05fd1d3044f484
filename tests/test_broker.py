"""Broker construction, the `inited` property and the default hook bodies.

Also holds the host stand-in used by the other broker test files."""
import collections
import gc
import sys
import threading
import weakref

import pytest

from tests.wire import SharedRecord, pack
from vantor.cluster import ingestgate

CAN_NOT_CONVERT_NEGATIVE = "can't convert negative value to "


class Recorder(ingestgate.SpeedUpProtocol):
    """Host subclass that logs every hook call in order, into `calls`."""

    def __init__(self, *args, **kwargs):
        self.calls = []
        super().__init__(*args, **kwargs)

    def log_firmware_version(self, msg):
        self.calls.append(("firmware", msg))

    def log_msg(self, msg):
        self.calls.append(("log_msg", msg))

    def on_sync_success(self, chunk):
        self.calls.append(("success", chunk))

    def on_sync_failed(self):
        self.calls.append(("failed",))

    def on_finally(self, channelID, data):
        self.calls.append(("finally", channelID, data))

    def on_missing(self, mcuId, cuId):
        self.calls.append(("missing", mcuId, cuId))

    def hooks(self, *kinds):
        """The calls of the given kinds (all record hooks by default)."""
        kinds = kinds or ("success", "failed", "finally", "missing")
        return [c for c in self.calls if c[0] in kinds]


class Plain(ingestgate.SpeedUpProtocol):
    """Host subclass that supplies only what the broker requires."""

    def log_firmware_version(self, msg):
        pass


def record(mcu, cu, seq, **fields):
    return pack("cu_message", mcuId=mcu, cuId=cu, sequence=seq, **fields)


def make_broker(cls=Recorder, MAXFAILS=1, total_mcus=1, cuids=(), lock=None, logmsg=False, backend=None):
    backend = backend if backend is not None else SharedRecord("C_Backend", buffSize=10)
    lock = lock if lock is not None else threading.Lock()
    b = cls(MAXFAILS, 0, total_mcus, (backend.address, lock), {}, set(cuids), logmsg)
    b.backend = backend  # keeps the record alive with the broker
    return b


ARGS = dict(MAXFAILS=1, total_devices=2, total_mcus=1, c_backend=(0, None), device_addresses=None,
            CUIDS=None, logmsg=0)


def construct(cls=Plain, **changes):
    return cls(**{**ARGS, **changes})


class TestConstruction:
    def test_keywords_and_positions_build_the_same_broker(self):
        addresses, cuids = {}, {(1, 1)}
        by_kw = construct(Recorder, total_mcus=2, device_addresses=addresses, CUIDS=cuids)
        by_pos = Recorder(1, 2, 2, (0, None), addresses, cuids, 0)
        for b in (by_kw, by_pos):
            assert b.device_addresses is addresses
            for seq in (1, 2, 3):
                b.msg_received(record(1, 1, seq), None)
            assert b.hooks() == []  # capacity 4: nothing drained yet
            b.msg_received(record(1, 1, 4), None)
            assert len(b.hooks("finally")) == 4

    def test_is_a_plain_object_subclass_without_own_attribute_storage(self):
        assert ingestgate.SpeedUpProtocol.__bases__ == (object,)
        with pytest.raises(AttributeError, match="device_addresses"):
            ingestgate.SpeedUpProtocol(**ARGS)

    def test_module_constants(self):
        assert ingestgate.MSG_SIZE == 60
        assert ingestgate.logger.name == "vantor.cluster.ingestgate"

    def test_none_for_dictionary_and_set_is_accepted(self):
        b = construct()
        assert b.device_addresses is None
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
            b.msg_received(record(1, 1, 1), None)

    def test_cuids_none_fails_at_the_first_processed_record(self):
        b = construct(Recorder, device_addresses={})
        b.msg_received(record(1, 1, 1), None)
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            b.msg_received(record(1, 1, 2), None)
        assert b.hooks() == []

    @pytest.mark.parametrize("c_backend", [iter([7, threading.Lock()]), [2**64 - 1, None]])
    def test_c_backend_from_any_iterable(self, c_backend):
        construct(c_backend=c_backend)


class TestRejections:
    @pytest.mark.parametrize("name", ["MAXFAILS", "total_devices", "total_mcus"])
    @pytest.mark.parametrize("value, error, message", [
        (-1, OverflowError, CAN_NOT_CONVERT_NEGATIVE + "uint32_t"),
        (2**32, OverflowError, "value too large to convert to uint32_t"),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ])
    def test_integer_arguments(self, name, value, error, message):
        with pytest.raises(error) as exc:
            construct(**{name: value})
        assert str(exc.value) == message

    @pytest.mark.parametrize("name", ["MAXFAILS", "total_devices", "total_mcus"])
    @pytest.mark.parametrize("value", [1, 4294967295, True, 7.9])
    def test_integer_range_and_own_conversion(self, name, value):
        construct(**{name: value})

    class MyDict(dict):
        pass

    class MySet(set):
        pass

    @pytest.mark.parametrize("name, value, expected, given", [
        ("device_addresses", MyDict(), "dict", "MyDict"),
        ("device_addresses", collections.OrderedDict(), "dict", "collections.OrderedDict"),
        ("device_addresses", [], "dict", "list"),
        ("CUIDS", MySet(), "set", "MySet"),
        ("CUIDS", frozenset(), "set", "frozenset"),
        ("CUIDS", [(1, 1)], "set", "list"),
    ])
    def test_exact_container_types_before_anything_is_stored(self, name, value, expected, given):
        with pytest.raises(TypeError) as exc:
            construct(**{name: value, "device_addresses": {}} if name == "CUIDS" else {name: value})
        assert str(exc.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {given})"

    def test_zero_microcontrollers_is_rejected(self):
        with pytest.raises(ValueError, match="at least one microcontroller is needed"):
            construct(total_mcus=0)

    def test_capacity_wrapping_to_zero_is_rejected(self):
        with pytest.raises(ValueError, match="queue capacity of 0"):
            construct(total_mcus=2**31)

    def test_capacity_wraps_in_32_bits(self):
        b = make_broker(total_mcus=2**31 + 1, cuids={(1, 1)})  # capacity 2
        b.msg_received(record(1, 1, 1), None)
        assert b.hooks() == []
        b.msg_received(record(1, 1, 2), None)
        assert len(b.hooks("finally")) == 2

    # The microcontroller count is checked after every conversion and type check
    # and before anything is stored.
    @pytest.mark.parametrize("changes, error", [
        (dict(MAXFAILS=-1), OverflowError),
        (dict(logmsg=type("Bad", (), {"__bool__": lambda s: 1 / 0})()), ZeroDivisionError),
        (dict(CUIDS=frozenset()), TypeError),
        (dict(device_addresses=[]), TypeError),
    ])
    def test_zero_microcontrollers_checked_after_conversions(self, changes, error):
        with pytest.raises(error):
            construct(total_mcus=0, **changes)

    @pytest.mark.parametrize("changes, error", [
        (dict(CUIDS=frozenset()), TypeError),
        (dict(total_mcus=0), ValueError),
    ])
    def test_failed_checks_store_nothing(self, changes, error):
        b = Plain.__new__(Plain)
        with pytest.raises(error):
            b.__init__(**{**ARGS, "c_backend": 5, "device_addresses": {}, **changes})
        assert "device_addresses" not in vars(b)

    @pytest.mark.parametrize("c_backend, error, message", [
        ((1, None, 3), ValueError, "too many values to unpack (expected 2)"),
        ((1,), ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (iter([1]), ValueError, "need more than 1 value to unpack"),
        ((-1, None), OverflowError, CAN_NOT_CONVERT_NEGATIVE + "size_t"),
        ((2**64, None), OverflowError, "value too large to convert to size_t"),
        (5, TypeError, "'int' object is not iterable"),
    ])
    def test_c_backend(self, c_backend, error, message):
        b = Plain.__new__(Plain)
        addresses = {}
        with pytest.raises(error) as exc:
            b.__init__(**{**ARGS, "c_backend": c_backend, "device_addresses": addresses})
        assert str(exc.value) == message
        assert b.device_addresses is addresses  # stored before the pair is unpacked

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1,) * 6, {}, "__init__() takes exactly 7 positional arguments (6 given)"),
        ((1,) * 8, {}, "__init__() takes exactly 7 positional arguments (8 given)"),
        ((), {**ARGS, "extra": 1}, "__init__() got an unexpected keyword argument 'extra'"),
    ])
    def test_arity(self, args, kwargs, message):
        with pytest.raises(TypeError) as exc:
            Plain(*args, **kwargs)
        assert str(exc.value) == message


class TestInited:
    def test_truth_of_any_object(self):
        b = construct()
        assert b.inited is False
        b.inited = 5
        assert b.inited is True
        b.inited = []
        assert b.inited is False

    def test_delete_and_failing_truth_keep_the_flag(self):
        b = construct()
        b.inited = True
        with pytest.raises(NotImplementedError, match="^__del__$"):
            del b.inited
        with pytest.raises(ZeroDivisionError):
            b.inited = type("Bad", (), {"__bool__": lambda s: 1 / 0})()
        assert b.inited is True


class TestDefaultHooks:
    @pytest.fixture
    def b(self):
        return construct()

    @pytest.mark.parametrize("hook, args", [
        ("on_sync_success", (b"x" * 60,)), ("on_sync_success", (None,)),
        ("on_sync_failed", ()),
        ("log_msg", (b"",)), ("log_msg", (None,)),
        ("on_finally", (b"\x01\x02", {})), ("on_finally", (None, None)),
        ("on_missing", (-2**31, 2**31 - 1)), ("on_missing", (True, 7.5)),
    ])
    def test_accepted_arguments_do_nothing(self, b, hook, args):
        assert getattr(b, hook)(*args) is None

    def test_keywords(self, b):
        assert b.on_finally(data={}, channelID=b"") is None
        assert b.on_missing(cuId=1, mcuId=2) is None

    @pytest.mark.parametrize("hook, args, message", [
        ("on_sync_success", (bytearray(60),),
         "Argument 'chunk' has incorrect type (expected bytes, got bytearray)"),
        ("log_msg", ("text",), "Argument 'msg' has incorrect type (expected bytes, got str)"),
        ("on_finally", (b"", []), "Argument 'data' has incorrect type (expected dict, got list)"),
        ("on_finally", (memoryview(b""), {}),
         "Argument 'channelID' has incorrect type (expected bytes, got memoryview)"),
        ("on_missing", ("1", 1), "an integer is required"),
        ("on_sync_failed", (1,), "on_sync_failed() takes exactly 0 positional arguments (1 given)"),
        ("on_finally", (b"",), "on_finally() takes exactly 2 positional arguments (1 given)"),
    ])
    def test_type_rejections(self, b, hook, args, message):
        with pytest.raises(TypeError) as exc:
            getattr(b, hook)(*args)
        assert str(exc.value) == message

    @pytest.mark.parametrize("args", [(2**31, 0), (0, -2**31 - 1)])
    def test_on_missing_range_is_signed_32_bit(self, b, args):
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            b.on_missing(*args)


class TestReferences:
    def test_queued_and_drained_datagrams_are_released(self):
        b = make_broker(total_mcus=2, cuids={(1, 1)})
        datagrams = [record(1, 1, seq) for seq in range(1, 8)]
        datagrams[3] += b"tail"
        before = [sys.getrefcount(d) for d in datagrams]
        for i in range(3):
            b.msg_received(datagrams[i], None)
        with pytest.raises(ValueError):  # drains all four, the last one ending in a short piece
            b.msg_received(datagrams[3], None)
        for i in range(4, 7):
            b.msg_received(datagrams[i], None)  # still queued
        assert len(b.hooks("finally")) == 4
        del b
        gc.collect()
        assert [sys.getrefcount(d) for d in datagrams] == before

    def test_hook_arguments_are_not_kept(self):
        b = make_broker(total_mcus=1, cuids={(1, 1)})
        b.msg_received(record(1, 1, 1), ("h", 1))
        b.msg_received(record(1, 1, 2), ("h", 1))
        calls = b.hooks("success", "finally")
        assert len(calls) == 4
        counts = [sys.getrefcount(call[i]) for call in calls for i in range(1, len(call))]
        assert counts == [2] * 6  # held by the call tuple only (and getrefcount's argument)

    def test_cycle_through_the_lock_is_collected(self):
        class Lock:
            def __enter__(self):
                return self

            def __exit__(self, *exc):
                return False

        lock = Lock()
        b = make_broker(lock=lock, cuids={(1, 1)})
        lock.owner = b
        b.msg_received(record(1, 1, 1), None)  # one datagram stays queued
        ref = weakref.ref(b)
        del b, lock
        gc.collect()
        assert ref() is None
