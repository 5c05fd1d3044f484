"""The live stream's records messages: every field of every record as the
hub sent it, valid JSON whatever the floats hold, one encoding of a batch
shared by clients that filter different units, and batches that still reach
a client while the loop is busy and events pour in."""
import asyncio
import json
import math
import time

import pytest
from aiohttp import web
from aiohttp.test_utils import TestClient, TestServer

from tests.wire import windows
from vantor.host.bus import Bus
from vantor.service import live
from vantor.service.keys import HOST, LIVE
from vantor.service.live import BatchText, Client
from vantor.wire import STREAM_DATA, STREAM_FIELDS


def record(rank, monitorV=0.25, biasI=-2.5e-6, timestamp=12.34, status=0):
    return STREAM_DATA.pack(rank // 32, rank % 32, status, rank % 2, monitorV, biasI,
                            1000 + rank, 100, rank, timestamp)


def decoded(data):
    return [{**dict(zip(STREAM_FIELDS, v)), "received": v[STREAM_FIELDS.index("intSize")]}
            for v in STREAM_DATA.iter_unpack(data)]


def records_of(client):
    message = json.loads(client.records(), parse_constant=pytest.fail)
    assert message["type"] == "records" and isinstance(message["time"], float)
    return message["records"]


def test_records_carry_every_field_newest_per_unit_in_rank_order():
    texts = BatchText()
    client = Client(None, None, "records", None, texts)
    client.take_batch(windows(b"".join(record(r) for r in (3, 1, 2))))
    newer = record(2, monitorV=0.5, timestamp=13.34)
    client.take_batch(windows(newer))
    expected = decoded(record(1) + newer + record(3))
    assert records_of(client) == expected
    assert records_of(client) == [], "a message holds what came since the last one"


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_floats_json_cannot_hold_are_null(value):
    client = Client(None, None, "records", None, BatchText())
    client.take_batch(windows(record(1, monitorV=value, biasI=value) + record(2, timestamp=1e300)))
    first, second = records_of(client)
    assert first["monitorV"] is None and first["biasI"] is None
    assert first["counts"] == 1001 and second["timestamp"] == 1e300


def test_clients_share_a_batch_encoding_but_keep_their_own_units():
    texts = BatchText()
    everything = Client(None, None, "records", None, texts)
    some = Client(None, None, "records", {2, 5}, texts)
    batch = windows(b"".join(record(r) for r in range(1, 7)))
    for client in (everything, some):
        client.take_batch(batch)
    assert [r["rank"] for r in records_of(everything)] == [1, 2, 3, 4, 5, 6]
    assert [r["rank"] for r in records_of(some)] == [2, 5]
    # A new batch object with the same bytes is encoded again, not mixed up.
    other = windows(b"".join(record(r, monitorV=0.75) for r in range(1, 7)))
    some.take_batch(other)
    assert {r["monitorV"] for r in records_of(some)} == {0.75}


class SentTexts:
    """A WebSocket that keeps what it was sent."""

    def __init__(self):
        self.texts = []

    async def send_str(self, text):
        self.texts.append(text)


def test_events_go_to_every_client_as_the_same_valid_json():
    texts = live.EventText()
    sockets = [SentTexts(), SentTexts()]
    clients = [Client(None, ws, "records", None, event_text=texts) for ws in sockets]
    events = [{"kind": "status", "rank": 1, "old": "unheard", "new": "ok", "time": 1.5},
              {"kind": "board", "mcuId": 0, "field": "temp1", "new": math.nan},
              {"kind": "job", "job": {"id": "1"}}]

    async def send_all():
        for client in clients:          # two events taken together, then one alone
            client.take("event", events[0])
            client.take("event", events[1])
            await client.send_events()
            client.take("event", events[2])
            await client.send_events()
            await client.send_events()  # nothing taken: nothing sent

    asyncio.run(send_all())
    assert sockets[0].texts == sockets[1].texts
    got = [json.loads(t, parse_constant=pytest.fail) for t in sockets[0].texts]
    assert got == [{"type": "events", "events": [events[0], {**events[1], "new": None}]},
                   {"type": "event", "event": events[2]}]


class BusyHost:
    """Just what the live route reads of a host; every stream batch and event
    goes through a real bus."""

    def __init__(self):
        self.bus = Bus()

    def subscribe(self, kinds, maxsize=1000):
        return self.bus.subscribe(kinds, maxsize)

    def unit_versions(self):
        return []

    def unit_state_slices(self):
        return iter(())

    def snapshot(self, units=None):
        return {"time": 0.0, "units": []}

    def resolve(self, units):
        return [int(u) for u in units]


async def _records_while_the_loop_is_busy(turns=80, events_per_turn=100):
    app = web.Application()
    app[HOST] = host = BusyHost()
    app[LIVE] = live.LiveHub()
    app.add_routes(live.routes)
    async with TestClient(TestServer(app)) as http:
        ws = await http.ws_connect("/api/live?mode=records&rate=20")
        assert (await ws.receive_json())["type"] == "hello"
        ranks = set()

        async def read():
            async for msg in ws:
                message = json.loads(msg.data)
                if message["type"] == "records":
                    ranks.update(r["rank"] for r in message["records"])

        reader = asyncio.create_task(read())
        for turn in range(turns):
            # One turn of a loop taken up by intake: many events, now and then a batch.
            for k in range(events_per_turn):
                host.bus.publish("event", {"kind": "status", "rank": k})
            if turn % 10 == 9:
                host.bus.publish("windows", windows(b"".join(record(r) for r in range(1, 5))))
            time.sleep(0.002)
            await asyncio.sleep(0)
        await asyncio.sleep(0.2)
        skipped = [sub.skipped for sub in host.bus._subs]
        reader.cancel()
        await ws.close()
        return ranks, skipped


def test_a_busy_loop_does_not_make_a_client_drop_its_batches():
    ranks, skipped = asyncio.run(_records_while_the_loop_is_busy())
    assert skipped == [0]
    assert ranks == {1, 2, 3, 4}


def test_a_hello_built_in_slices_holds_every_unit_once_in_rank_order():
    from vantor.host.app import Host
    from vantor.host.settings import default_settings

    async def main():
        host = Host(default_settings(10, 30), worker_processes=0)    # 300 units: two slices
        await host.start()
        try:
            message = json.loads(await live.hello_text(host, 2.0, "summary"),
                                 parse_constant=pytest.fail)
            return message, host.snapshot()
        finally:
            await host.stop()

    message, snapshot = asyncio.run(main())
    assert (message["type"], message["rate"], message["mode"]) == ("hello", 2.0, "summary")
    units = message["snapshot"]["units"]
    assert [u["rank"] for u in units] == list(range(1, 301))
    assert units[255]["config"] == snapshot["units"][255]["config"]
    assert set(message["snapshot"]) == set(snapshot)
