"""Reading an asyncio ZMQ socket in batches."""
import asyncio

import zmq

BATCH = 256    # messages per turn of the event loop, so UDP intake and timers keep theirs


async def messages(sock):
    """Every message arriving on the asyncio socket `sock`, as a list of frames."""
    async for batch in batches(sock):
        for frames in batch:
            yield frames


async def batches(sock):
    """The same messages, a list per turn of the loop: what arrived together.

    An await costs a future and a turn of the loop; a plain non-blocking
    receive costs a few microseconds. So wait for one message, then take what
    else is queued, up to BATCH, without waiting.  Waiting for a message that
    is already there does not give the loop its turn (the awaited future is
    done at once), so after a full batch the loop gets it explicitly: a
    thousand units closing their windows together would hold it otherwise."""
    plain = zmq.Socket.shadow(sock.underlying)
    while True:
        batch = [await sock.recv_multipart()]
        for _ in range(BATCH - 1):
            try:
                batch.append(plain.recv_multipart(zmq.NOBLOCK))
            except zmq.Again:
                break
        yield batch
        if len(batch) == BATCH:
            await asyncio.sleep(0)
