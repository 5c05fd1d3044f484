"""Reading an asyncio ZMQ socket in batches."""
import zmq

BATCH = 1000   # messages per turn of the event loop, so UDP intake and timers keep theirs


async def messages(sock):
    """Every message arriving on the asyncio socket `sock`, as a list of frames.

    An await costs a future and a turn of the loop; a plain non-blocking
    receive costs a few microseconds. So wait for one message, then take what
    else is queued, up to BATCH, without waiting."""
    plain = zmq.Socket.shadow(sock.underlying)
    while True:
        yield await sock.recv_multipart()
        for _ in range(BATCH - 1):
            try:
                frames = plain.recv_multipart(zmq.NOBLOCK)
            except zmq.Again:
                break
            yield frames


async def batches(sock):
    """The same messages, a list per turn of the loop: what arrived together."""
    plain = zmq.Socket.shadow(sock.underlying)
    while True:
        batch = [await sock.recv_multipart()]
        for _ in range(BATCH - 1):
            try:
                batch.append(plain.recv_multipart(zmq.NOBLOCK))
            except zmq.Again:
                break
        yield batch
