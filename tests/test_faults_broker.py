"""Broker under a faulty host: every host call site raising in turn, a lock that
cannot be entered, a logger that fails, host state replaced from inside the
hooks, and hooks that call back into the broker. After each fault the rules
hold: records handled before it stay handled, the failing datagram is not
seen again, datagrams still queued come out at a later drain."""
import gc

import pytest

from tests.conftest import RecordingLock
from tests.test_broker import Recorder, make_broker, record
from tests.test_broker_sync import ABC, A, B, C, UNKNOWN, feed, outcomes
from vantor.cluster import ingestgate


class Boom(Exception):
    pass


def lost_broker(**kw):
    """A broker that has just lost synchronisation (MAXFAILS 0, one differing cycle)."""
    b = make_broker(MAXFAILS=0, total_mcus=1, cuids=ABC, **kw)
    feed(b, [(5, ABC), (6, [A])])
    b.calls.clear()
    return b


class TestEveryCallSiteRaises:
    """One datagram of two records, the first of which meets the failing call."""

    @pytest.mark.parametrize("site, pair, reached", [
        ("on_missing", UNKNOWN, []),
        ("on_sync_success", A, []),
        ("on_finally", A, ["success"]),
    ])
    def test_record_hooks(self, site, pair, reached):
        b = make_broker(total_mcus=1, cuids=ABC)

        def fail(*args):
            b.calls.append(("raised",))
            raise Boom

        setattr(b, site, fail)
        b.msg_received(record(*pair, 0) + record(*B, 0), None)
        with pytest.raises(Boom):
            b.msg_received(record(*C, 50), None)  # fills the queue; sorts after the failing datagram
        assert [c[0] for c in b.calls if c[0] != "firmware"] == reached + ["raised"]  # B at 0 dropped
        delattr(b, site)
        b.calls.clear()
        b.msg_received(record(*C, 60), None)
        assert [(p, s) for p, s, _ in outcomes(b)] == [(C, 50), (C, 60)]  # the queued one came out

    @pytest.mark.parametrize("site", ["log_firmware_version", "log_msg"])
    def test_reception_hooks_leave_the_datagram_out(self, site):
        b = make_broker(total_mcus=1, cuids=ABC, logmsg=True)
        setattr(b, site, lambda msg: (_ for _ in ()).throw(Boom()))
        with pytest.raises(Boom):
            b.msg_received(record(*A, 1), None)
        delattr(b, site)
        known = dict(b.device_addresses)
        b.msg_received(record(*A, 2), ("h", 1))
        b.msg_received(record(*B, 2), None)
        assert [(p, s) for p, s, _ in outcomes(b)] == [(A, 2), (B, 2)]
        # the sender is noted only by a reception that got past log_firmware_version
        assert known == ({} if site == "log_firmware_version" else {b"\x01": None})

    def test_logger_failing_at_the_failure_line(self, monkeypatch):
        b = make_broker(MAXFAILS=0, total_mcus=1, cuids=ABC)
        monkeypatch.setattr(ingestgate.logger, "info", lambda line: (_ for _ in ()).throw(Boom(line)))
        with pytest.raises(Boom, match="Failed sync check"):
            feed(b, [(5, ABC), (6, [A, B])])
        assert [v for _, _, v in outcomes(b)] == ["ok"] * 3  # A at 6 failed before on_finally
        assert ("failed",) in b.calls
        monkeypatch.undo()
        b.calls.clear()
        feed(b, [(6, [B])])  # lost: the next passing record stamps the time base
        assert [v for _, _, v in outcomes(b)] == ["ok"]

    def test_logger_failing_at_the_timestamp_line(self, monkeypatch):
        b = lost_broker()
        monkeypatch.setattr(ingestgate.logger, "info", lambda line: (_ for _ in ()).throw(Boom(line)))
        with pytest.raises(Boom, match="Timestamp reset"):
            feed(b, [(6, [B])])
        stamped = b.backend["TIMESTAMP"]
        assert stamped != 0.0 and outcomes(b) == []
        monkeypatch.undo()
        feed(b, [(6, [C])])  # synced again already: no second stamp, no second line
        assert b.backend["TIMESTAMP"] == stamped and [v for _, _, v in outcomes(b)] == ["ok"]


class TestBackendLock:
    def test_enter_failure_is_not_retried(self):
        lock = RecordingLock(fail_enter=Boom)
        b = lost_broker(lock=lock)
        with pytest.raises(Boom):
            feed(b, [(6, [B])])
        lock.fail_enter = None
        feed(b, [(6, [C])])
        assert lock.log == [] and b.backend["TIMESTAMP"] == 0.0  # isSynced was set before the write
        assert [(p, v) for p, _, v in outcomes(b)] == [(C, "ok")]


