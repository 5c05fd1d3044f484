"""Fan-out of what the host produces (stream batches, IV results, IV range,
events) to any number of readers.

Publishing happens inside the data path's hooks, so it must never wait: each
subscriber has a bounded queue, and what does not fit is counted as skipped
for that subscriber alone.  A slow reader loses its own items; the data path
and the other readers go on."""
import asyncio
import time

KINDS = frozenset({"windows", "iv", "iv_range", "event"})
TURN_S = 0.005     # a reader working off a full queue gives the loop back this often


class Subscription:
    def __init__(self, bus, kinds, maxsize):
        unknown = set(kinds) - KINDS
        if unknown:
            raise ValueError(f"unknown subscription kind {sorted(unknown)[0]!r}: "
                             f"expected some of {sorted(KINDS)}")
        self.bus = bus
        self.kinds = frozenset(kinds)
        self.queue = asyncio.Queue(maxsize)
        self.skipped = 0
        self.closed = False
        self._woke = time.monotonic()

    def offer(self, kind, payload):
        try:
            self.queue.put_nowait((kind, payload))
        except asyncio.QueueFull:
            self.skipped += 1

    async def get(self):
        """The next (kind, payload); StopAsyncIteration once closed and drained.
        A queue that holds items hands them out without waiting, which would
        let a reader of a long queue keep the loop (and the data path) for as
        long as it takes: so it gives the loop a turn every TURN_S."""
        if self.closed and self.queue.empty():
            raise StopAsyncIteration
        if self.queue.empty():
            item = await self.queue.get()
            self._woke = time.monotonic()
        else:
            if time.monotonic() - self._woke > TURN_S:
                await asyncio.sleep(0)
                self._woke = time.monotonic()
            item = self.queue.get_nowait()
        if item is None:
            raise StopAsyncIteration
        return item

    def get_nowait(self):
        """The next (kind, payload), or None when nothing is waiting."""
        try:
            item = self.queue.get_nowait()
        except asyncio.QueueEmpty:
            return None
        return item

    def __aiter__(self):
        return self

    async def __anext__(self):
        return await self.get()

    def close(self):
        if not self.closed:
            self.closed = True
            self.bus._subs.discard(self)
            try:
                self.queue.put_nowait(None)    # wakes a reader waiting in get()
            except asyncio.QueueFull:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Bus:
    def __init__(self):
        self._subs = set()

    def subscribe(self, kinds=KINDS, maxsize=1000):
        sub = Subscription(self, kinds, maxsize)
        self._subs.add(sub)
        return sub

    def publish(self, kind, payload):
        for sub in tuple(self._subs):
            if kind in sub.kinds:
                sub.offer(kind, payload)

    def close(self):
        for sub in tuple(self._subs):
            sub.close()
