"""The host's read model against the records it came from: the router's
window counts against a real worker, the decoded table against the stream
bytes, unit state and events from whole batches, and the facade's one-IV /
one-recording rule."""
import asyncio
import math

import numpy as np
import pytest
import zmq
from hypothesis import given, settings as hsettings, strategies as st

from tests.test_worker import Rig
from tests.wire import SharedRecord, pack, unpack
from vantor.host.app import HostBusy
from vantor.host.readmodel import ReadModel, decode
from vantor.host.road import Router
from vantor.host.settings import default_settings
from vantor.host.stats import Stats
from vantor.ops.channels import OpsError
from vantor.ops.record import run_recording
from vantor.system import System

PAIR = (4, 7)        # the worker rig's unit


def router_for(pairs, backend):
    """A router that only follows windows: no worker, failures raised."""
    def failed(mcu, cu, exc):
        raise exc
    router = Router(list(pairs), backend.address, failed, None)
    router.route([None] * len(pairs))
    return router


def take(router, mcu, cu, seq):
    router.on_sync_success(pack("cu_message", mcuId=mcu, cuId=cu, sequence=seq))


# -- the router's window counts follow the worker ----------------------------------

steps = st.lists(st.one_of(st.integers(0, 3),              # duplicates and small steps
                           st.integers(4, 60),             # gaps
                           st.integers(-40, -1)),          # the sequence goes back
                 min_size=1, max_size=120)


