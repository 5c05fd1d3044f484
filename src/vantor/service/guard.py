"""Limits on what clients can make the service hold, so that under load the
API keeps answering and the data path loses nothing:

- connections: at most PER_ADDRESS from one client address and a total that
  leaves RESERVED_FDS file descriptors to the data path, the archive and
  the job files; one over answers 503 and is closed at once.  At the total,
  a client that holds fewer connections than the busiest address still
  gets in, and the busiest address loses its oldest connection: clients
  that hold many addresses cannot lock everybody else out;
- time: a connection that has not sent a whole request within IDLE_S (a
  silent or slow client, or an idle keep-alive) is closed by aiohttp's
  keep-alive timer, and a TLS handshake has HANDSHAKE_S;
- work: at most a few downloads and archive reads are built at once (Gate);
- running out of file descriptors anyway is logged once per LOG_EVERY_S
  with a count, not once per refused accept() with a traceback."""
import asyncio
import json
import logging
import resource
import time
from contextlib import contextmanager

from aiohttp import web

from .http import error

log = logging.getLogger("vantor.service")
PER_ADDRESS = 32
RESERVED_FDS = 256
MOST_CONNECTIONS = 4096
IDLE_S = 15.0
HANDSHAKE_S = 10.0
LOG_EVERY_S = 10.0


def raise_fd_limit():
    """The soft limit of open files raised to the hard one (at most 65536);
    returns the limit in force."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = hard if hard != resource.RLIM_INFINITY else 65536
    want = min(want, 65536)
    if want > soft:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
            soft = want
        except (ValueError, OSError):
            pass
    return soft


class Connections:
    """Counts open connections per client address and refuses those over the limits."""

    def __init__(self, per_address=PER_ADDRESS, total=None):
        if total is None:
            total = min(MOST_CONNECTIONS, max(16, raise_fd_limit() - RESERVED_FDS))
        self.per_address, self.total = per_address, total
        self.open = {}          # address -> its connections (dict as an ordered set), oldest first
        self.count = 0
        self.refused = self.evicted = 0

    def admit(self, address, connection):
        """None when `connection` may stay, else why not."""
        mine = self.open.get(address, {})
        if len(mine) >= self.per_address:
            return (f"{self.per_address} connections from {address} are open already, the "
                    "limit per client address; close some")
        if self.count >= self.total:
            busiest = max(self.open.values(), key=len)
            if len(mine) + 1 >= len(busiest):
                return f"the service holds {self.count} connections, its limit; try again soon"
            oldest = next(iter(busiest))
            self.release(oldest)
            oldest.close()
            self.evicted += 1
        self.open.setdefault(address, {})[connection] = None
        self.count += 1
        return None

    def release(self, connection):
        """Forgets `connection`; again for the same one does nothing."""
        mine = self.open.get(connection.address)
        if mine is None or mine.pop(connection, False) is False:
            return
        if not mine:
            del self.open[connection.address]
        self.count -= 1

    def protocol(self, make_handler):
        return _Counted(self, make_handler)


class _Counted(asyncio.Protocol):
    """aiohttp's request handler behind a count: a connection over the limits
    gets a 503 and is closed before any handler exists for it."""

    def __init__(self, connections, make_handler):
        self.connections, self.make_handler = connections, make_handler
        self.inner = None
        self.address = None
        self.transport = None

    def connection_made(self, transport):
        peer = transport.get_extra_info("peername")
        self.address = peer[0] if peer else "local"
        self.transport = transport
        refusal = self.connections.admit(self.address, self)
        if refusal is not None:
            self.connections.refused += 1
            body = json.dumps({"error": refusal}).encode()
            transport.write(b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json"
                            b"\r\nRetry-After: 5\r\nConnection: close\r\nContent-Length: "
                            + str(len(body)).encode() + b"\r\n\r\n" + body)
            transport.close()
            return
        self.inner = self.make_handler()
        self.inner.connection_made(transport)

    def close(self):
        if self.transport is not None:
            self.transport.close()

    def connection_lost(self, exc):
        self.connections.release(self)
        self.transport = None
        if self.inner is not None:
            self.inner.connection_lost(exc)

    def data_received(self, data):
        if self.inner is not None:
            self.inner.data_received(data)

    def eof_received(self):
        return self.inner.eof_received() if self.inner is not None else None

    def pause_writing(self):
        if self.inner is not None:
            self.inner.pause_writing()

    def resume_writing(self):
        if self.inner is not None:
            self.inner.resume_writing()


class CountedSite(web.BaseSite):
    """A TCP site whose connections pass `connections` first."""

    def __init__(self, runner, host, port, connections, *, ssl_context=None):
        super().__init__(runner, ssl_context=ssl_context, backlog=128)
        self._host, self._port, self._connections = host, port, connections

    @property
    def name(self):
        scheme = "https" if self._ssl_context else "http"
        return f"{scheme}://{self._host}:{self._port}"

    async def start(self):
        await super().start()
        server = self._runner.server
        self._server = await asyncio.get_running_loop().create_server(
            lambda: self._connections.protocol(server), self._host, self._port,
            ssl=self._ssl_context, backlog=self._backlog, reuse_address=True,
            ssl_handshake_timeout=HANDSHAKE_S if self._ssl_context else None)


class AcceptErrors:
    """A loop exception handler that turns asyncio's traceback per refused
    accept() (no file descriptors left) into one line per LOG_EVERY_S."""

    def __init__(self, loop, clock=time.monotonic):
        self.loop, self.clock = loop, clock
        self.missed = 0
        self.total = 0
        self._last = None

    def __call__(self, loop, context):
        message = context.get("message", "")
        if "accept() out of system resource" not in message:
            loop.default_exception_handler(context)
            return
        self.missed += 1
        self.total += 1
        now = self.clock()
        if self._last is None or now - self._last >= LOG_EVERY_S:
            exc = context.get("exception")
            log.error("out of file descriptors: %d connection(s) could not be accepted since "
                      "the last report (%s); open files are limited to %d",
                      self.missed, getattr(exc, "strerror", None) or exc,
                      resource.getrlimit(resource.RLIMIT_NOFILE)[0])
            self.missed = 0
            self._last = now


class Gate:
    """At most `size` of one kind of costly work at once; more answers 503."""

    def __init__(self, size, what):
        self.size, self.what = size, what
        self.busy = 0

    @contextmanager
    def slot(self):
        if self.busy >= self.size:
            raise error(503, f"{self.busy} {self.what} are being prepared, the most at once; "
                             "try again in a moment", headers={"Retry-After": "2"})
        self.busy += 1
        try:
            yield
        finally:
            self.busy -= 1


class Limits:
    """The gates the routes share (keys.LIMITS)."""

    def __init__(self, downloads=4, queries=8):
        self.downloads = Gate(downloads, "downloads")
        self.queries = Gate(queries, "archive queries")
