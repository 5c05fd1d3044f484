"""Stream intake: silence records, sweep state, live batches and rejected input."""
import math

import pytest

from tests.test_hub_helpers import Configuration, Hub, Unit, f32, feed, make_hub, rec, settings


class TestBatches:
    def test_worked_example(self):
        hub = make_hub(1, 2, 3)
        records = [rec(rank=r, timestamp=5.0, counts=r) for r in (1, 2, 3)]
        feed(hub, *records)
        assert hub.calls == [("streamData", b"")]
        last = rec(rank=1, timestamp=6.0)
        feed(hub, last)
        assert hub.calls == [("streamData", b""), ("streamData", b"".join(records))]
        assert len(hub.calls[1][1]) == 96 and type(hub.calls[0][1]) is bytes
        feed(hub, rec(rank=2, timestamp=7.0))
        assert hub.calls[-1] == ("streamData", last)

    def test_first_record_at_time_zero_sends_nothing(self):
        hub = make_hub(1)
        feed(hub, rec(timestamp=0.0))
        assert hub.calls == []

    def test_nan_timestamp_always_starts_a_batch(self):
        hub = make_hub(1)
        a, b = rec(timestamp=math.nan, counts=1), rec(timestamp=math.nan, counts=2)
        feed(hub, a, b)
        assert hub.calls == [("streamData", b""), ("streamData", a)]

    def test_long_frame_is_batched_whole(self):
        hub = make_hub(1)
        long = rec(timestamp=1.0) + b"tail"
        feed(hub, long, rec(timestamp=2.0))
        assert hub.calls[-1] == ("streamData", long)

    def test_further_list_elements_are_ignored(self):
        hub = make_hub(1)
        hub.msg_received([rec(timestamp=1.0), "ignored", None])
        hub.msg_received(msg=[rec(timestamp=2.0)])
        assert hub.calls[-1] == ("streamData", rec(timestamp=1.0))

    def test_failed_flush_keeps_the_batch(self):
        class Flaky(Hub):
            fail = False

            def streamData(self, data):
                if self.fail:
                    raise ConnectionError("front end gone")
                super().streamData(data)

        hub = Flaky(settings(1))
        first = rec(timestamp=1.0)
        feed(hub, first)
        hub.fail = True
        with pytest.raises(ConnectionError):
            feed(hub, rec(timestamp=2.0, counts=9))
        hub.fail = False
        feed(hub, rec(timestamp=3.0))
        assert hub.calls[-1] == ("streamData", first)

    def test_hook_that_feeds_the_hub(self):
        # A host draining its queue from inside the hook: the nested record
        # must neither resend the batch being flushed nor be dropped after.
        class Draining(Hub):
            queue = []

            def streamData(self, data):
                super().streamData(data)
                while self.queue:
                    self.msg_received([self.queue.pop(0)])

        hub = Draining(settings(1))
        a, b, c = rec(timestamp=1.0, counts=1), rec(timestamp=2.0, counts=2), rec(timestamp=2.0, counts=3)
        feed(hub, a)
        hub.queue.append(c)
        feed(hub, b, rec(timestamp=3.0))
        assert hub.hooks("streamData") == [b"", a, c + b]

    def test_failed_flush_with_a_record_fed_meanwhile_loses_nothing(self):
        class Failing(Hub):
            queue, fail = [], False

            def streamData(self, data):
                super().streamData(data)
                while self.queue:
                    self.msg_received([self.queue.pop(0)])
                if self.fail:
                    raise ConnectionError("front end gone")

        hub = Failing(settings(1))
        a, c = rec(timestamp=1.0, counts=1), rec(timestamp=2.0, counts=3)
        feed(hub, a)
        hub.queue.append(c)
        hub.fail = True
        with pytest.raises(ConnectionError):
            feed(hub, rec(timestamp=2.0, counts=2))
        hub.fail = False
        feed(hub, rec(timestamp=5.0))
        assert hub.hooks("streamData")[-1] == a + c

    def test_batch_grows_across_many_records(self):
        hub = make_hub(1)
        records = [rec(timestamp=1.0, counts=i) for i in range(5000)]
        feed(hub, *records, rec(timestamp=2.0))
        assert hub.calls[-1] == ("streamData", b"".join(records))


class TestSilenceRecords:
    @pytest.mark.parametrize("status", [100, 200])
    def test_forwarded_alone(self, status):
        hub = make_hub(1, 2)
        hub.startRecording([1])
        feed(hub, rec(rank=1, status=2, timestamp=1.0))
        hub.calls.clear()
        silence = rec(rank=1, status=status) + b"x"
        feed(hub, silence)
        assert hub.calls == [("streamData", silence)]
        # the sweep still runs, the batch of 1.0 still gathers, nothing was recorded
        assert hub.get_iv_data()["running"] is True
        feed(hub, rec(rank=2, timestamp=1.0), rec(rank=2, timestamp=2.0))
        assert hub.calls[-1] == ("streamData", rec(rank=1, status=2, timestamp=1.0) + rec(rank=2, timestamp=1.0))
        assert [p["time"] for p in hub.stopRecording()[1]] == [1.0]


