"""The archive writer on a real event loop: batches reach the database off
the loop, and a failing or stalled database is reported, never waited for."""
import asyncio
import threading
import time


from vantor.history.options import ArchiveOptions
from vantor.history.postgres_store import PostgresStore
from vantor.history.writer import QUEUE_BATCHES, ArchiveWriter
from tests.test_history_store import T0, open_store, snapshot, stream_batch  # noqa: F401


def unfolded(store):
    """Rows or spans of the store not folded into per-series blocks or minutes yet."""
    if isinstance(store, PostgresStore):
        return store._reading().execute("SELECT count(*) FROM vantor.pending").fetchone()[0]
    return store._conn().execute("SELECT count(*) FROM journal").fetchone()[0]


async def until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        await asyncio.sleep(0.01)


def test_batches_land_and_restart_folds(open_store):
    states = []

    async def main():
        store = open_store()
        writer = ArchiveWriter(store, ArchiveOptions(flush_seconds=0.05),
                               on_state=lambda ok, msg: states.append((ok, msg)),
                               clock=lambda: T0 + 3600).start()
        runner = asyncio.create_task(writer.run())
        for s in range(120):
            writer.collector.stream(stream_batch([1, 2, 3], T0 + s, counts=s))
            writer.collector.snapshot(snapshot(T0 + s, ranks=(1, 2, 3), reports=s + 1))
            if s % 30 == 0:
                await asyncio.sleep(0.06)           # the interval flushes on its own
        await until(lambda: writer.batches >= 3)
        runner.cancel()
        await writer.stop()                         # last batch written, blocks folded
        return writer.status()

    status = asyncio.run(main())
    assert status["ok"] and status["lost_batches"] == 0
    assert states == []
    store = open_store()
    assert len(store.rows("unit", [3], T0, T0 + 200)[3]) == 120
    assert unfolded(store) == 0
    assert list(store.minutes("unit", [3], T0, T0 + 119)[3]["n"]) == [60, 60]


class StalledStore:
    """A store whose disk hangs until released."""

    def __init__(self):
        self.release = threading.Event()
        self.written = 0

    def write(self, batch):
        self.release.wait()
        self.written += 1

    def compact(self, now):
        return 0

    def prune(self, now, full_seconds, aggregate_seconds):
        return 0

    def close(self):
        pass


def test_a_stalled_database_never_blocks_the_loop():
    states = []

    async def main():
        store = StalledStore()
        writer = ArchiveWriter(store, ArchiveOptions(),
                               on_state=lambda ok, msg: states.append((ok, msg))).start()
        writer.collector.time_origin = 0.0        # as if the snapshot had told it
        started = time.monotonic()
        for s in range(QUEUE_BATCHES + 10):
            writer.collector.stream(stream_batch([1], T0 + s, counts=1))
            writer.flush()
        spent = time.monotonic() - started
        await until(lambda: states)
        store.release.set()
        writer.collector.stream(stream_batch([1], T0 + 99, counts=1))
        writer.flush()
        await until(lambda: states[-1][0])
        await writer.stop()
        return writer, store, spent

    writer, store, spent = asyncio.run(main())
    assert spent < 1.0
    assert writer.lost_batches >= 9
    assert states[0][0] is False and "falling behind" in states[0][1]
    assert states[-1] == (True, "archive writing again")
    assert store.written + writer.lost_batches == QUEUE_BATCHES + 11


def test_a_full_database_is_reported_and_feeding_goes_on(open_store):
    states = []
    empty = open_store()
    limit = empty.size() + 150_000
    empty.close()

    async def main():
        store = open_store(max_bytes=limit)
        writer = ArchiveWriter(store, ArchiveOptions(),
                               on_state=lambda ok, msg: states.append((ok, msg))).start()
        writer.collector.time_origin = 0.0
        s = 0
        while not states:
            writer.collector.stream(stream_batch(range(1, 200), T0 + s, counts=1))
            writer.flush()
            s += 1
            await asyncio.sleep(0.005)
        lost = writer.lost_batches
        for _ in range(3):       # the service keeps feeding; every loss is counted
            writer.collector.stream(stream_batch(range(1, 200), T0 + s, counts=1))
            writer.flush()
        await until(lambda: writer.lost_batches >= lost + 3)
        await writer.stop()
        return writer.status()

    status = asyncio.run(main())
    assert states[0][0] is False and "full" in states[0][1]
    assert not status["ok"] and "full" in status["error"]
