"""Broker cycle check, synchronisation state, log lines and the time base."""
import logging
import time

import pytest

from tests.conftest import RecordingLock
from tests.test_broker import Recorder, make_broker, record
from tests.wire import SharedRecord, f32, pack
from vantor.cluster import ingestgate

A, B, C, D = (1, 1), (1, 2), (1, 3), (2, 1)
UNKNOWN = (255, 255)
ABC = [A, B, C]


def feed(b, cycles):
    """All records of `cycles` [(sequence, [pairs])] in one datagram, pushed
    out of the queue (capacity 2) by a record of an unknown unit that sorts first."""
    b.msg_received(b"".join(record(m, c, seq) for seq, pairs in cycles for m, c in pairs), None)
    b.msg_received(record(*UNKNOWN, 0), None)


def outcomes(b):
    """(pair, sequence, 'ok' | 'fail') for each record that reached on_finally."""
    out, verdict = [], None
    for call in b.calls:
        if call[0] in ("success", "failed"):
            verdict = "ok" if call[0] == "success" else "fail"
        elif call[0] == "finally":
            d = call[2]
            out.append(((d["mcuId"], d["cuId"]), d["sequence"], verdict))
            verdict = None
    return out


def failures(b):
    return [(pair, seq) for pair, seq, v in outcomes(b) if v == "fail"]


def broker(MAXFAILS=1, units=(A, B, C, D), **kw):
    return make_broker(MAXFAILS=MAXFAILS, total_mcus=1, cuids=units, **kw)


class TimelineHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.target = []

    def emit(self, rec):
        self.target.append(("log", rec.getMessage()))


@pytest.fixture
def timeline():
    """Log lines of the broker's logger appended to a list of choice."""
    logger = ingestgate.logger
    handler, level = TimelineHandler(), logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(level)


class TestCycleCheck:
    def test_first_change_counts_then_matching_cycles_do_not(self):
        b = broker(MAXFAILS=1)
        feed(b, [(5, ABC), (6, ABC), (7, ABC)])
        assert failures(b) == []
        feed(b, [(8, [A, B]), (9, ABC)])  # the second failure exceeds 1
        assert failures(b) == [(A, 9)]
        assert outcomes(b)[-3:] == [(A, 9, "fail"), (B, 9, "ok"), (C, 9, "ok")]

    def test_threshold_zero_fails_at_the_first_change(self):
        b = broker(MAXFAILS=0)
        feed(b, [(5, ABC), (6, ABC), (7, ABC)])
        assert failures(b) == [(A, 6)]

    def test_records_of_sequence_zero_form_the_first_cycle(self):
        b = broker(MAXFAILS=0)
        feed(b, [(0, ABC), (1, ABC), (2, ABC)])
        assert failures(b) == [(A, 1)]

    def test_top_threshold_never_fails(self):
        b = broker(MAXFAILS=4294967295)
        feed(b, [(s, ABC if s % 2 else [A]) for s in range(1, 200)])
        assert len(outcomes(b)) == 100 * 3 + 99 and failures(b) == []

    def test_failures_add_up_across_matching_cycles(self):
        b = broker(MAXFAILS=2)
        feed(b, [(5, ABC), (6, ABC), (7, ABC), (8, ABC), (9, [A, B]), (10, ABC), (11, ABC), (12, ABC)])
        assert failures(b) == [(A, 11)]

    def test_count_restarts_after_triggering(self):
        b = broker(MAXFAILS=1)
        cycles = [(s, ABC if s % 2 else [A, B]) for s in range(1, 10)]  # every change differs
        feed(b, cycles)
        assert failures(b) == [(A, 3), (A, 5), (A, 7), (A, 9)]

    def test_late_datagram_opens_a_cycle_of_its_own(self):
        b = broker(MAXFAILS=1)
        feed(b, [(5, ABC), (6, ABC), (7, ABC), (6, [A]), (8, ABC)])
        assert failures(b) == [(A, 8)]

    def test_sets_compare_by_content(self):
        b = broker(MAXFAILS=1)  # repeats and order within a cycle play no part
        feed(b, [(5, [A, B, C, A]), (6, ABC), (7, [C, A, A, B, C]), (8, [B, C, A]), (9, ABC)])
        assert failures(b) == []

    def test_a_new_unit_costs_one_failure(self):
        b = broker(MAXFAILS=2)
        feed(b, [(5, ABC), (6, ABC), (7, ABC + [D]), (8, ABC + [D]), (9, ABC + [D]), (10, ABC + [D])])
        assert failures(b) == []  # one at 6 (start-up), one at 8; then cycles match again
        feed(b, [(11, ABC), (12, ABC)])
        assert failures(b) == [(A, 12)]

    def test_unknown_units_are_not_part_of_any_cycle(self):
        b = broker(MAXFAILS=1, units=ABC)
        feed(b, [(5, ABC + [D]), (6, ABC), (7, [D, D]), (8, [D] + ABC), (9, ABC)])
        assert failures(b) == []
        assert b.hooks("missing") == [("missing", 255, 255)] + [("missing", 2, 1)] * 4

    def test_the_host_set_itself_is_consulted(self):
        cuids = {A}
        b = Recorder(1, 0, 1, (0, None), {}, cuids, False)
        feed(b, [(5, [D])])
        cuids.add(D)
        feed(b, [(6, [D])])
        assert [c[0] for c in b.hooks()] == ["missing", "missing", "missing", "success", "finally"]


