"""The node's side of the site bus, inside `vantor serve --node NAME --bus URL`:
what the host makes goes out on `vantor.NODE.*` and commands come in on
`vantor.NODE.cmd.*`, while the node's own data path, API and dashboard go
on as without a bus.

- One bounded subscription to the host (windows and events) is read on the
  loop; a reader that falls behind loses its own items (counted), never the
  data path's time.
- Window batches, events, alarm transitions and unit snapshots go into the
  outbox and from there to the JetStream stream, in order, each
  acknowledged; a bus that is away (at start or later) leaves them in the
  outbox (bounded by buffer_mb: the oldest go first, counted, logged and
  alarmed) until it is back.
- The heartbeat is plain NATS, sent only while connected: a stale one tells
  nobody anything.
- Credentials the server refuses at start end `vantor serve` with one line
  (BusRefused): a node that would publish nothing and accept nothing while
  looking alive is worse than one that says so."""
import asyncio
import logging
import os
import time

from vantor.service.http import clean
from . import protocol
from .connection import BusError, BusRefused, connect
from .outbox import Outbox

log = logging.getLogger("vantor.site.node")

CHUNK_BYTES = 512 * 1024       # per window or state message: half the server's default
                               # max_payload (1 MiB), or half of what it says
WINDOW_COUNT = 256             # messages in flight before their acknowledgements
WINDOW_BYTES = 4 * 1024 * 1024
ACK_TIMEOUT_S = 5.0
RETRY_S = 0.5
REFUSED_TRIES = 5              # the stream refusing one message this often: it is dropped
STATE_MIN_S = 0.5              # unit snapshots at most this often
STATE_EVERY_S = 30.0           # ... and at least this often, for a site that starts late
STATE_SLICE = 64              # units read and encoded per turn of the loop (about 2 ms)
DROP_SHOWN_S = 10.0            # the alarm stays this long after the last drop
LOG_DROPS_S = 10.0
SUBSCRIPTION_SIZE = 5000
STOP_FLUSH_S = 2.0
HEADROOM = 1024                # subject and headers beside a message's data