@hsettings(max_examples=60, deadline=None)
@given(steps=steps, buff_size=st.sampled_from([1, 3, 10, 16]), start=st.integers(0, 30))
def test_router_closes_the_windows_the_worker_publishes(steps, buff_size, start):
    """Every record carries one count, so a window of n records reports
    n * (buffSize // n): the router must agree with the worker on every
    window's end and on how many records went into it."""
    loop, ctx = asyncio.new_event_loop(), zmq.Context()
    asyncio.set_event_loop(loop)
    try:
        r = Rig(ctx, buffSize=buff_size)
        router = router_for([PAIR], r.backend)       # reads buffSize where the worker does
        seq = start
        for step in steps:
            seq = max(0, seq + step)
            take(router, *PAIR, seq)
            r.send(seq, mcuId=PAIR[0], cuId=PAIR[1], counts=1)
        published = [rec for rec in r.streams() if rec["cuStatus"] == 0]
        r.worker.timer.cancel()
    finally:
        for sock in r.socks:
            sock.close(linger=0)
        ctx.term()
        asyncio.set_event_loop(None)
        loop.close()
    ends = [round((rec["timestamp"] - 1000.0) / 0.01) for rec in published]
    kept = ends[-8:]                  # the router keeps the newest eight closed windows
    for rec, end in zip(published[-8:], kept):
        n = router.received(*PAIR, end)
        assert n is not None and rec["counts"] == n * (buff_size // n), end
    assert all(router.received(*PAIR, end) is None for end in kept)   # each taken once


# -- the decoded table -------------------------------------------------------------

def record(rank, **fields):
    return pack("stream_data", **{"rank": rank, "mcuId": 0, "cuId": rank - 1, "intSize": 10,
                                  **fields})


def test_decoded_rows_are_the_records_and_what_the_host_knows_beside_them():
    data = (record(1, counts=50, monitorV=0.25, timestamp=0.1)
            + record(2, cuStatus=100, timestamp=0.1)
            + record(3, cuStatus=2, counts=7, biasI=1e-6, timestamp=0.2)
            + record(4, counts=30, timestamp=0.3, intSize=0))
    held = np.array([6, 10, 10, 10], "<u4").tobytes()      # as the router counts them
    table = decode(data, 4, held, 1000.0)
    rows = table.rows
    for row, raw in zip(rows, (data[k:k + 32] for k in range(0, len(data), 32))):
        for name, value in unpack("stream_data", raw).items():
            assert row[name] == pytest.approx(value, rel=0, abs=0), name
    assert rows["rate"][0] == 50 / 0.1 and math.isnan(rows["rate"][1])
    assert rows["rate"][2] == 7 / 0.1 and math.isnan(rows["rate"][3])      # no length: no rate
    # a window counts the records that arrived; silence and sweep points count as whole
    assert rows["received"].tolist() == [6, 10, 10, 10]
    assert rows["time"].tolist() == pytest.approx([1000.1, 1000.1, 1000.2, 1000.3])
    unknown = decode(record(1, timestamp=0.5) + record(2, cuStatus=2), 2, None, None)
    assert unknown.rows["received"].tolist() == [0, 10] and math.isnan(unknown.rows["time"][0])


def model(units=4):
    settings = default_settings(1, units, buffSize=10)
    backend = SharedRecord("C_Backend", buffSize=10)
    m = ReadModel(settings, Stats(settings), origin=lambda: 1000.0)
    m.router = router_for([(cu.mcuId, cu.cuId) for cu in settings.units()], backend)
    m.backend = backend                 # kept alive with the model
    return m


def test_batches_update_units_and_announce_their_changes():
    m = model()
    for seq in range(1, 11):            # unit 1: a window short of two records
        if seq != 5:
            take(m.router, 0, 0, seq)
    events = m.subscribe({"event", "windows"})
    m.stream(record(1, counts=40, monitorV=0.5, timestamp=0.1)
             + record(2, cuStatus=100, timestamp=0.1)
             + record(2, counts=9, timestamp=0.1))         # unit 2 back in the same batch
    m.stream(record(3, cuStatus=2, counts=3, biasI=2e-6, timestamp=0.2))
    one, two, three, four = (m.states(r, r + 1)[0] for r in range(1, 5))
    assert one["status"] == "ok" and one["rate"] == 400.0 and one["monitorV"] == 0.5
    assert (one["received"], one["complete"], one["incomplete"]) == (8, False, 1)
    assert one["window_time"] == pytest.approx(1000.1)
    assert two["status"] == "ok" and two["alarms"] == 1 and two["windows"] == 1
    assert three["status"] == "IV" and three["sweep_biasI"] == pytest.approx(2e-6)
    assert three["iv_points"] == 1 and three["windows"] == 0
    assert four["status"] == "unheard" and four["rate"] is None and four["echo"] is None
    got = []
    while (item := events.get_nowait()) is not None:
        got.append(item)
    assert [k for k, _ in got] == ["windows", "event", "event", "windows", "event"]
    moves = [(e["rank"], e["old"], e["new"]) for k, e in got if k == "event"]
    assert moves == [(1, "unheard", "ok"), (2, "unheard", "ok"), (3, "unheard", "IV")]
    # the unit's echo is its last record's
    assert m.states(1, 2)[0]["echo"]["biasSweepT"] == 0 and one["echo_matches"] is False


def test_versions_move_only_for_units_that_changed():
    m = model()
    before = m.versions()
    m.stream(record(2, counts=1, timestamp=0.1))
    assert np.flatnonzero(m.versions() != before).tolist() == [1]
    m.update_sent((0, 3))                   # unheard: stays unheard, yet it changed
    m.update_sent((0, 1))
    after = m.versions()
    assert np.flatnonzero(after != before).tolist() == [1, 3]
    assert [u["status"] for u in m.states(1, 5)] == ["unheard", "update", "unheard", "unheard"]
    assert [u["updates"] for u in m.states(1, 5)] == [0, 1, 0, 1]


# -- one IV assembly and one recording at a time -----------------------------------

def test_a_second_recording_is_refused_and_the_first_keeps_its_data():
    async def scenario():
        async with System(default_settings(1, 2, buffSize=10)) as system:
            host = system.host
            await system.wait_for_traffic()
            first = asyncio.create_task(host.record([1], 1.0))
            await asyncio.sleep(0.2)
            with pytest.raises(HostBusy, match=r"a recording of units 0\.0 is running"):
                await host.record([2], 0.5)
            with pytest.raises(OpsError, match="a recording of units 0.0 is running"):
                await run_recording(host, [2], 0.5)
            assert host.recording == [1]
            outcome = await first
            assert host.recording is None
            return outcome
    outcome = asyncio.run(scenario())
    assert not outcome.interrupted and not outcome.capped
    assert len(outcome.table[1]) >= 8               # 1 s of 0.1 s windows, uncut
    # every recorded window is known with the records it held
    assert all((1, round(p["time"] / 0.01)) in outcome.received for p in outcome.table[1])


def test_a_second_sweep_is_refused_while_one_runs():
    settings = default_settings(1, 2, buffSize=10)
    for cu in settings.units():
        cu.configuration = cu.configuration.replaced(biasIStop=4e-6, biasSweepT=10)

    async def scenario():
        async with System(settings) as system:
            host = system.host
            await system.wait_for_traffic()
            first = asyncio.create_task(host.sweep([1], {}, {1: 5}, timeout=10))
            await asyncio.sleep(0.1)
            with pytest.raises(HostBusy, match=r"an IV sweep of units 0\.0 is running"):
                await host.sweep([2], {}, {2: 5}, timeout=10)
            return await first
    outcome = asyncio.run(scenario())
    assert outcome.ended == "done" and outcome.seen == {1: 5}
    assert [c for c in outcome.result["counts"][1] if c is not None]
