"""Workers of every channel unit in this process, fed by the router."""
import asyncio

import zmq

from .protocols import Worker
from .secure import connect_as_client
from .silence import SilenceWatch, arm

HWM = 100000  # sends never block the single event-loop thread in practice


def push_socket(ctx, url, curve=None):
    sock = ctx.socket(zmq.PUSH)
    sock.setsockopt(zmq.SNDHWM, HWM)
    sock.setsockopt(zmq.LINGER, 0)
    if curve is not None:       # tcp to the host: see secure.py
        connect_as_client(sock, curve)
    sock.connect(url)
    return sock


class WorkerSet:
    """The workers of `units` in this process, in their order, and their
    silence deadlines.  They share one stream and one update socket: they
    all run on this thread, a worker's three update frames go out in one
    call, and every record names its unit, so one pair of sockets serves any
    number of units with two descriptors."""

    def __init__(self, units, block, ctx, stream_url, update_url, timeout, curve=None):
        self.sockets = [push_socket(ctx, stream_url, curve)]
        try:
            self.sockets.append(push_socket(ctx, update_url, curve))
            stream, update = self.sockets
            self.labels = [cu.label for cu in units]
            self.workers = [Worker(cu.rank, block.config_pair(cu.rank - 1), block.backend_pair(),
                                   stream, update, timeout) for cu in units]
            self.deadlines = arm(self.workers, timeout)
        except BaseException:
            self.close()
            raise

    def by_pair(self):
        return {tuple(map(int, label.split("."))): w for label, w in zip(self.labels, self.workers)}

    def label_of(self, worker):
        """'mcuId.cuId' of a worker, for messages."""
        for label, w in zip(self.labels, self.workers):
            if w is worker:
                return label
        return "?"

    def watch(self, on_error):
        return SilenceWatch(self.workers, self.deadlines, on_error)

    def close(self):
        """Every deadline is unarmed and every pending silence call cancelled
        first: a timer must not fire on a worker whose shared memory is about
        to go."""
        deadlines = getattr(self, "deadlines", None)
        if deadlines is not None:
            SilenceWatch([], deadlines).stop()
        for worker in getattr(self, "workers", ()):
            if worker.timer is not None:
                worker.timer.cancel()
                worker.timer = None
        self.workers = []
        for sock in self.sockets:
            sock.close(linger=0)
        self.sockets.clear()


class LocalWorkers:
    def __init__(self, settings, block, ctx, stream_url, update_url, stats):
        self.stats = stats
        self.set = WorkerSet(settings.units(), block, ctx, stream_url, update_url,
                             settings.timeout)
        self.watch = self.set.watch(self._timeout_failed)
        self._watching = None

    @property
    def workers(self):
        """(mcuId, cuId) -> worker."""
        return self.set.by_pair()

    def targets(self):
        """What the router hands each unit's records to, in rank order."""
        return list(self.set.workers)

    def attach(self, router):
        """Records reach these workers through the router, at once."""

    async def start(self):
        self._watching = asyncio.create_task(self.watch.run())

    def _timeout_failed(self, worker, exc):
        self.stats.error(f"worker {self.set.label_of(worker)} timeout", exc)

    def flush(self):
        pass   # delivered at once

    async def stop(self):
        if self._watching is not None:
            self._watching.cancel()
            try:
                await self._watching
            except asyncio.CancelledError:
                pass
            self._watching = None
        self.set.close()
