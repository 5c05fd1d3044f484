"""The real servers the suite starts: JetStream keeps what was published
across a restart of nats-server on the same port; PostgreSQL runs as its own
user and asks TCP clients for the password."""
import asyncio
import os
import signal

import pytest


def test_jetstream_keeps_messages_across_a_restart(nats_server):
    import nats

    async def publish():
        bus = await nats.connect(nats_server.url)
        js = bus.jetstream()
        await js.add_stream(name="ROUNDTRIP", subjects=["roundtrip.>"])
        acks = [await js.publish(f"roundtrip.{i}", f"window {i}".encode()) for i in range(3)]
        await bus.close()
        return [ack.seq for ack in acks]

    async def read_back():
        bus = await nats.connect(nats_server.url)
        js = bus.jetstream()
        sub = await js.pull_subscribe("roundtrip.>", durable="reader")
        messages = await sub.fetch(3, timeout=5)
        for message in messages:
            await message.ack()
        info = await js.stream_info("ROUNDTRIP")
        await js.delete_stream("ROUNDTRIP")
        await bus.close()
        return [(m.subject, m.data) for m in messages], info.state.messages

    assert asyncio.run(publish()) == [1, 2, 3]
    port = nats_server.port
    nats_server.stop(signal.SIGKILL)              # a crash, not a clean shutdown
    nats_server.start()
    assert nats_server.port == port
    messages, kept = asyncio.run(read_back())
    assert messages == [(f"roundtrip.{i}", f"window {i}".encode()) for i in range(3)]
    assert kept == 3


def test_postgres_runs_unprivileged_and_wants_the_password(postgres_server):
    import psycopg

    with psycopg.connect(postgres_server.url(), connect_timeout=5) as db:
        data_dir = db.execute("SHOW data_directory").fetchone()[0]
    owner = os.stat(data_dir).st_uid
    assert owner != 0 if os.geteuid() == 0 else owner == os.geteuid()
    with pytest.raises(psycopg.OperationalError, match="password authentication failed"):
        psycopg.connect(postgres_server.url().replace(":vantor-test-secret@", ":wrong@"),
                        connect_timeout=5)
