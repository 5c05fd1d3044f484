"""The live stream's records messages: every field of every record as the
hub sent it, valid JSON whatever the floats hold, and one encoding of a batch
shared by clients that filter different units."""
import json
import math

import pytest

from vantor.service.live import BatchText, Client
from vantor.wire import STREAM_DATA, STREAM_FIELDS


def record(rank, monitorV=0.25, biasI=-2.5e-6, timestamp=12.34, status=0):
    return STREAM_DATA.pack(rank // 32, rank % 32, status, rank % 2, monitorV, biasI,
                            1000 + rank, 100, rank, timestamp)


def decoded(data):
    return [dict(zip(STREAM_FIELDS, v)) for v in STREAM_DATA.iter_unpack(data)]


def records_of(client):
    message = json.loads(client.records(), parse_constant=pytest.fail)
    assert message["type"] == "records" and isinstance(message["time"], float)
    return message["records"]


def test_records_carry_every_field_newest_per_unit_in_rank_order():
    texts = BatchText()
    client = Client(None, None, "records", None, texts)
    client.take_batch(b"".join(record(r) for r in (3, 1, 2)))
    newer = record(2, monitorV=0.5, timestamp=13.34)
    client.take_batch(newer)
    expected = decoded(record(1) + newer + record(3))
    assert records_of(client) == expected
    assert records_of(client) == [], "a message holds what came since the last one"


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_floats_json_cannot_hold_are_null(value):
    client = Client(None, None, "records", None, BatchText())
    client.take_batch(record(1, monitorV=value, biasI=value) + record(2, timestamp=1e300))
    first, second = records_of(client)
    assert first["monitorV"] is None and first["biasI"] is None
    assert first["counts"] == 1001 and second["timestamp"] == 1e300


def test_clients_share_a_batch_encoding_but_keep_their_own_units():
    texts = BatchText()
    everything = Client(None, None, "records", None, texts)
    some = Client(None, None, "records", {2, 5}, texts)
    batch = b"".join(record(r) for r in range(1, 7))
    for client in (everything, some):
        client.take_batch(batch)
    assert [r["rank"] for r in records_of(everything)] == [1, 2, 3, 4, 5, 6]
    assert [r["rank"] for r in records_of(some)] == [2, 5]
    # A new batch object with the same bytes is encoded again, not mixed up.
    other = b"".join(record(r, monitorV=0.75) for r in range(1, 7))
    some.take_batch(other)
    assert {r["monitorV"] for r in records_of(some)} == {0.75}