class TestStateMachine:
    def test_in_sync_from_the_start(self, timeline):
        b = broker(lock=RecordingLock())
        timeline.target = b.calls
        feed(b, [(5, ABC), (6, ABC), (7, ABC)])
        kinds = {c[0] for c in b.calls}
        assert kinds == {"firmware", "success", "finally", "missing"}

    def test_failure_then_time_stamp_once(self, timeline, monkeypatch):
        monkeypatch.setattr(time, "time", lambda: 1700000000.1234)
        lock = RecordingLock()
        b = broker(MAXFAILS=0, lock=lock)
        lock.log = timeline.target = b.calls
        feed(b, [(5, ABC), (6, [A, B])])
        events = [c[:2] if c[0] in ("log", "enter") else c[:1] for c in b.calls if c[0] not in ("firmware", "missing")]
        assert events == [
            ("success",), ("finally",), ("success",), ("finally",), ("success",), ("finally",),
            ("failed",), ("log", "Failed sync check 0 times. Triggered sync. Last channel checked: 1.1"),
            ("finally",),
            ("enter", "lock"), ("exit",), ("log", "Timestamp reset"), ("success",), ("finally",),
        ]
        assert b.backend["TIMESTAMP"] == 1700000000.0

    def test_lost_state_lasts_through_further_differing_changes(self, timeline):
        b = broker(MAXFAILS=0)
        timeline.target = b.calls
        feed(b, [(5, ABC), (6, [A]), (7, [B, C])])
        assert failures(b) == [(A, 6), (B, 7)]
        assert [c[1] for c in b.calls if c[0] == "log"].count("Timestamp reset") == 1
        assert outcomes(b)[-1] == (C, 7, "ok")

    def test_failure_line(self, caplog):
        caplog.set_level(logging.INFO, logger="vantor.cluster.ingestgate")
        b = broker(MAXFAILS=7, units=[(3, 12), A])
        feed(b, [(s, [(3, 12)] + ([A] if s % 2 else [])) for s in range(1, 10)])
        assert failures(b) == [((3, 12), 9)]
        (rec,) = [r for r in caplog.records if r.getMessage().startswith("Failed")]
        assert (rec.name, rec.levelno) == ("vantor.cluster.ingestgate", logging.INFO)
        assert rec.getMessage() == "Failed sync check 7 times. Triggered sync. Last channel checked: 3.12"

    def test_failing_record_reaches_on_finally_only(self):
        b = broker(MAXFAILS=0)
        feed(b, [(5, [A]), (6, [A])])
        assert [c[0] for c in b.hooks()][-4:] == ["success", "finally", "failed", "finally"]


