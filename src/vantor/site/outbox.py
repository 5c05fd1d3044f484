"""What a node has for the bus and the bus has not acknowledged yet, in the
order it was made, bounded in bytes.  The data path never waits for it: a
full outbox drops its oldest messages and counts them, so what reaches the
site is the newest part, and the gap is said (counted, logged, alarmed).

Each message carries a number unique to this node's run (`msg_id`): sent
again after a lost acknowledgement, the stream keeps it once."""
import asyncio
import itertools
from collections import deque
from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Message:
    seq: int
    subject: str
    data: bytes
    msg_id: str
    windows: int          # rows of a window batch (0 for other messages)


class Outbox:
    def __init__(self, limit_bytes, id_prefix):
        self.limit = int(limit_bytes)
        self.id_prefix = id_prefix
        self._queue = deque()
        self._seq = itertools.count(1)
        self.bytes = 0
        self.dropped = 0               # messages dropped from a full outbox, ever
        self.dropped_bytes = 0
        self.added = 0
        self._ready = asyncio.Event()

    def __len__(self):
        return len(self._queue)

    def add(self, subject, data, windows=0):
        """Keeps `data` for `subject`; returns how many older messages made room."""
        seq = next(self._seq)
        message = Message(seq, subject, data, f"{self.id_prefix}-{seq}", windows)
        self._queue.append(message)
        self.bytes += len(data)
        self.added += 1
        dropped = 0
        while self.bytes > self.limit and len(self._queue) > 1:
            self._drop_oldest()
            dropped += 1
        self._ready.set()
        return dropped

    def _drop_oldest(self):
        old = self._queue.popleft()
        self.bytes -= len(old.data)
        self.dropped += 1
        self.dropped_bytes += len(old.data)

    def drop_first(self):
        """The oldest message goes, counted as dropped (the bus refuses it)."""
        if self._queue:
            self._drop_oldest()

    def window(self, count, max_bytes):
        """The oldest messages, up to `count` of them and `max_bytes` together
        (at least one); they stay until acknowledged."""
        out, size = [], 0
        for message in itertools.islice(self._queue, count):
            if out and size + len(message.data) > max_bytes:
                break
            out.append(message)
            size += len(message.data)
        return out

    def acknowledged(self, seq):
        """Every message up to `seq` reached the bus (those dropped meanwhile are gone)."""
        while self._queue and self._queue[0].seq <= seq:
            self.bytes -= len(self._queue.popleft().data)

    async def wait(self):
        """Until something is waiting."""
        while not self._queue:
            self._ready.clear()
            await self._ready.wait()
