"""Hub and monitor under a faulty host: every hook of the intake raising in
turn, settings changed behind the hub's back, and hooks that call back into
the object while it is in the middle of a record."""
import math

import pytest

from tests.test_hub_helpers import Hub, Unit, feed, rec, settings
from tests.wire import pack
from vantor.cluster.workers import boardwatch


class Boom(Exception):
    pass


class Failing(Hub):
    """Hooks raise while their name is in `fail`."""

    def __init__(self, settings_obj):
        self.fail = set()
        super().__init__(settings_obj)

    def streamData(self, data):
        super().streamData(data)
        if "streamData" in self.fail:
            raise Boom

    def streamIvData(self, data):
        super().streamIvData(data)
        if "streamIvData" in self.fail:
            raise Boom

    def resetIvFrontend(self, start, stop, steps):
        super().resetIvFrontend(start, stop, steps)
        if "resetIvFrontend" in self.fail:
            raise Boom


class TestIntakeHooksRaise:
    def test_sweep_result_stays_cached_when_sending_it_fails(self):
        hub = Failing(settings(1))
        feed(hub, rec(timestamp=1.0, status=2, biasI=1e-6, counts=4))
        hub.fail.add("streamIvData")
        with pytest.raises(Boom):
            feed(hub, rec(timestamp=2.0))
        sent = hub.hooks("streamIvData")[-1]
        cached = hub.get_iv_data()
        assert cached["running"] is False and cached is sent  # stored before it was sent
        hub.fail.clear()
        hub.calls.clear()
        feed(hub, rec(timestamp=2.0), rec(timestamp=3.0))  # idle now: no second result
        assert hub.hooks("streamIvData") == []
        # the record whose result failed was not batched; its repeat was
        assert hub.hooks("streamData") == [rec(timestamp=1.0, status=2, biasI=1e-6, counts=4), rec(timestamp=2.0)]

    def test_range_notice_failure_retries_the_sweep_start(self):
        hub = Failing(settings(1))
        hub.fail.add("resetIvFrontend")
        with pytest.raises(Boom):
            feed(hub, rec(timestamp=1.0, status=2))
        assert hub.get_iv_data()["running"] is False
        hub.fail.clear()
        feed(hub, rec(timestamp=1.0, status=2))
        assert len(hub.hooks("resetIvFrontend")) == 2  # the start was tried again in full
        assert hub.get_iv_data()["timestamp_started"] == 1.0

    def test_failed_silence_forward_changes_nothing(self):
        hub = Failing(settings(1))
        feed(hub, rec(timestamp=1.0, counts=1))
        hub.fail.add("streamData")
        with pytest.raises(Boom):
            feed(hub, rec(timestamp=5.0, status=100))
        hub.fail.clear()
        feed(hub, rec(timestamp=1.0, counts=2), rec(timestamp=2.0))
        batch = hub.hooks("streamData")[-1]
        assert batch == rec(timestamp=1.0, counts=1) + rec(timestamp=1.0, counts=2)

    def test_failed_flush_records_nothing(self):
        hub = Failing(settings(1))
        hub.startRecording([1])
        feed(hub, rec(timestamp=1.0, counts=1))
        hub.fail.add("streamData")
        with pytest.raises(Boom):
            feed(hub, rec(timestamp=2.0, counts=2))
        # the recording step comes before the flush: the point is recorded, the batch is not changed
        hub.fail.clear()
        feed(hub, rec(timestamp=3.0, counts=3))
        assert [p["counts"] for p in hub.stopRecording()[1]] == [1, 2, 3]
        assert hub.hooks("streamData")[-1] == rec(timestamp=1.0, counts=1)