class TestRecordForms:
    def test_raw_bytes_channel_id_and_dictionary(self):
        b = broker(units=[(1, 5)])
        raw = pack("cu_message", mcuId=1, cuId=5, cuStatus=2, cuError=9, prescale=3, pgaGain=4,
                   sequence=77, counts=4294967295, biasV=0.1, biasVStep=-2.5, biasSweepT=12)
        raw = raw[:6] + b"\xab\xcd" + raw[8:]  # reserved bytes pass through untouched
        b.msg_received(raw, None)
        b.msg_received(record(*UNKNOWN, 0), None)
        (success,), ((_, channel, data),) = b.hooks("success"), b.hooks("finally")
        assert success[1] == raw
        assert channel == b"\x01\x05"
        assert list(data) == ["mcuId", "cuId", "cuStatus", "cuError", "prescale", "pgaGain", "sequence",
                              "counts", "monitorV", "triggerV", "biasV", "latchV", "latchFLow",
                              "latchFHigh", "unlatchT", "biasVStart", "biasVStop", "biasVStep",
                              "biasSweepT"]
        assert data["counts"] == 4294967295 and data["sequence"] == 77 and data["prescale"] == 3
        assert type(data["prescale"]) is int and type(data["biasV"]) is float
        assert data["biasV"] == f32(0.1) and data["biasVStep"] == -2.5

    def test_missing_unit_gets_two_integers_and_nothing_else(self, timeline):
        b = broker(units=[])
        timeline.target = b.calls
        b.msg_received(record(7, 200, 3), None)
        b.msg_received(record(*UNKNOWN, 0), None)
        assert b.hooks() == [("missing", 255, 255), ("missing", 7, 200)]
        assert not [c for c in b.calls if c[0] == "log"]


class TestTimeStamp:
    def lost(self, lock=None, backend=None, MAXFAILS=0):
        """A broker that has just failed the check: its next passing record stamps."""
        b = broker(MAXFAILS=MAXFAILS, lock=lock, backend=backend)
        feed(b, [(5, ABC), (6, [A])])
        assert failures(b) == [(A, 6)]
        b.calls.clear()
        return b

    @pytest.mark.parametrize("clock, stored", [
        (1700000000.1234, 1700000000.0),
        (1.23456, f32(1.235)),
        (1.2345, f32(1.234)),  # the host's rounding of the binary value 1.23449999...
        (2.0005, f32(2.001)),
        (12, 12.0),
    ])
    def test_rounds_to_three_decimals_then_binary32(self, monkeypatch, clock, stored):
        backend = SharedRecord("C_Backend", buffSize=77, TIMESTAMP=-1.0)
        b = self.lost(backend=backend)
        monkeypatch.setattr(time, "time", lambda: clock)
        feed(b, [(6, [B])])
        assert backend["TIMESTAMP"] == stored
        assert backend["buffSize"] == 77

    def test_write_happens_inside_the_lock(self, monkeypatch):
        backend = SharedRecord("C_Backend", buffSize=1)
        seen = []

        class Watching(RecordingLock):
            def __enter__(self):
                seen.append(("enter", backend["TIMESTAMP"]))
                return super().__enter__()

            def __exit__(self, *exc):
                seen.append(("exit", backend["TIMESTAMP"], exc))
                return super().__exit__(*exc)

        b = self.lost(lock=Watching(), backend=backend)
        monkeypatch.setattr(time, "time", lambda: 256.0)
        feed(b, [(6, [B, C])])
        assert seen == [("enter", 0.0), ("exit", 256.0, (None, None, None))]

    @pytest.mark.parametrize("swallow", [False, True])
    def test_failure_inside_the_lock_goes_to_exit(self, monkeypatch, swallow):
        lock = RecordingLock(swallow=swallow)
        b = self.lost(lock=lock)
        lock.log = b.calls
        monkeypatch.setattr(time, "time", lambda: 1 / 0)
        if swallow:
            feed(b, [(6, [B])])
        else:
            with pytest.raises(ZeroDivisionError):
                feed(b, [(6, [B])])
        exits = [c for c in b.calls if c[0] == "exit"]
        assert exits == [("exit", "lock", ZeroDivisionError)]
        assert [c[0] for c in b.hooks("success", "finally")] == (["success", "finally"] if swallow else [])

    def test_failed_stamp_is_not_retried(self, monkeypatch):
        lock = RecordingLock()
        b = self.lost(lock=lock)
        lock.log = b.calls
        monkeypatch.setattr(time, "time", lambda: "noon")
        with pytest.raises(TypeError):
            feed(b, [(6, [B])])
        b.msg_received(record(*C, 6), None)
        b.msg_received(record(*UNKNOWN, 0), None)
        assert [c[0] for c in b.calls if c[0] in ("enter", "exit")] == ["enter", "exit"]
        assert outcomes(b) == [(C, 6, "ok")]

    def test_exit_receives_the_exception_and_traceback(self, monkeypatch):
        got = []

        class Lock:
            def __enter__(self):
                return self

            def __exit__(self, et, ev, tb):
                got.append((et, ev, tb))

        b = self.lost(lock=Lock())
        monkeypatch.setattr(time, "time", lambda: 1 / 0)
        with pytest.raises(ZeroDivisionError) as exc:
            feed(b, [(6, [B])])
        ((et, ev, tb),) = got
        assert et is ZeroDivisionError and ev is exc.value and tb is not None

    def test_failing_exit_propagates(self):
        class Lock:
            def __enter__(self):
                return self

            def __exit__(self, *exc):
                raise KeyError("exit")

        b = self.lost(lock=Lock())
        with pytest.raises(KeyError):
            feed(b, [(6, [B])])

    @pytest.mark.parametrize("missing", ["__enter__", "__exit__"])
    def test_lock_without_context_methods(self, missing):
        entered = []
        body = {"__enter__": lambda s: entered.append(1), "__exit__": lambda s, *e: None}
        del body[missing]
        backend = SharedRecord("C_Backend", TIMESTAMP=3.0)
        b = self.lost(lock=type("Lock", (), body)(), backend=backend)
        with pytest.raises(AttributeError, match=missing):
            feed(b, [(6, [B])])
        assert entered == [] and backend["TIMESTAMP"] == 3.0

    def test_null_address_is_refused_inside_the_lock(self):
        lock = RecordingLock()
        b = make_broker(MAXFAILS=0, total_mcus=1, cuids=ABC, lock=lock)
        b.__init__(0, 0, 1, (0, lock), {}, set(ABC), False)
        feed(b, [(5, ABC), (6, [A])])
        lock.log = []
        with pytest.raises(ValueError, match="address is 0"):
            feed(b, [(6, [B])])
        assert lock.log == [("enter", "lock"), ("exit", "lock", ValueError)]


