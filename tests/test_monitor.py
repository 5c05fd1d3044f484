"""Microcontroller status monitor: decoding, hook order, status changes, rejections."""
import gc
import sys
import weakref

import pytest

from tests.wire import f32, pack
from vantor.cluster.workers import boardwatch


class Watcher(boardwatch.SpeedUpProtocol):
    def __init__(self, *args, **kwargs):
        self.calls = []

    def on_temp(self, temp1, temp2):
        self.calls.append(("temp", temp1, temp2))

    def set_pll_lock(self, pllLock):
        self.calls.append(("pll", pllLock))

    def on_status_change(self, status):
        self.calls.append(("status", status))

    def changes(self):
        return [c[1] for c in self.calls if c[0] == "status"]


def frame(status=0, pll=1, temp1=20.0, temp2=30.0, mcu=4, error=0):
    return pack("mcu_message", mcuId=mcu, mcuStatus=status, mcuError=error, pllLock=pll,
                temp1=temp1, temp2=temp2)


class TestReports:
    def test_status_zero_on_a_new_object_is_no_change(self):
        w = Watcher()
        w.msg_received([frame(status=0, pll=1, temp1=1.5, temp2=-2.0)])
        assert w.calls == [("temp", 1.5, -2.0), ("pll", 1)]

    def test_only_changes_are_reported(self):
        w = Watcher()
        for status in (3, 3, 0, 0, 3):
            w.msg_received([frame(status=status)])
        assert w.changes() == [3, 0, 3]
        assert [c[0] for c in w.calls].count("temp") == 5

    def test_order_of_reports(self):
        w = Watcher()
        w.msg_received([frame(status=255, pll=200)])
        assert [c[0] for c in w.calls] == ["temp", "pll", "status"]
        assert w.calls[1:] == [("pll", 200), ("status", 255)]
        assert all(type(v) is int for v in (w.calls[1][1], w.calls[2][1]))

    def test_temperatures_are_the_binary32_values(self):
        w = Watcher()
        w.msg_received([frame(temp1=21.3, temp2=-0.1)])
        _, t1, t2 = w.calls[0]
        assert t1 == 21.299999237060547 and t2 == f32(-0.1)
        assert type(t1) is float

    @pytest.mark.parametrize("first", [
        bytearray(frame(status=7, pll=2, temp1=5.0)),
        type("Frame", (bytes,), {})(frame(status=7, pll=2, temp1=5.0)),
        type("Frame", (bytearray,), {})(frame(status=7, pll=2, temp1=5.0)),
        frame(status=7, pll=2, temp1=5.0) + b"\xff" * 8,  # 20 bytes: the rest ignored
    ])
    def test_frame_types_and_surplus(self, first):
        w = Watcher()
        w.msg_received([first, b"ignored", None])
        assert w.calls == [("temp", 5.0, 30.0), ("pll", 2), ("status", 7)]

    def test_keyword(self):
        w = Watcher()
        w.msg_received(msg_b=[frame(status=1)])
        assert w.changes() == [1]

    def test_base_hooks_run_where_not_overridden(self):
        class OnlyPll(boardwatch.SpeedUpProtocol):
            def set_pll_lock(self, pllLock):
                self.pll = pllLock

        w = OnlyPll()
        w.msg_received([frame(status=9, pll=3)])
        assert w.pll == 3

    def test_instance_attribute_overrides_the_hook(self):
        class OnlyPll(boardwatch.SpeedUpProtocol):
            def set_pll_lock(self, pllLock):
                pass

        w, seen = OnlyPll(), []
        w.on_status_change = seen.append
        w.msg_received([frame(status=9)])
        assert seen == [9]

    def test_hooks_added_to_and_removed_from_the_class_later(self):
        # The answer "does the class replace the hook" is remembered per
        # class; changing the class (or its base) must be seen at once.
        class Base(boardwatch.SpeedUpProtocol):
            def set_pll_lock(self, pllLock):
                pass

        class Late(Base):
            pass

        w, seen = Late(), []
        w.msg_received([frame(status=1, temp1=1.0)])
        Late.on_temp = lambda self, t1, t2: seen.append(("late", t1))
        w.msg_received([frame(status=2, temp1=2.0)])
        del Late.on_temp
        Base.on_temp = lambda self, t1, t2: seen.append(("base", t1))
        w.msg_received([frame(status=3, temp1=3.0)])
        del Base.on_temp
        w.msg_received([frame(status=4, temp1=4.0)])
        assert seen == [("late", 2.0), ("base", 3.0)]


