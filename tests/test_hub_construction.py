"""Hub construction: allocation defaults, the device look-up, the stored range, lifetime."""
import copy
import gc
import pickle
import sys
import weakref

import pytest

from tests.test_hub_helpers import Hub, Mcu, Pairs, Settings, Unit, feedhub, make_hub, rec, settings


def device_keys(hub):
    """Device positions as get_iv numbers them (1..totdev)."""
    return list(hub.get_iv(0.0, 0.0, 1)["counts"])[1:]


class TestAllocation:
    def test_length_is_an_instance_attribute(self):
        hub = make_hub()
        assert hub.length == 0 and vars(hub)["length"] == 0

    def test_initial_iv_result(self):
        hub = make_hub(1, 2, 3)
        cached = hub.get_iv_data()
        assert list(cached) == ["running", "timestamp_started", "counts", "monitorV", "biasSweepTs"]
        assert cached["running"] is False and cached["timestamp_started"] == 0
        assert type(cached["timestamp_started"]) is int and cached["biasSweepTs"] == []
        for table in ("counts", "monitorV"):
            assert list(cached[table]) == ["biasI", 1, 2, 3]
            assert all(v == [] for v in cached[table].values())
        # every list its own object
        lists = [v for t in ("counts", "monitorV") for v in cached[t].values()]
        assert len({id(v) for v in lists}) == len(lists)
        assert hub.get_iv_data() is cached

    @pytest.mark.parametrize("cls", [
        feedhub.SpeedUpProtocol,
        type("Slotted", (feedhub.SpeedUpProtocol,), {"__slots__": ()}),
    ])
    def test_without_attribute_storage_fails(self, cls):
        with pytest.raises(AttributeError, match="length"):
            cls(settings())

    def test_length_storage_may_call_the_hub(self):
        class Probing(Hub):
            @property
            def length(self):
                return self._length

            @length.setter
            def length(self, value):
                self._length = value
                self.seen = (self.get_iv_data()["running"], self.get_min_max(), self.get_biasSweepTs(),
                             self.gen_iv_data()["counts"])

        hub = Probing(settings(1))
        assert hub.seen == (False, (0.0, 0.0, 1), [], {"biasI": [0.0]})
        assert hub.length == 0 and list(hub.get_iv_data()["counts"]) == ["biasI", 1]

    def test_half_built_hub_kept_by_failing_storage_is_safe(self):
        kept = []

        class Keeper(Hub):
            def __setattr__(self, name, value):
                kept.append(self)
                raise RuntimeError("no storage")

        with pytest.raises(RuntimeError, match="no storage"):
            Keeper(settings(1))
        (hub,) = kept
        assert hub.get_iv_data()["running"] is False and hub.get_min_max() == (0.0, 0.0, 1)
        assert hub.get_biasSweepTs() == [] and hub.getRecordData() == {}
        with pytest.raises(ValueError, match="rank 1 does not name a device"):
            hub.msg_received([rec(rank=1)])

    def test_cannot_be_pickled_or_copied(self):
        hub = make_hub(1)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError, match="cannot pickle"):
                pickle.dumps(hub, protocol)
        with pytest.raises(TypeError):
            copy.copy(hub)


class TestLookUp:
    def test_no_devices(self):
        hub = make_hub()
        assert hub.get_min_max() == (0.0, 0.0, 1)
        assert hub.get_biasSweepTs() == [] and device_keys(hub) == []

    def test_visiting_order_over_microcontrollers(self):
        units = [Unit(r) for r in (1, 2, 3)]
        for u, t in zip(units, (11, 22, 33)):
            u.configuration.biasSweepT = t
        hub = Hub(Settings({7: Mcu({0: units[0]}), 3: Mcu({}), 5: Mcu({9: units[1], 1: units[2]})}))
        assert hub.get_biasSweepTs() == [11, 22, 33]
        assert device_keys(hub) == [1, 2, 3]

    def test_duplicate_ranks(self):
        first, second = Unit(1), Unit(1)
        first.configuration.biasSweepT, second.configuration.biasSweepT = "first", "second"
        hub = Hub(settings(first, second))
        assert device_keys(hub) == [1, 2]           # two positions
        assert hub.get_biasSweepTs() == ["second"]  # one look-up entry, the later unit
        assert list(hub.get_iv_data()["counts"]) == ["biasI", 1]

    def test_second_call_appends(self):
        s = settings(1, 2)
        hub = Hub(s)
        assert hub.create_look_up(s) is None
        assert device_keys(hub) == [1, 2, 3, 4]
        hub.msg_received([rec(rank=4, timestamp=1.0)])  # position 4 now exists

    def test_items_only_mappings(self):
        hub = Hub(Settings(Pairs([(0, Mcu(Pairs([(0, Unit(1)), (1, Unit(2))])))])))
        assert device_keys(hub) == [1, 2]

    def test_keyword_argument(self):
        assert device_keys(Hub(settings_obj=settings(1))) == [1]
        hub = make_hub()
        hub.create_look_up(settings=settings(1))
        assert device_keys(hub) == [1]