class TestSettingsChangedBehindTheHub:
    def test_configuration_broken_then_repaired(self):
        unit = Unit(1)
        hub = Hub(settings(unit))
        unit.configuration.biasIStop = math.inf
        with pytest.raises(OverflowError):
            feed(hub, rec(timestamp=1.0, status=2))
        del unit.configuration.biasIStop
        with pytest.raises(AttributeError):
            feed(hub, rec(timestamp=1.0, status=2))
        unit.configuration.biasIStop = 2e-6
        feed(hub, rec(timestamp=1.0, status=2, biasI=1e-6))
        assert hub.hooks("resetIvFrontend")[-1][2] == 101

    def test_devices_grow_while_sweeping(self):
        hub = Hub(settings(1))
        feed(hub, rec(rank=1, timestamp=1.0, status=2))
        hub.create_look_up(settings(2))  # positions only grow: position 2 joins idle
        feed(hub, rec(rank=2, timestamp=1.0, status=2), rec(rank=1, timestamp=2.0))
        assert hub.hooks("streamIvData") == []  # position 2 still sweeps
        feed(hub, rec(rank=2, timestamp=3.0))
        (result,) = hub.hooks("streamIvData")
        assert list(result["counts"])[1:] == [1, 2]


class TestHubCallsBack:
    def test_hooks_feeding_records_mid_record(self):
        class Eager(Hub):
            def resetIvFrontend(self, start, stop, steps):
                super().resetIvFrontend(start, stop, steps)
                if len(self.hooks("resetIvFrontend")) == 1:
                    self.msg_received([rec(rank=1, timestamp=1.0, status=2, biasI=5e-6)])

            def streamData(self, data):
                super().streamData(data)
                if len(self.hooks("streamData")) == 2:
                    self.create_look_up(settings(7))

        hub = Eager(settings(1, 2))
        feed(hub, rec(rank=1, timestamp=1.0, status=2, biasI=1e-6))
        feed(hub, rec(rank=2, timestamp=2.0), rec(rank=1, timestamp=3.0), rec(rank=3, timestamp=4.0))
        (result,) = hub.hooks("streamIvData")
        assert list(result["counts"]) == ["biasI", 1, 2, 3]  # position 3 joined inside the flush
        # the outer sweep start ran after the nested one and emptied its point
        assert hub.get_iv(1e-6, 5e-6, 401)["counts"][1].count(None) == 400

    def test_recording_stopped_from_the_stream_hook(self):
        class Stopping(Hub):
            def streamData(self, data):
                super().streamData(data)
                self.stopRecording()

        hub = Stopping(settings(1))
        hub.startRecording([1])
        feed(hub, rec(timestamp=1.0, counts=1))  # recorded, then the flush stops the recording
        assert [p["counts"] for p in hub.getRecordData()[1]] == [1]
        feed(hub, rec(timestamp=2.0, counts=2))  # not recorded; a stop while idle empties the result
        assert hub.getRecordData() == {}


class TestMonitorCallsBack:
    class Watcher(boardwatch.SpeedUpProtocol):
        def __init__(self):
            self.calls = []

        def on_temp(self, temp1, temp2):
            self.calls.append(("temp", temp1))
            if self.rewrite is not None:
                self.frame[:] = self.rewrite  # the host reuses its buffer during the call

        def set_pll_lock(self, pll):
            self.calls.append(("pll", pll))

        def on_status_change(self, status):
            self.calls.append(("status", status))
            if status == 5:
                self.msg_received([pack("mcu_message", mcuStatus=6)])

    def test_frame_rewritten_inside_a_hook(self):
        w = self.Watcher()
        w.frame = bytearray(pack("mcu_message", mcuStatus=3, pllLock=1, temp1=1.0))
        w.rewrite = pack("mcu_message", mcuStatus=9, pllLock=0, temp1=2.0)
        w.msg_received([w.frame])
        assert w.calls == [("temp", 1.0), ("pll", 1), ("status", 3)]  # decoded once, up front

    def test_status_change_reported_from_inside_a_status_change(self):
        w = self.Watcher()
        w.rewrite = None
        w.msg_received([pack("mcu_message", mcuStatus=5)])
        w.msg_received([pack("mcu_message", mcuStatus=6)])
        statuses = [c[1] for c in w.calls if c[0] == "status"]
        assert statuses == [5, 6]  # the nested message stored 6: the next 6 is no change