class TestFailures:
    @pytest.mark.parametrize("msg_b, error, message", [
        ((frame(),), TypeError, "Argument 'msg_b' has incorrect type (expected list, got tuple)"),
        (type("L", (list,), {})([frame()]), TypeError,
         "Argument 'msg_b' has incorrect type (expected list, got L)"),
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ([], IndexError, "list index out of range"),
        (["text"], TypeError, "expected bytes, str found"),
        ([memoryview(frame())], TypeError, "expected bytes, memoryview found"),
        ([frame()[:11]], ValueError, "mcu_message record needs 12 bytes, frame has 11"),
        ([b""], ValueError, "mcu_message record needs 12 bytes, frame has 0"),
    ])
    def test_rejected_before_any_report(self, msg_b, error, message):
        w = Watcher()
        w.msg_received([frame(status=5)])
        w.calls.clear()
        with pytest.raises(error) as exc:
            w.msg_received(msg_b)
        assert str(exc.value) == message
        assert w.calls == []
        w.msg_received([frame(status=5)])  # status unchanged by the rejected message
        assert w.changes() == []

    def test_base_class_fails_at_set_pll_lock(self):
        m = boardwatch.SpeedUpProtocol()
        for _ in range(2):
            with pytest.raises(AttributeError, match="set_pll_lock"):
                m.msg_received([frame(status=3)])

    def test_missing_set_pll_lock_leaves_the_status(self):
        class NoPll(Watcher):
            set_pll_lock = property(lambda self: self.no_such_attribute)

        w = NoPll()
        with pytest.raises(AttributeError):
            w.msg_received([frame(status=3)])
        assert [c[0] for c in w.calls] == ["temp"]
        del NoPll.set_pll_lock
        w.msg_received([frame(status=3)])
        assert w.changes() == [3]

    def test_failing_on_temp_stops_everything(self):
        w = Watcher()
        w.on_temp = lambda t1, t2: 1 / 0
        with pytest.raises(ZeroDivisionError):
            w.msg_received([frame(status=3)])
        assert w.calls == []
        del w.on_temp
        w.msg_received([frame(status=3)])
        assert w.changes() == [3]

    def test_status_is_stored_before_the_change_is_reported(self):
        w = Watcher()
        w.on_status_change = lambda status: 1 / 0
        with pytest.raises(ZeroDivisionError):
            w.msg_received([frame(status=3)])
        del w.on_status_change
        w.msg_received([frame(status=3)])
        w.msg_received([frame(status=4)])
        assert w.changes() == [4]

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "msg_received() takes exactly 1 positional argument (0 given)"),
        (([frame()], 1), {}, "msg_received() takes exactly 1 positional argument (2 given)"),
        ((), {"msg": [frame()]}, "msg_received() got an unexpected keyword argument 'msg'"),
    ])
    def test_arity(self, args, kwargs, message):
        with pytest.raises(TypeError) as exc:
            Watcher().msg_received(*args, **kwargs)
        assert str(exc.value) == message


class TestBaseHooks:
    DOC = "This function has to be overwritten.\nIt tells the program what to do with {}"

    def test_documentation(self):
        base = boardwatch.SpeedUpProtocol
        assert base.on_temp.__doc__ == self.DOC.format("new temperature data")
        assert base.on_status_change.__doc__ == self.DOC.format("a new status")

    def test_constructor_ignores_its_arguments(self):
        boardwatch.SpeedUpProtocol(1, "two", three=3)

    @pytest.mark.parametrize("call", [
        lambda m: m.on_temp(1, 2.5),
        lambda m: m.on_temp(temp2=True, temp1=-1e300),
        lambda m: m.on_status_change(0),
        lambda m: m.on_status_change(status=[1]),
    ])
    def test_do_nothing(self, call):
        assert call(boardwatch.SpeedUpProtocol()) is None

    @pytest.mark.parametrize("call, error", [
        (lambda m: m.on_temp("1", 2), TypeError),
        (lambda m: m.on_temp(1), TypeError),
        (lambda m: m.on_status_change(type("Bad", (), {"__bool__": lambda s: 1 / 0})()), ZeroDivisionError),
        (lambda m: m.on_status_change(), TypeError),
    ])
    def test_argument_checks(self, call, error):
        with pytest.raises(error):
            call(boardwatch.SpeedUpProtocol())


class TestReferences:
    def test_frames_are_not_kept_and_cycles_are_collected(self):
        w = Watcher()
        frames = [frame(status=1), bytearray(frame(status=2))]
        before = [sys.getrefcount(f) for f in frames]
        w.msg_received([frames[0]])
        w.msg_received([frames[1]])
        with pytest.raises(ValueError):
            w.msg_received([frames[0][:5]])
        assert [sys.getrefcount(f) for f in frames] == before
        w.me = w
        ref = weakref.ref(w)
        del w
        gc.collect()
        assert ref() is None
