"""The whole system on loopback against forged traffic, losses that force
re-synchronisations, and units that never speak."""
import asyncio
import math
import socket

import pytest

from vantor.host.settings import SettingsError, default_settings, parse_settings
from vantor.host.view import render
from vantor.sim import Faults
from vantor.system import System
from tests.wire import stream_rows
from vantor.wire import CU_MESSAGE, STEP_S, STREAM_DATA


def record(mcu, cu, seq, counts=10_000_000):
    return CU_MESSAGE.pack(mcu, cu, 0, 0, 1, 4, seq, counts, *[0.0] * 6, 5, 0.0, 0.0, 0.0, 10)


def drain(sub):
    out = []
    while (item := sub.get_nowait()) is not None:
        out.append(item)
    return out


def stream_records(items):
    return stream_rows(items)


def test_a_forger_before_the_board_speaks_diverts_nothing():
    """One forged record for board 0 before it speaks, more for an unknown
    board and unit: the corrections of a wrong unit still reach the board,
    none reach the forger, and the view names what was refused."""
    settings = default_settings(2, 2, buffSize=20)

    async def scenario():
        forger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        forger.bind(("127.0.0.1", 0))
        forger.setblocking(False)
        async with System(settings, faults=Faults(wrong={(0, 1)}), drive_sim=False) as system:
            host, sim = system.host, system.sim
            forger.sendto(record(0, 1, 1), host.address)
            forger.sendto(record(9, 0, 1), host.address)
            forger.sendto(record(0, 7, 1), host.address)
            await asyncio.sleep(0.05)
            await sim.run(steps=150)
            await asyncio.sleep(0.2)
            received = []
            while True:
                try:
                    received.append(forger.recv(100))
                except BlockingIOError:
                    break
            forger.close()
            return host.snapshot(), sim.units[(0, 1)].updates_applied, received, sim.addresses

    snap, applied, received, addresses = asyncio.run(scenario())
    assert received == [] and applied >= 1
    board0 = next(b for b in snap["boards"] if b["mcuId"] == 0)
    assert board0["address"] == f"127.0.0.1:{addresses[0][1]}" and board0["learned"]
    refused = snap["totals"]["refused"]
    assert refused["unknown_boards"]["seen"] == {"9": 1}
    assert refused["foreign"]["total"] == 2        # the forged 0.1 and 0.7, never confirmed
    text = render(snap)
    assert "unknown mcuIds 1: 9 (1)" in text and "from unexpected addresses 2" in text


def test_record_times_stay_steady_across_resynchronisations():
    """Losses make the broker re-synchronise; the time axis of every unit goes
    on in steps of one window, and each re-synchronisation is counted and
    announced."""
    settings = default_settings(2, 2, buffSize=10, maxFails=0)

    async def scenario():
        async with System(settings, faults=Faults(drop=0.03), seed=4, drive_sim=False) as system:
            host, sim = system.host, system.sim
            sub = host.subscribe({"windows", "event"}, maxsize=0)
            await sim.run(steps=400)
            await asyncio.sleep(0.2)
            return drain(sub), host.snapshot()["totals"], host._path.read_backend()

    items, totals, backend = asyncio.run(scenario())
    resyncs = [p for kind, p in items if kind == "event" and p["kind"] == "resync"]
    assert totals["resyncs"] >= 1 and len(resyncs) == totals["resyncs"]
    assert backend["TIMESTAMP"] == 0.0
    assert totals["time_origin"] is not None
    records = stream_records(items)
    for rank in (1, 2, 3, 4):
        times = [r["timestamp"] for r in records if r["rank"] == rank and r["cuStatus"] == 0]
        assert len(times) > 20
        steps = [round(t / STEP_S) for t in times]
        assert all(math.isclose(t, s * STEP_S) for t, s in zip(times, steps))
        assert all(b - a == 10 for a, b in zip(steps, steps[1:])), rank


def test_a_unit_never_heard_is_flagged():
    settings = default_settings(1, 3, timeout=0.2)

    async def scenario():
        faults = Faults(silence={(0, 2): (1, None)})
        async with System(settings, faults=faults) as system:
            host = system.host
            sub = host.subscribe({"event"}, maxsize=0)
            for _ in range(100):
                await asyncio.sleep(0.05)
                if host.snapshot()["totals"]["unheard"]:
                    break
            await asyncio.sleep(0.6)
            return drain(sub), host.snapshot()

    items, snap = asyncio.run(scenario())
    assert snap["totals"]["unheard"] == ["0.2"]
    flagged = [p for _, p in items if p["kind"] == "unheard"]
    assert [(p["rank"], p["name"]) for p in flagged] == [(3, "0.2")]
    assert "never heard since start: 0.2" in render(snap)


@pytest.mark.parametrize("timeout", [math.inf, 1e-300, -1.0, math.nan])
def test_time_outs_without_sense_are_refused(timeout):
    doc = {"timeout": timeout, "mcu": [{"mcuId": 0, "unit": [{"cuId": 0, "rank": 1}]}]}
    with pytest.raises(SettingsError, match="timeout"):
        parse_settings(doc)


def test_a_stranger_on_the_tcp_worker_link_gets_nothing_in():
    """With --transport tcp another local program connects to the host's
    stream socket and pushes a record: it never reaches the hub."""
    import zmq

    settings = default_settings(1, 2, buffSize=10)
    forged = STREAM_DATA.pack(0, 0, 0, 0, 0.0, 0.0, 10_000_000, 10, 1, 1.0)

    async def scenario():
        async with System(settings, worker_processes=1, transport="tcp", drive_sim=False) as system:
            host, sim = system.host, system.sim
            sub = host.subscribe({"windows"}, maxsize=0)
            url = host._path.stream_in.getsockopt_string(zmq.LAST_ENDPOINT)
            assert url.startswith("tcp://127.0.0.1:")
            ctx = zmq.Context()
            stranger = ctx.socket(zmq.PUSH)
            stranger.connect(url)
            for _ in range(5):
                stranger.send(forged)
            await sim.run(steps=60)
            await asyncio.sleep(0.3)
            ctx.destroy(linger=0)
            return stream_records(drain(sub))

    records = asyncio.run(scenario())
    assert records, "the genuine workers' records arrive over the same link"
    assert all(r["counts"] != 10_000_000 for r in records)


def test_the_time_origin_matches_the_wall_clock():
    """Record time + time_origin is the Unix time the record's step was sent."""
    import time

    settings = default_settings(1, 2, buffSize=10)

    async def scenario():
        async with System(settings, drive_sim=False) as system:
            host, sim = system.host, system.sim
            sent = []                      # wall time of step 1, 2, ...
            step = sim.step
            sim.step = lambda: (sent.append(time.time()), step())
            sub = host.subscribe({"windows"}, maxsize=0)
            await sim.run(steps=100)
            await asyncio.sleep(0.2)
            return stream_records(drain(sub)), host.snapshot()["totals"]["time_origin"], sent

    records, origin, sent = asyncio.run(scenario())
    assert records
    for r in records:
        seq = round(r["timestamp"] / STEP_S)
        assert abs(origin + r["timestamp"] - sent[seq - 1]) < 0.05, seq