class TestHostStateReplaced:
    def test_device_addresses_replaced_by_the_firmware_hook(self):
        class Host(Recorder):
            def log_firmware_version(self, msg):
                super().log_firmware_version(msg)
                self.device_addresses = self.replacement

        b = make_broker(Host, total_mcus=1, cuids=ABC)
        b.replacement = {}
        b.msg_received(record(*A, 1), ("h", 1))
        assert b.device_addresses is b.replacement and b.replacement == {b"\x01": ("h", 1)}

    def test_device_addresses_that_fail(self):
        class Broken(dict):
            def get(self, key, default=None):
                raise Boom

        b = make_broker(total_mcus=1, cuids=ABC)
        b.device_addresses = Broken()
        with pytest.raises(Boom):
            b.msg_received(record(*A, 1), None)
        b.device_addresses = None
        with pytest.raises(AttributeError):
            b.msg_received(record(*A, 1), None)
        b.device_addresses = {b"\x01": "known"}
        b.msg_received(record(*A, 2), None)
        b.msg_received(record(*UNKNOWN, 0), None)
        assert [(p, s) for p, s, _ in outcomes(b)] == [(A, 2)]  # nothing of the failed calls was queued

    def test_units_set_changed_between_drains(self):
        cuids = set(ABC)
        b = make_broker(total_mcus=1, cuids=())
        b.__init__(1, 0, 1, (b.backend.address, RecordingLock()), {}, cuids, False)
        cuids.discard(A)  # the host's own set is consulted at each drain
        b.msg_received(record(*A, 1) + record(*B, 1), None)
        b.msg_received(record(*B, 2), None)
        cuids.add(A)
        b.msg_received(record(*A, 3), None)
        b.msg_received(record(*A, 4), None)
        assert [c[0] for c in b.hooks("missing", "finally")] == ["missing"] + ["finally"] * 4


    def test_units_set_replaced_while_it_is_searched(self):
        b = make_broker(total_mcus=1, cuids=())

        class SameHashAsA:
            """Compared with the record's pair during the look-up; replaces the set meanwhile."""

            def __hash__(self):
                return hash(A)

            def __eq__(self, other):
                ingestgate.SpeedUpProtocol.__init__(b, 1, 0, 1, (b.backend.address, RecordingLock()), {},
                                                    {A}, False)
                gc.collect()
                return False

        b.__init__(1, 0, 1, (b.backend.address, RecordingLock()), {}, {SameHashAsA(), B, C}, False)
        b.msg_received(record(*A, 1) + record(*A, 2), None)
        b.msg_received(record(*UNKNOWN, 9), None)  # fills the queue; dropped by the re-initialisation
        # the first look-up dropped the only reference to the set it searched; the second sees {A}
        assert [c[0] for c in b.hooks("missing", "finally")] == ["missing", "finally"]


class TestHostCallsBack:
    def test_hook_feeding_datagrams_during_a_drain(self):
        class Eager(Recorder):
            def on_finally(self, channelID, data):
                super().on_finally(channelID, data)
                if self.more:
                    self.msg_received(self.more.pop(0), None)  # a nested drain

        b = make_broker(Eager, total_mcus=1, cuids=ABC)
        b.more = [record(*B, 3), record(*C, 4), record(*A, 5), record(*B, 6)]
        b.msg_received(record(*A, 1), None)
        b.msg_received(record(*A, 2), None)
        seen = [(p, s) for p, s, _ in outcomes(b)]
        assert len(seen) == len(set(seen))  # no datagram handled twice
        b.msg_received(record(*C, 9), None)
        b.msg_received(record(*UNKNOWN, 0), None)
        seen = [s for _, s, _ in outcomes(b)]
        assert sorted(seen) == [1, 2, 3, 4, 5, 6, 9]  # and none lost

    def test_reinitialised_from_a_hook(self):
        class Restarting(Recorder):
            def on_finally(self, channelID, data):
                super().on_finally(channelID, data)
                if data["sequence"] == 1:
                    ingestgate.SpeedUpProtocol.__init__(self, 1, 0, 1, self.args, {}, set(ABC), False)

        b = make_broker(Restarting, total_mcus=1, cuids=ABC)
        b.args = (b.backend.address, RecordingLock())
        b.msg_received(record(*A, 2), None)
        b.msg_received(record(*A, 1), None)  # drains 1, whose hook drops the queue holding 2
        b.msg_received(record(*B, 7), None)
        b.msg_received(record(*B, 8), None)
        assert [s for _, s, _ in outcomes(b)] == [1, 7, 8]