class TestHookFailures:
    def test_failure_ends_the_drain_and_the_rest_stays_queued(self):
        class Failing(Recorder):
            def on_finally(self, channelID, data):
                super().on_finally(channelID, data)
                if data["sequence"] == 2 and data["cuId"] == 1:
                    raise RuntimeError("host")

        b = make_broker(Failing, total_mcus=2, cuids=ABC)
        for seq in (4, 2, 3):
            b.msg_received(record(*A, seq) + record(*B, seq), None)
        with pytest.raises(RuntimeError):
            b.msg_received(record(*A, 1) + record(*B, 1), None)
        assert [(p, s) for p, s, _ in outcomes(b)] == [(A, 1), (B, 1), (A, 2)]
        b.calls.clear()
        b.msg_received(record(*A, 5), None)  # 3 queued now, below capacity 4
        assert b.hooks() == []
        b.msg_received(record(*A, 6), None)
        assert [(p, s) for p, s, _ in outcomes(b)] == [(A, 3), (B, 3), (A, 4), (B, 4), (A, 5), (A, 6)]

    @pytest.mark.parametrize("hook, pair, before", [
        ("on_sync_success", A, []),
        ("on_missing", B, []),
        ("on_finally", A, ["success"]),
    ])
    def test_failing_hook_ends_its_record_and_datagram(self, hook, pair, before):
        b = broker(units=[A])

        def fail(*args):
            b.calls.append(("raised",))
            raise ZeroDivisionError

        setattr(b, hook, fail)
        b.msg_received(record(*pair, 1) + record(*A, 1), None)
        with pytest.raises(ZeroDivisionError):
            b.msg_received(record(*A, 99), None)  # sorts last: stays queued
        assert [c[0] for c in b.calls if c[0] != "firmware"] == before + ["raised"]
        delattr(b, hook)
        b.msg_received(record(*A, 100), None)
        assert [(p, s) for p, s, _ in outcomes(b)][-2:] == [(A, 99), (A, 100)]

    def test_failing_on_sync_failed_skips_the_line_but_loses_sync(self, timeline):
        b = broker(MAXFAILS=0)
        timeline.target = b.calls
        b.on_sync_failed = lambda: 1 / 0
        with pytest.raises(ZeroDivisionError):
            feed(b, [(5, ABC), (6, [A])])
        assert not [c for c in b.calls if c[0] == "log"]
        del b.on_sync_failed
        feed(b, [(6, [B])])
        assert ("log", "Timestamp reset") in b.calls
