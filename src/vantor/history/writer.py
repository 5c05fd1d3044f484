"""The archive writer: a collector filled on the event loop, and one thread
that owns the database writes, so a slow disk never holds up live data.

Once per flush interval the loop hands the collected batch to the thread
(never waiting: a full queue loses the batch and counts it).  The thread
writes it, folds closed blocks and prunes old rows now and then, and reports
a failing or recovered database through `on_state(ok, message)`, called on
the event loop."""
import asyncio
import logging
import queue
import threading
import time

from .collector import ArchiveCollector
from .store import ArchiveError

log = logging.getLogger(__name__)
QUEUE_BATCHES = 30           # seconds of data the thread may fall behind
_STOP = object()


class ArchiveWriter:
    def __init__(self, store, options, *, on_state=None, clock=time.time):
        self.store = store
        self.options = options
        self.collector = ArchiveCollector()
        self.on_state = on_state
        self.clock = clock
        self.ok = True
        self.error = None
        self.batches = self.rows = self.lost_batches = 0
        self.cpu = 0.0                   # CPU seconds of the archive thread
        self._queue = queue.Queue(maxsize=QUEUE_BATCHES)
        self._thread = None
        self._loop = None
        self._next_compact = 0.0
        self._next_prune = 0.0

    # -- lifecycle ----------------------------------------------------------

    def start(self):
        self._loop = asyncio.get_running_loop()
        self._thread = threading.Thread(target=self._work, name="vantor-archive", daemon=True)
        self._thread.start()
        return self

    async def stop(self):
        """Write what was collected, then let the thread finish and close the store."""
        if self._thread is None:
            return
        self.flush()
        self._put(_STOP, force=True)
        await asyncio.to_thread(self._thread.join)
        self._thread = None
        self.store.close()

    def status(self):
        return {"ok": self.ok, "error": self.error, "batches": self.batches,
                "cpu_s": round(self.cpu, 3),
                "rows": self.rows, "lost_batches": self.lost_batches}

    # -- on the event loop --------------------------------------------------

    def flush(self):
        batch = self.collector.take()
        if len(batch):
            self._put(batch)

    async def run(self):
        """Flush once per interval until cancelled."""
        while True:
            await asyncio.sleep(self.options.flush_seconds)
            self.flush()

    def _put(self, item, force=False):
        try:
            self._queue.put(item, block=force, timeout=5.0 if force else None)
        except queue.Full:
            self.lost_batches += 1
            self._report(False, f"archive falling behind: {self.lost_batches} batches "
                                f"not written")

    # -- on the archive thread ----------------------------------------------

    def _work(self):
        while True:
            item = self._queue.get()
            if item is _STOP:
                self._maintain(force=True)
                return
            self._write(item)
            self.cpu = time.thread_time()

    def _write(self, item):
        try:
            self.store.write(item)
        except Exception as exc:     # the database's own failure, kept running
            self.lost_batches += 1
            self._failed("write", exc)
            return
        self.batches += 1
        self.rows += len(item)
        if not self.ok:
            self._report(True, "archive writing again")
        self._maintain()

    def _maintain(self, force=False):
        now = self.clock()
        try:
            if force or now >= self._next_compact:
                self._next_compact = now + min(60.0, self.options.block_minutes * 6)
                self.store.compact(now)
            if now >= self._next_prune:
                self._next_prune = now + self.options.prune_minutes * 60
                dropped = self.store.prune(now, self.options.full_seconds,
                                           self.options.aggregate_seconds)
                if dropped:
                    log.info("archive: dropped %d blocks and log rows past retention", dropped)
        except Exception as exc:
            self._failed("maintenance", exc)

    def _failed(self, what, exc):
        message = f"archive {what} failed: {exc}"
        if message != self.error:
            log.error("%s", message)
        self._report(False, message)

    def _report(self, ok, message):
        changed = ok != self.ok or (not ok and message != self.error)
        self.ok, self.error = ok, None if ok else message
        if changed and self.on_state is not None and self._loop is not None:
            try:
                self._loop.call_soon_threadsafe(self.on_state, ok, message)
            except RuntimeError:         # loop already closed at shutdown
                pass


def open_archive(location, options):
    """The store at `location`: a PostgreSQL database for a postgresql:// URL,
    else the SQLite file at that path; or ArchiveError with a message for
    the operator."""
    from .postgres_store import PostgresStore, is_database_url
    from .sqlite_store import SQLiteStore

    store = PostgresStore if is_database_url(location) else SQLiteStore
    return store(location, block_seconds=options.block_minutes * 60,
                 max_bytes=options.max_size_mb * 1e6 if options.max_size_mb else None)


def archive_name(location):
    """The location as shown to people: a URL without its password."""
    from .postgres_store import is_database_url, public_url
    return public_url(location) if is_database_url(location) else str(location)


__all__ = ["ArchiveWriter", "ArchiveError", "archive_name", "open_archive"]