class TestLookUpFailures:
    @pytest.mark.parametrize("devices, error, message", [
        (None, AttributeError, "^'NoneType' object has no attribute 'items'$"),
        (Pairs([(0, Mcu({}), 3)]), ValueError, r"^too many values to unpack \(expected 2\)$"),
        (Pairs([(0,)]), ValueError, "^need more than 1 value to unpack$"),
        (Pairs([()]), ValueError, "^need more than 0 values to unpack$"),
        (Pairs([5]), TypeError, "not iterable"),
        ({0: object()}, AttributeError, "channels"),
        ({0: Mcu(None)}, AttributeError, "^'NoneType' object has no attribute 'items'$"),
        ({0: Mcu({0: object()})}, AttributeError, "rank"),
        ({0: Mcu({0: Unit([1])})}, TypeError, "unhashable"),
    ])
    def test_rejections(self, devices, error, message):
        with pytest.raises(error, match=message):
            Hub(Settings(devices))

    def test_missing_devices_attribute(self):
        with pytest.raises(AttributeError, match="devices"):
            Hub(object())

    def test_entries_before_a_failure_stay(self):
        hub = make_hub(1)
        with pytest.raises(AttributeError):
            hub.create_look_up(Settings({0: Mcu({0: Unit(2), 1: object(), 2: Unit(3)})}))
        assert device_keys(hub) == [1, 2]
        assert list(hub.get_iv_data()["counts"]) == ["biasI", 1, 2]
        hub.msg_received([rec(rank=2, timestamp=1.0)])
        with pytest.raises(ValueError, match="rank 3"):
            hub.msg_received([rec(rank=3, timestamp=1.0)])

    def test_dict_changing_size_during_walk(self):
        channels = {}

        class Growing(Unit):
            @property
            def rank(self):
                channels[len(channels) + 10] = Unit(99)
                return 1

            @rank.setter
            def rank(self, value):
                pass

        channels[0] = Growing(1)
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            Hub(Settings({0: Mcu(channels)}))


class TestStoredRange:
    @pytest.mark.parametrize("result, error, message", [
        (None, TypeError, "^'NoneType' object is not iterable$"),
        ((1.0, 2.0), ValueError, "^need more than 2 values to unpack$"),
        ((1.0, 2.0, 3, 4), ValueError, r"^too many values to unpack \(expected 3\)$"),
        ([1.0, 2.0, 3], TypeError, "^Expected tuple, got list$"),
        ((0.0, 0.0, 2**31), OverflowError, "^value too large to convert to int$"),
        (("a", 0.0, 1), TypeError, "must be real number"),
    ])
    def test_get_min_max_override_is_checked(self, result, error, message):
        class Bad(Hub):
            def get_min_max(self):
                return result

        with pytest.raises(error, match=message):
            Bad(settings(1))

    def test_construction_does_not_notify_the_front_end(self):
        hub = make_hub(1)
        assert hub.calls == []

    def test_stored_range_is_what_a_running_sweep_compares_with(self):
        # Built with (1e-6, 5e-6); a second channel starting while the first
        # sweeps with an unchanged range sends nothing.
        hub = make_hub(1, 2)
        hub.msg_received([rec(rank=1, status=2, timestamp=1.0)])
        hub.msg_received([rec(rank=2, status=2, timestamp=1.0)])
        assert len(hub.hooks("resetIvFrontend")) == 1


class TestArguments:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, r"^__init__\(\) takes exactly 1 positional argument \(0 given\)$"),
        ((1, 2), {}, r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"),
        ((), {"setting": 1}, r"^__init__\(\) got an unexpected keyword argument 'setting'$"),
    ])
    def test_constructor_arity(self, args, kwargs, message):
        class Plain(feedhub.SpeedUpProtocol):
            pass

        with pytest.raises(TypeError, match=message):
            Plain(*args, **kwargs)

    @pytest.mark.parametrize("method, args", [
        ("create_look_up", ()), ("get_min_max", (1,)), ("get_biasSweepTs", (1,)), ("get_iv", (1, 2)),
        ("gen_iv_data", (1,)), ("get_iv_data", (1,)), ("msg_received", ()), ("startRecording", ()),
        ("stopRecording", (1,)), ("getRecordData", (1,)), ("streamData", ()), ("streamIvData", (1, 2)),
        ("resetIvFrontend", (1, 2)),
    ])
    def test_method_arity(self, method, args):
        with pytest.raises(TypeError, match=rf"^{method}\(\) takes exactly \d positional arguments? "):
            getattr(feedhub.SpeedUpProtocol, method)(make_hub(1), *args)

    def test_hooks_check_their_arguments(self):
        hub = feedhub.SpeedUpProtocol.__new__(Hub)
        base = feedhub.SpeedUpProtocol
        assert base.streamData(hub, b"x") is None and base.streamData(hub, data=None) is None
        assert base.streamIvData(hub, {}) is None
        assert base.resetIvFrontend(hub, stop=1, start="a", steps=None) is None
        with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected bytes, got bytearray\)$"):
            base.streamData(hub, bytearray())
        with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got list\)$"):
            base.streamIvData(hub, [])


class TestLifetime:
    def test_cycle_through_settings_is_collected(self):
        s = settings(1)
        hub = Hub(s)
        s.hub = hub
        ref = weakref.ref(hub)
        del hub, s
        gc.collect()
        assert ref() is None

    def test_no_references_leak_in_a_busy_cycle(self):
        hub = make_hub(1, 2)

        def work(i):
            hub.msg_received([rec(rank=1, status=2, biasI=1e-6, counts=i, timestamp=float(i))])
            hub.msg_received([rec(rank=2, timestamp=float(i))])
            hub.msg_received([rec(rank=1, timestamp=float(i) + 0.5)])
            hub.startRecording([1, 2])
            hub.msg_received([rec(rank=2, timestamp=float(i) + 0.7)])
            hub.stopRecording()
            hub.get_iv(0.0, 1e-7, 10)
            hub.calls.clear()

        for i in range(200):
            work(i)
        gc.collect()
        before = sys.getallocatedblocks()
        for i in range(2000):
            work(i)
        gc.collect()
        assert sys.getallocatedblocks() - before < 200
