"""Recording start/stop/harvest, result tables, and the RecordData value class."""
import pytest

from tests.test_hub_helpers import Hub, f32, feed, feedhub, make_hub, rec, settings


def times(table, rank):
    return [p["time"] for p in table[rank]]


class Counting(Hub):
    """Counts stops, including the hub's own."""
    stops = 0

    def stopRecording(self):
        self.stops += 1
        return super().stopRecording()


class TestRecording:
    def test_new_hub_has_no_result(self):
        assert make_hub(1).getRecordData() == {}

    def test_harvest(self):
        hub = make_hub(1, 2)
        hub.startRecording([2])
        feed(hub, rec(rank=2, timestamp=1.5, counts=10, monitorV=0.1), rec(rank=1, timestamp=1.5),
             rec(rank=2, timestamp=2.5, counts=11), rec(rank=2, timestamp=3.5, counts=4294967295))
        table = hub.stopRecording()
        assert list(table) == [2]
        assert table[2] == [{"time": 1.5, "counts": 10, "monitorV": f32(0.1)},
                            {"time": 2.5, "counts": 11, "monitorV": 0.0},
                            {"time": 3.5, "counts": 4294967295, "monitorV": 0.0}]
        assert [list(p) for p in table[2]] == [["time", "counts", "monitorV"]] * 3
        assert hub.getRecordData() == table

    def test_keys_ascend_and_silent_units_are_present(self):
        hub = make_hub(1, 2, 3)
        hub.startRecording([3, 1])
        feed(hub, rec(rank=3, timestamp=1.0))
        assert hub.stopRecording() == {1: [], 3: [{"time": 1.0, "counts": 0, "monitorV": 0.0}]}

    def test_statuses(self):
        hub = make_hub(1)
        hub.startRecording([1])
        feed(hub, rec(status=100, timestamp=1.0), rec(status=200, timestamp=2.0),
             rec(status=2, timestamp=3.0), rec(status=0, timestamp=4.0))
        assert times(hub.stopRecording(), 1) == [3.0, 4.0]

    def test_restart_harvests_first(self):
        hub = make_hub(1, 2)
        hub.startRecording([2])
        feed(hub, rec(rank=2, timestamp=1.0))
        hub.startRecording([1])
        assert times(hub.getRecordData(), 2) == [1.0]
        feed(hub, rec(rank=1, timestamp=2.0), rec(rank=2, timestamp=2.0))
        assert hub.stopRecording() == {1: [{"time": 2.0, "counts": 0, "monitorV": 0.0}]}

    def test_second_stop_is_empty(self):
        hub = make_hub(1)
        hub.startRecording([1])
        feed(hub, rec(timestamp=1.0))
        assert hub.stopRecording() != {}
        assert hub.stopRecording() == {} and hub.getRecordData() == {}

    def test_empty_selection(self):
        hub = make_hub(1)
        hub.startRecording(channels=[])
        feed(hub, rec(timestamp=1.0))
        assert hub.stopRecording() == {}

    def test_repeated_ranks_and_integer_conversion(self):
        hub = make_hub(1, 2)
        hub.startRecording([1, 1, 2.9, True])
        feed(hub, rec(rank=2, timestamp=1.0), rec(rank=1, timestamp=1.0))
        assert list(hub.stopRecording()) == [1, 2]

    def test_tables_are_fresh(self):
        hub = make_hub(1)
        hub.startRecording([1])
        feed(hub, rec(timestamp=1.0))
        table = hub.stopRecording()
        table[1][0]["time"] = 99.0
        table[1].append(None)
        table[5] = []
        assert hub.getRecordData() == {1: [{"time": 1.0, "counts": 0, "monitorV": 0.0}]}
        assert hub.getRecordData() is not hub.getRecordData()

    def test_result_survives_a_new_recording(self):
        hub = make_hub(1)
        hub.startRecording([1])
        feed(hub, rec(timestamp=1.0))
        hub.stopRecording()
        hub.startRecording([1])
        feed(hub, rec(timestamp=2.0))
        assert times(hub.getRecordData(), 1) == [1.0]