class TestSweeps:
    def test_single_channel(self):
        hub = make_hub(1)
        feed(hub, rec(status=2, biasI=-2e-6, counts=3, timestamp=4.0))
        assert hub.calls == [("resetIvFrontend", (f32(1e-6), f32(5e-6), 401)), ("streamData", b"")]
        assert hub.get_iv_data()["timestamp_started"] == 4.0
        feed(hub, rec(status=2, biasI=-3e-6, counts=4, timestamp=4.0))
        hub.calls.clear()
        feed(hub, rec(status=0, timestamp=5.0))
        (name, result), (flush, _) = hub.calls
        assert (name, flush) == ("streamIvData", "streamData")  # result before the flush
        assert result["counts"][1][100] == 3 and result["counts"][1][200] == 4
        assert hub.get_iv_data() is result

    def test_other_status_values_end_a_sweep(self):
        hub = make_hub(1)
        feed(hub, rec(status=2), rec(status=3))
        assert len(hub.hooks("streamIvData")) == 1

    def test_result_only_when_the_last_sweep_ends(self):
        hub = make_hub(1, 2)
        feed(hub, rec(rank=1, status=2), rec(rank=2, status=2), rec(rank=1))
        assert hub.hooks("streamIvData") == []
        feed(hub, rec(rank=2))
        assert len(hub.hooks("streamIvData")) == 1

    def test_timestamp_started_follows_the_latest_channel(self):
        hub = make_hub(1, 2)
        feed(hub, rec(rank=1, status=2, timestamp=1.0), rec(rank=2, status=2, timestamp=2.0))
        assert hub.get_iv_data()["timestamp_started"] == 2.0

    def test_range_notice_while_others_sweep_only_on_change(self):
        units = [Unit(1), Unit(2), Unit(3)]
        hub = Hub(settings(*units))
        feed(hub, rec(rank=1, status=2), rec(rank=2, status=2))
        assert len(hub.hooks("resetIvFrontend")) == 1
        units[2].configuration.biasIStop = 9e-6
        feed(hub, rec(rank=3, status=2))
        assert hub.hooks("resetIvFrontend")[-1] == (f32(1e-6), f32(9e-6), 801)

    def test_first_channel_always_notifies(self):
        hub = make_hub(1)
        feed(hub, rec(status=2), rec(status=0), rec(status=2))
        assert len(hub.hooks("resetIvFrontend")) == 2

    def test_unconverted_range_is_compared(self):
        # a host range that float32 cannot hold differs from the stored one
        class Precise(Hub):
            def get_min_max(self):
                return (1e-6, 5e-6, 401)

        hub = Precise(settings(1, 2))
        feed(hub, rec(rank=1, status=2), rec(rank=2, status=2))
        assert hub.hooks("resetIvFrontend") == [(f32(1e-6), f32(5e-6), 401)] * 2

    def test_failed_range_refresh_retries_on_next_point(self):
        class Failing(Hub):
            attempts = 0

            def get_min_max(self):
                if self.attempts:
                    self.attempts += 1
                    raise RuntimeError("settings busy")
                self.attempts += 1
                return super().get_min_max()

        hub = Failing(settings(1))
        for _ in range(2):
            with pytest.raises(RuntimeError, match="settings busy"):
                feed(hub, rec(status=2, biasI=1e-6))
        assert hub.attempts == 3 and hub.get_iv_data()["running"] is False

    def test_failed_range_conversion_keeps_stored_range(self):
        class Odd(Hub):
            odd = False

            def get_min_max(self):
                return (0.0, "x", 1) if self.odd else super().get_min_max()

        hub = Odd(settings(1, 2))
        feed(hub, rec(rank=1, status=2))
        hub.odd = True
        with pytest.raises(TypeError):
            feed(hub, rec(rank=2, status=2))
        hub.odd = False
        feed(hub, rec(rank=2, status=2))
        assert len(hub.hooks("resetIvFrontend")) == 1  # stored range unchanged, so no notice


class TestRejectedInput:
    @pytest.mark.parametrize("msg, error, message", [
        (None, TypeError, "^'NoneType' object is not subscriptable$"),
        ([], IndexError, "^list index out of range$"),
        ([None], TypeError, "^expected bytes, NoneType found$"),
        ([bytearray(32)], TypeError, "^Expected bytes, got bytearray$"),
        ([memoryview(bytes(32))], TypeError, "^Expected bytes, got memoryview$"),
        ((rec(),), TypeError, r"^Argument 'msg' has incorrect type \(expected list, got tuple\)$"),
        (type("Frames", (list,), {})([rec()]), TypeError, r"^Argument 'msg' has incorrect type \(expected list, got Frames\)$"),
        ([rec()[:31]], ValueError, "^stream_data record needs 32 bytes, frame has 31$"),
        ([b""], ValueError, "^stream_data record needs 32 bytes, frame has 0$"),
        ([rec(rank=0)], ValueError, r"^stream record rank 0 does not name a device \(the hub knows 2\)$"),
        ([rec(rank=3, status=2)], ValueError, r"^stream record rank 3 does not name a device \(the hub knows 2\)$"),
        ([rec(rank=2**32 - 1, status=100)], ValueError, "rank 4294967295 "),
    ])
    def test_rejected_before_any_change(self, msg, error, message):
        hub = make_hub(1, 2)
        hub.startRecording([1, 2])
        first = rec(rank=1, status=2, timestamp=1.0)
        feed(hub, first)
        hub.calls.clear()
        with pytest.raises(error, match=message):
            hub.msg_received(msg)
        assert hub.calls == []
        feed(hub, rec(rank=2, timestamp=2.0))
        assert hub.calls == [("streamData", first)]
        assert [p["time"] for p in hub.stopRecording()[1]] == [1.0]

    def test_no_devices_accepts_no_record(self):
        with pytest.raises(ValueError, match="rank 1 "):
            make_hub().msg_received([rec(rank=1)])