class NodeLink:
    """One node's connection to the site: open() before the service starts
    (refused credentials raise there), then `lifetime` in the application."""

    def __init__(self, options):
        self.options = options
        self.node = options.node
        self.nc = None
        self.js = None
        self.http_url = None           # the node's API, once it serves
        self.connected = asyncio.Event()
        self.outbox = Outbox(options.buffer_mb * 1024 * 1024,
                             f"{self.node}-{os.getpid()}-{time.time_ns()}")
        self.published = {"messages": 0, "bytes": 0, "windows": 0}
        self.lost_in_subscription = 0  # host items our subscription had no room for
        self.unsendable = 0            # events that are no JSON
        self.away_since = time.time()
        self.last_drop = None
        self._logged_drops = 0
        self._next_drop_log = 0.0
        self._state_due = True
        self._quiet_until = {}
        self._closing = False
        self._reconnecting = None
        self._tasks = []
        self._sub = None
        self._app = None
        self._commands = None

    # -- connection --------------------------------------------------------------

    async def open(self):
        """The first connection attempt: BusRefused for credentials; a bus
        that does not answer is tried again in the background."""
        try:
            await self._connect()
        except BusRefused:
            raise
        except BusError as exc:
            log.warning("%s; the node runs on and keeps what it publishes (up to %g MB) "
                        "until the bus answers", exc, self.options.buffer_mb)

    async def _connect(self):
        self.nc = await connect(self.options, f"vantor node {self.node}",
                                disconnected_cb=self._disconnected,
                                reconnected_cb=self._reconnected, error_cb=self._bus_error)
        self.js = self.nc.jetstream()
        await self._on_connected()

    async def _keep_trying(self):
        while self.nc is None:
            await asyncio.sleep(1.0)
            try:
                await self._connect()
            except BusRefused as exc:
                log.error("%s; the node publishes nothing until it is fixed", exc)
                await asyncio.sleep(30.0)
            except BusError:
                pass

    async def _bus_error(self, exc):
        # refused reconnection attempts are what disconnected_cb said already;
        # what the server refuses us once connected (permissions) is news
        text = str(exc) or type(exc).__name__
        if "ermission" in text or "uthoriz" in text:
            self._warn(f"bus {self.options.url}: {text.strip()}")
        else:
            log.debug("bus: %s", text)

    def _warn(self, text):
        """A warning at most every LOG_DROPS_S for the same kind of trouble."""
        now = time.monotonic()
        if now >= self._quiet_until.get(text[:40], 0.0):
            self._quiet_until[text[:40]] = now + LOG_DROPS_S
            log.warning("%s", text)

    async def _disconnected(self):
        if self.connected.is_set() and not self._closing:
            self.connected.clear()
            self.away_since = time.time()
            log.warning("bus %s: connection lost; keeping what the node publishes (up to "
                        "%g MB) until it is back", self.options.url, self.options.buffer_mb)
            self._check_alarm()

    async def _reconnected(self):
        # in a task: nats-py counts a failure of this callback as a failed reconnection
        self._reconnecting = asyncio.get_running_loop().create_task(self._on_connected())

    async def _on_connected(self):
        await self._ensure_stream()
        if self._commands is None and self._app is not None:
            await self._serve_commands()
        waiting = len(self.outbox)
        if waiting or self.outbox.dropped:
            log.warning("bus %s: connected; sending %d messages kept meanwhile (%d dropped "
                        "from the full buffer so far)", self.options.url, waiting,
                        self.outbox.dropped)
        self.connected.set()
        self._check_alarm()

    async def _ensure_stream(self):
        """The site's stream, made with our retention when nobody made it yet."""
        from nats.js.errors import NotFoundError
        try:
            await self.js.stream_info(protocol.STREAM)
            return
        except NotFoundError:
            pass
        except Exception as exc:          # no JetStream, no permission: the sends will say
            log.warning("bus: stream %s: %s", protocol.STREAM, exc)
            return
        try:
            await self.js.add_stream(name=protocol.STREAM, subjects=protocol.stream_subjects(),
                                     max_age=self.options.retention_h * 3600.0)
        except Exception as exc:
            log.warning("bus: stream %s could not be made: %s", protocol.STREAM, exc)

    # -- life cycle ---------------------------------------------------------------

    async def lifetime(self, app):
        """For the application's cleanup_ctx, after the watch (its alarms)."""
        from vantor.service.keys import HOST, WATCH
        self._app = app
        self.host, self.engine = app[HOST], app[WATCH].engine
        self._sub = self.host.subscribe({"windows", "event"}, maxsize=SUBSCRIPTION_SIZE)
        if self.nc is not None and self.nc.is_connected:
            await self._serve_commands()
        loop = asyncio.get_running_loop()
        self._tasks = [loop.create_task(coro) for coro in
                       (self._follow(), self._send(), self._tick(), self._states())]
        if self.nc is None:
            self._tasks.append(loop.create_task(self._keep_trying()))
        self._check_alarm()
        yield
        await self.stop()

    async def stop(self):
        if self._commands is not None:
            await self._commands.stop()
        if self._sub is not None:
            self._sub.close()
        if self.connected.is_set():
            try:              # what is made already goes out, if the bus takes it soon
                async with asyncio.timeout(STOP_FLUSH_S):
                    while len(self.outbox):
                        await asyncio.sleep(0.05)
            except TimeoutError:
                pass
        if len(self.outbox):
            log.warning("bus %s: %d messages (%.1f MB) not sent at stop", self.options.url,
                        len(self.outbox), self.outbox.bytes / 1e6)
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks = []
        await self.close()

    async def close(self):
        self._closing = True
        if self.nc is not None:
            try:
                await self.nc.close()
            except Exception:          # closing a connection that already broke
                pass

    async def _serve_commands(self):
        from .node_commands import CommandService
        self._commands = CommandService(self._app, self.nc, self.node)
        await self._commands.start()

    # -- what goes out ----------------------------------------------------------

    def _add(self, kind, data, windows=0):
        dropped = self.outbox.add(protocol.subject(self.node, kind), data, windows)
        if dropped:
            self.last_drop = time.monotonic()
            if self._next_drop_log <= self.last_drop:
                self._log_drops()

    def _log_drops(self):
        new = self.outbox.dropped - self._logged_drops
        if new:
            log.warning("bus %s: buffer full (%g MB): dropped the %d oldest messages (%d in "
                        "all)", self.options.url, self.options.buffer_mb, new,
                        self.outbox.dropped)
            self._logged_drops = self.outbox.dropped
            self._next_drop_log = time.monotonic() + LOG_DROPS_S
            self._check_alarm()

    def _json(self, kind, message):
        try:
            data = protocol.encode_json(clean(message))
        except (TypeError, ValueError) as exc:
            self.unsendable += 1
            log.warning("bus: a %s message is no JSON (%s): not sent", kind, exc)
            return
        self._add(kind, data)

    @property
    def chunk_bytes(self):
        if self.nc is not None and self.nc.max_payload:
            return min(CHUNK_BYTES, self.nc.max_payload // 2)
        return CHUNK_BYTES

    def _windows(self, batch):
        rows = batch.rows
        per_chunk = max(1, self.chunk_bytes // protocol.WIRE_WINDOW_DTYPE.itemsize)
        now = time.time()
        for first in range(0, len(rows), per_chunk):
            part = rows[first:first + per_chunk]
            self._add("windows", protocol.encode_windows(self.node, now, part), len(part))

    def _event(self, event):
        now = time.time()
        if event.get("kind") == "alarm":
            alarm = dict(event["alarm"])
            transition = alarm.pop("transition", None)
            alarm.pop("time", None)
            if transition in protocol.ALARM_TRANSITIONS:
                self._json("alarms", protocol.alarm_message(self.node, now, transition, alarm))
            return
        self._state_due = True          # settings, status, silence ...: units changed
        self._json("events", protocol.event_message(self.node, now, event))

    async def _follow(self):
        skipped = 0
        async for kind, payload in self._sub:
            if kind == "windows":
                self._windows(payload)
            else:
                self._event(payload)
            if self._sub.skipped != skipped:
                self.lost_in_subscription += self._sub.skipped - skipped
                log.warning("bus: %d host items found no room in the node's subscription "
                            "(%d in all): not sent", self._sub.skipped - skipped,
                            self._sub.skipped)
                skipped = self._sub.skipped
                self.last_drop = time.monotonic()

    async def _states(self):
        next_full = 0.0
        while True:
            await asyncio.sleep(STATE_MIN_S)
            if self._state_due or time.monotonic() >= next_full:
                self._state_due = False
                next_full = time.monotonic() + STATE_EVERY_S
                units = []
                try:
                    for chunk in self.host.unit_state_slices(size=STATE_SLICE):
                        units += [protocol.encode_json(u) for u in clean(chunk)]
                        await asyncio.sleep(0)   # thousands of units: the loop gets turns
                except (TypeError, ValueError) as exc:
                    self.unsendable += 1
                    log.warning("bus: the unit snapshot is no JSON (%s): not sent", exc)
                    continue
                messages = protocol.state_messages(self.node, time.time(), units,
                                                   self.chunk_bytes)
                for data in messages:
                    self._add("state", data)

    async def _tick(self):
        """The heartbeat, and the alarm while the bus is away or we drop."""
        while True:
            self._check_alarm()
            if self.last_drop is not None and self._next_drop_log <= time.monotonic():
                self._log_drops()
            if self.connected.is_set():
                beat = protocol.heartbeat_message(
                    self.node, time.time(), len(self.host.units), self.http_url,
                    len(self.outbox), self.dropped)
                try:
                    await self.nc.publish(protocol.subject(self.node, "heartbeat"),
                                          protocol.encode_json(beat))
                except Exception as exc:    # gone meanwhile: disconnected_cb says so
                    log.debug("bus: heartbeat not sent: %s", exc)
            await asyncio.sleep(self.options.heartbeat_s)

    async def _send(self):
        """The outbox into the stream, oldest first, a window of messages in
        flight; only acknowledged messages leave the outbox."""
        refusals = 0
        while True:
            await self.outbox.wait()
            await self.connected.wait()
            window = self.outbox.window(WINDOW_COUNT, WINDOW_BYTES)
            results = await self._publish(window)
            acked, error = None, None
            for message, result in zip(window, results):
                if isinstance(result, BaseException):
                    error = result
                    break
                acked = message
                self.published["messages"] += 1
                self.published["bytes"] += len(message.data)
                self.published["windows"] += message.windows
            if acked is not None:
                self.outbox.acknowledged(acked.seq)
                refusals = 0
            if error is None:
                continue
            refusals = await self._after_failure(error, refusals)

    async def _publish(self, window):
        from nats.errors import MaxPayloadError
        futures = []
        try:
            for message in window:
                if len(message.data) + HEADROOM > self.nc.max_payload:
                    # checked here: nats-py would keep the acknowledgement's slot for ever
                    futures.append(MaxPayloadError())
                    break
                futures.append(await self.js.publish_async(
                    message.subject, message.data, headers={"Nats-Msg-Id": message.msg_id}))
        except Exception as exc:         # too large, or the connection broke while sending
            futures.append(exc)

        async def acknowledgement(future):
            if isinstance(future, BaseException):
                raise future
            return await asyncio.wait_for(future, ACK_TIMEOUT_S)

        return await asyncio.gather(*(acknowledgement(f) for f in futures),
                                    return_exceptions=True)

    async def _after_failure(self, error, refusals):
        from nats.errors import MaxPayloadError
        from nats.js.errors import APIError, NoStreamResponseError
        if isinstance(error, MaxPayloadError):
            log.error("bus %s: a message of %d bytes is larger than the server takes "
                      "(max_payload %d): dropped", self.options.url,
                      len(self.outbox.window(1, 0)[0].data), self.nc.max_payload)
            self.outbox.drop_first()
            self.last_drop = time.monotonic()
            return 0
        if self.connected.is_set():
            self._warn(f"bus {self.options.url}: the stream did not take a message "
                       f"({str(error) or type(error).__name__}); trying again")
        if isinstance(error, NoStreamResponseError):
            await self._ensure_stream()
        elif isinstance(error, APIError):
            refusals += 1
            if refusals >= REFUSED_TRIES:
                log.error("bus: the stream refuses a message %d times (%s): dropped",
                          refusals, error)
                self.outbox.drop_first()
                self.last_drop = time.monotonic()
                return 0
        await asyncio.sleep(RETRY_S)
        return refusals

    # -- state --------------------------------------------------------------------

    @property
    def dropped(self):
        """Messages the site will never see: dropped from the full outbox, or
        items the subscription had no room for, or events that are no JSON."""
        return self.outbox.dropped + self.lost_in_subscription + self.unsendable

    def _check_alarm(self):
        if self._app is None:
            return
        subject = f"bus {self.options.url}"
        dropping = self.last_drop is not None and time.monotonic() - self.last_drop < DROP_SHOWN_S
        if not self.connected.is_set():
            since = time.strftime("%H:%M:%S", time.localtime(self.away_since))
            message = (f"bus {self.options.url} unreachable since {since}: "
                       f"{len(self.outbox)} messages ({self.outbox.bytes / 1e6:.1f} MB) kept "
                       f"for it, {self.dropped} dropped")
        elif dropping:
            message = (f"bus {self.options.url}: {self.dropped} messages dropped (buffer "
                       f"{self.options.buffer_mb:g} MB full, or the node's subscription)")
        else:
            message = None
        self.engine.set("bus", subject, message is not None, message,
                        value=self.dropped if message else None)

    def commands_answered(self):
        return dict(self._commands.counts) if self._commands is not None else {}

    def status(self):
        return {"node": self.node, "url": self.options.url,
                "connected": self.connected.is_set(), "buffered": len(self.outbox),
                "buffered_bytes": self.outbox.bytes, "dropped": self.dropped,
                **{f"published_{k}": v for k, v in self.published.items()}}
