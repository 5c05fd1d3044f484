"""Workers of every channel unit in this process, fed directly from the broker."""
import asyncio

import zmq

from .protocols import Worker
from .secure import connect_as_client
from .silence import NEVER, SilenceWatch, adopt

HWM = 100000  # sends never block the single event-loop thread in practice


def push_socket(ctx, url, curve=None):
    sock = ctx.socket(zmq.PUSH)
    sock.setsockopt(zmq.SNDHWM, HWM)
    sock.setsockopt(zmq.LINGER, 0)
    if curve is not None:       # tcp to the host: see secure.py
        connect_as_client(sock, curve)
    sock.connect(url)
    return sock


def build_workers(units, block, ctx, stream_url, update_url, timeout, curve=None):
    """(mcuId, cuId) -> worker.  The workers of one process share one stream
    and one update socket: they all run on this thread, a worker's three
    update frames go out in one call, and every record names its unit, so
    one pair of sockets serves any number of units with two descriptors."""
    sockets = [push_socket(ctx, stream_url, curve)]
    try:
        sockets.append(push_socket(ctx, update_url, curve))
        stream, update = sockets
        workers = {(cu.mcuId, cu.cuId): Worker(cu.rank, block.config_pair(cu.rank - 1),
                                               block.backend_pair(), stream, update, timeout)
                   for cu in units}
        for worker in workers.values():
            adopt(worker, timeout)
    except BaseException:
        for sock in sockets:
            sock.close(linger=0)
        raise
    return workers, sockets


def unit_of(workers, worker):
    """'mcuId.cuId' of a worker, for messages."""
    for (mcu, cu), w in workers.items():
        if w is worker:
            return f"{mcu}.{cu}"
    return "?"


def close_workers(workers, sockets):
    """Cancel every pending silence call first: a timer must not fire on a
    worker whose shared memory is about to go."""
    for worker in workers.values():
        worker.deadline = NEVER
        if worker.timer is not None:
            worker.timer.cancel()
            worker.timer = None
    workers.clear()
    for sock in sockets:
        sock.close(linger=0)
    sockets.clear()


class LocalWorkers:
    def __init__(self, settings, block, ctx, stream_url, update_url, stats):
        self.stats = stats
        self.workers, self._sockets = build_workers(
            settings.units(), block, ctx, stream_url, update_url, settings.timeout)
        self.watch = SilenceWatch(self.workers.values(), self._timeout_failed)
        self._watching = None

    async def start(self):
        self._watching = asyncio.create_task(self.watch.run())

    def _timeout_failed(self, worker, exc):
        self.stats.error(f"worker {unit_of(self.workers, worker)} timeout", exc)

    def deliver(self, chunk):
        worker = self.workers.get((chunk[0], chunk[1]))
        if worker is None:
            return
        try:
            worker.msg_received([chunk])
        except Exception as exc:   # one unit's failure must not stop the broker's drain
            self.stats.error(f"worker {chunk[0]}.{chunk[1]}", exc)

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
        close_workers(self.workers, self._sockets)