class TestRejections:
    @pytest.mark.parametrize("channels", [(1, 2), {1}, 1, type("Ranks", (list,), {})([1])])
    def test_not_a_list_changes_nothing(self, channels):
        hub = Counting(settings(1))
        hub.startRecording([1])
        hub.stops = 0
        with pytest.raises(TypeError, match=r"^Argument 'channels' has incorrect type \(expected list, got "):
            hub.startRecording(channels)
        assert hub.stops == 0
        feed(hub, rec(timestamp=1.0))
        assert times(hub.stopRecording(), 1) == [1.0]

    def test_none_leaves_recording_on(self):
        hub = Counting(settings(1))
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            hub.startRecording(None)
        hub.startRecording([1])  # still recording: this start stops first
        assert hub.stops == 1

    @pytest.mark.parametrize("bad, error, message", [
        ("2", TypeError, "^an integer is required$"),
        (None, TypeError, "^an integer is required$"),
        (2**31, OverflowError, "^value too large to convert to int$"),
        (-2**31 - 1, OverflowError, "^value too large to convert to int$"),
        (0, ValueError, r"^startRecording: rank 0 does not name a device \(the hub knows 2\)$"),
        (3, ValueError, r"^startRecording: rank 3 does not name a device \(the hub knows 2\)$"),
        (-1, ValueError, "rank -1 "),
    ])
    def test_bad_element_keeps_earlier_flags(self, bad, error, message):
        hub = make_hub(1, 2)
        with pytest.raises(error, match=message):
            hub.startRecording([1, bad, 2])
        feed(hub, rec(rank=1, timestamp=1.0), rec(rank=2, timestamp=1.0))
        assert list(hub.stopRecording()) == [1]

    def test_failing_harvest_stops_the_start(self):
        class Stuck(Hub):
            def stopRecording(self):
                raise RuntimeError("disk full")

        hub = Stuck(settings(1, 2))
        hub.startRecording([1])
        with pytest.raises(RuntimeError, match="disk full"):
            hub.startRecording([2])
        feed(hub, rec(rank=2, timestamp=1.0))
        assert feedhub.SpeedUpProtocol.stopRecording(hub) == {1: []}

    def test_list_shrinking_during_conversion(self):
        ranks = []

        class Rank:
            def __int__(self):
                ranks.clear()
                return 1

        ranks.extend([Rank(), 2, 2])
        hub = make_hub(1, 2)
        hub.startRecording(ranks)
        assert list(hub.stopRecording()) == [1]


class TestOverridesReachedInternally:
    def test_stop_calls_get_record_data_override(self):
        class Custom(Hub):
            def getRecordData(self):
                return {"custom": 1}

        hub = Custom(settings(1))
        hub.startRecording([1])
        assert hub.stopRecording() == {"custom": 1}

    def test_wrong_stop_result_fails_the_restart(self):
        hub = make_hub(1)
        hub.startRecording([1])
        hub.stopRecording = lambda: [1]
        with pytest.raises(TypeError, match="^Expected dict, got list$"):
            hub.startRecording([1])

    def test_wrong_table_type_fails_the_stop(self):
        hub = make_hub(1)
        hub.getRecordData = lambda: (1,)
        with pytest.raises(TypeError, match="^Expected dict, got tuple$"):
            hub.stopRecording()

    def test_none_result_passes(self):
        hub = make_hub(1)
        hub.getRecordData = lambda: None
        assert hub.stopRecording() is None


class TestRecordData:
    def test_example(self):
        r = feedhub.RecordData(1, 2, 0.1, 5, 12.5)
        assert (r.mcuId, r.cuId, r.monitorV, r.counts, r.timestamp) == (1, 2, 0.10000000149011612, 5, 12.5)

    def test_keywords_and_truncation(self):
        r = feedhub.RecordData(timestamp=1, counts=3.7, monitorV=2, cuId=255, mcuId=1.9)
        assert (r.mcuId, r.cuId, r.monitorV, r.counts, r.timestamp) == (1, 255, 2.0, 3, 1.0)
        assert type(r.timestamp) is float and type(r.monitorV) is float

    @pytest.mark.parametrize("args, error, message", [
        ((1, 256, 0.0, 0, 0.0), OverflowError, "^value too large to convert to uint8_t$"),
        ((1, -1, 0.0, 0, 0.0), OverflowError, "^can't convert negative value to uint8_t$"),
        ((1, 2, 0.0, -1, 0.0), OverflowError, "^can't convert negative value to uint32_t$"),
        ((1, 2, 0.0, 2**32, 0.0), OverflowError, "^value too large to convert to uint32_t$"),
        ((2**31, 2, 0.0, 0, 0.0), OverflowError, "^value too large to convert to int$"),
        (("1", 2, 0.0, 0, 0.0), TypeError, "^an integer is required$"),
        ((1, 2, "x", 0, 0.0), TypeError, "must be real number"),
        ((1, 2, 0.0, 0, None), TypeError, "must be real number"),
        ((1, 2, 0.0, 0), TypeError, r"^__init__\(\) takes exactly 5 positional arguments \(4 given\)$"),
    ])
    def test_construction_errors(self, args, error, message):
        with pytest.raises(error, match=message):
            feedhub.RecordData(*args)

    @pytest.mark.parametrize("attr, bad", [
        ("mcuId", 2**40), ("cuId", 300), ("monitorV", "v"), ("counts", -5), ("timestamp", [])])
    def test_setter_failure_keeps_value(self, attr, bad):
        r = feedhub.RecordData(1, 2, 0.5, 5, 12.5)
        before = getattr(r, attr)
        with pytest.raises((TypeError, OverflowError)):
            setattr(r, attr, bad)
        assert getattr(r, attr) == before

    @pytest.mark.parametrize("attr", ["mcuId", "cuId", "monitorV", "counts", "timestamp"])
    def test_delete_refused(self, attr):
        r = feedhub.RecordData(1, 2, 0.5, 5, 12.5)
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(r, attr)

    def test_setters_round_monitor_voltage(self):
        r = feedhub.RecordData(0, 0, 0.0, 0, 0.0)
        r.monitorV, r.timestamp, r.mcuId = 0.1, 0.1, -7
        assert (r.monitorV, r.timestamp, r.mcuId) == (f32(0.1), 0.1, -7)

    def test_subclassable(self):
        class Sample(feedhub.RecordData):
            pass

        assert Sample(1, 2, 0.0, 3, 4.0).counts == 3
