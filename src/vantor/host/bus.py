"""Fan-out of what the host produces (stream batches, IV results, IV range,
events) to any number of readers.

Publishing happens inside the data path's hooks, so it must never wait: each
subscriber has a bounded queue, and what does not fit is counted as skipped
for that subscriber alone.  A slow reader loses its own items; the data path
and the other readers go on."""
import asyncio

KINDS = frozenset({"stream", "iv", "iv_range", "event"})


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

    def offer(self, kind, payload):
        try:
            self.queue.put_nowait((kind, payload))
        except asyncio.QueueFull:
            self.skipped += 1

    async def get(self):
        """The next (kind, payload); StopAsyncIteration once closed and drained."""
        if self.closed and self.queue.empty():
            raise StopAsyncIteration
        item = await self.queue.get()
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
