"""The live stream: a WebSocket per client, at the rate the client asks for.

`GET /api/live?rate=2&mode=summary|records&units=1,0.3`
- first a {"type": "hello", "snapshot"} message;
- then `rate` times a second either {"type": "summary", "units": [units whose
  state changed since the last message], "boards", "totals"} or {"type":
  "records", "records": [the newest stream record of each unit since the last
  message, with `received`: how many of its window's records arrived]};
- and every event as {"type": "event", "event"} when it happens, or, when
  several come at once, together as {"type": "events", "events": [...]}.
A client that cannot keep up loses its own items (its subscription is
bounded) and is dropped when a send stalls; the data path never waits."""
import asyncio
import collections
import json
import math
import time

import numpy as np
from aiohttp import WSMsgType, web

from vantor import schema
from vantor.host.units import UnitError
from vantor.wire import STREAM_FIELDS

from .http import clean, error
from .keys import HOST, LIVE

routes = web.RouteTableDef()
MAX_CLIENTS = 32            # live streams at once; each costs the loop encoding time
MAX_MESSAGE = 4096          # bytes a client may send in one message (it needs to send none)
SEND_STALL_S = 5.0          # a client whose socket takes this long to take a message is dropped
CHUNK_S = 0.005             # time one client spends on its queue before the loop gets a turn
# A record as the live stream sends it: the stream record's fields and the
# records of its window that arrived (fewer than intSize: the counts read low).
RECORD_FIELDS = STREAM_FIELDS + ("received",)
_FLOATS = frozenset({"monitorV", "biasI", "timestamp"})
# One stream record as JSON: %r of a finite float is what json.dumps writes.
_RECORD_JSON = "{" + ",".join(f'"{f}":%{"r" if f in _FLOATS else "d"}'
                              for f in RECORD_FIELDS) + "}"
_RECORD_JSON_ANY = "{" + ",".join(f'"{f}":%s' for f in RECORD_FIELDS) + "}"


def _json_number(value):
    """What json.dumps writes for a finite number; null for NaN and infinities."""
    if isinstance(value, float) and not math.isfinite(value):
        return "null"
    return repr(value)


class BatchText:
    """Each decoded batch's records as JSON texts, {rank: text}, made once for
    every client: clients in records mode all take the same batches, and
    encoding a batch of thousands of records per client stalled the loop."""

    KEEP = 8                # clients read their queues at different moments

    def __init__(self):
        self._made = collections.OrderedDict()     # id(batch) -> (batch, {rank: text})

    def __call__(self, windows):
        key = id(windows)
        hit = self._made.get(key)
        if hit is not None and hit[0] is windows:
            return hit[1]
        rows = windows.rows
        columns = [rows[name].tolist() for name in RECORD_FIELDS]
        records = list(zip(*columns))
        ranks = columns[RECORD_FIELDS.index("rank")]
        if all(np.isfinite(rows[name]).all() for name in _FLOATS):
            texts = dict(zip(ranks, (_RECORD_JSON % rec for rec in records)))
        else:       # NaN and infinities are no JSON: null
            texts = dict(zip(ranks, (_RECORD_JSON_ANY % tuple(map(_json_number, rec))
                                     for rec in records)))
        self._made[key] = (windows, texts)
        while len(self._made) > self.KEEP:
            self._made.popitem(last=False)
        return texts


class EventText:
    """Each event as JSON text, made once for every client: when
    thousands of units change state at once (the first records after a
    start), every client sends the same thousands of messages."""

    KEEP = 16384            # clients may be thousands of events apart

    def __init__(self):
        self._made = collections.OrderedDict()     # id(event) -> (event, text)

    def __call__(self, event):
        key = id(event)
        hit = self._made.get(key)
        if hit is not None and hit[0] is event:
            return hit[1]
        text = json.dumps(clean(event))
        self._made[key] = (event, text)
        if len(self._made) > self.KEEP:
            self._made.popitem(last=False)
        return text


def _options(request):
    rate, mode, names = schema.live_options(request.query)
    ranks = None
    if names is not None:
        try:
            ranks = set(request.app[HOST].resolve(names))
        except UnitError as exc:
            raise error(400, str(exc)) from None
    return rate, mode, ranks


class LiveHub:
    """What every live client shares: the encoded batches and events, and
    the set of clients (closed when the service stops)."""

    def __init__(self):
        self.clients = set()
        self.batch_text = BatchText()
        self.event_text = EventText()

    async def close_clients(self, app):
        """For the application's on_shutdown: before the server waits for
        open requests, so streams end at once instead of at its time-out."""
        for client in list(self.clients):
            await client.ws.close(code=1001, message=b"service stopping")


class Client:
    def __init__(self, host, ws, mode, ranks, batch_text=None, event_text=None):
        self.host, self.ws, self.mode, self.ranks = host, ws, mode, ranks
        self.batch_text = batch_text or BatchText()
        self.event_text = event_text or EventText()
        self.versions = None
        self.newest = {}            # rank -> newest record as JSON text (records mode)
        self.events = []            # JSON texts of events taken since the last send

    async def send(self, message):
        await self.send_text(json.dumps(clean(message)))

    async def send_text(self, text):
        # A deadline, not wait_for: wait_for runs the send as a task of its
        # own, which costs a turn of the loop per message.
        async with asyncio.timeout(SEND_STALL_S):
            await self.ws.send_str(text)

    def summary(self):
        host = self.host
        versions = host.unit_versions()
        now = time.time()
        old = self.versions
        moved = np.arange(1, len(versions) + 1) if old is None else \
            np.flatnonzero(versions != old) + 1
        changed = [r for r in moved.tolist() if self.ranks is None or r in self.ranks]
        self.versions = versions
        return {"type": "summary", "time": now,
                "units": [host.unit_state(r, now) for r in changed],
                "boards": host.boards_state(now), "totals": host.totals()}

    def take(self, kind, payload):
        """One item of the subscription: events go out with the chunk they
        came in (send_events), a stream batch waits for the next tick."""
        if kind == "event":
            self.events.append(self.event_text(payload))
        elif kind == "windows":
            self.take_batch(payload)

    async def send_events(self):
        """One event as {"type": "event"}; several taken together (thousands
        of units changing state at once) as one {"type": "events"} message,
        not thousands of messages in a burst that would hold up the intake."""
        if len(self.events) == 1:
            await self.send_text(f'{{"type":"event","event":{self.events[0]}}}')
        elif self.events:
            await self.send_text(f'{{"type":"events","events":[{",".join(self.events)}]}}')
        self.events.clear()

    def take_batch(self, windows):
        texts = self.batch_text(windows)
        if self.ranks is None:
            self.newest.update(texts)
        else:
            self.newest.update((r, t) for r, t in texts.items() if r in self.ranks)

    def records(self):
        """The records message as JSON text (records in rank order)."""
        records = ",".join(text for _, text in sorted(self.newest.items()))
        self.newest.clear()
        return f'{{"type":"records","time":{_json_number(time.time())},"records":[{records}]}}'


async def hello_text(host, rate, mode):
    """The hello message as JSON text.  Its units are read and encoded a slice
    per turn of the loop: in one piece, thousands of them held the loop long
    enough (35 ms per client at 2048 units) for datagrams to pile up."""
    slices = []
    for chunk in host.unit_state_slices():
        slices.append(",".join(json.dumps(clean(unit)) for unit in chunk))
        await asyncio.sleep(0)
    snapshot = host.snapshot(units=[])
    del snapshot["units"]
    rest = json.dumps(clean(snapshot))          # never empty: time, boards, totals ...
    units = ",".join(s for s in slices if s)
    return (f'{{"type":"hello","rate":{json.dumps(rate)},"mode":{json.dumps(mode)},'
            f'"snapshot":{rest[:-1]},"units":[{units}]}}}}')


@routes.get("/api/live")
async def live(request):
    rate, mode, ranks = _options(request)
    host, hub = request.app[HOST], request.app[LIVE]
    if len(hub.clients) >= MAX_CLIENTS:
        raise error(503, f"{len(hub.clients)} live streams are open, the most this service "
                         "serves at once; close one or try again later",
                    headers={"Retry-After": "10"})
    ws = web.WebSocketResponse(heartbeat=20, max_msg_size=MAX_MESSAGE)
    await ws.prepare(request)
    kinds = {"event", "windows"} if mode == "records" else {"event"}
    client = Client(host, ws, mode, ranks, hub.batch_text, hub.event_text)
    hub.clients.add(client)
    sub = host.subscribe(kinds, maxsize=5000)
    try:
        client.versions = host.unit_versions()
        await client.send_text(await hello_text(host, rate, mode))
        reader = asyncio.create_task(_drain_client(ws))
        period = 1.0 / rate
        next_tick = time.monotonic() + period
        while not ws.closed and not reader.done():
            # Items are taken a few milliseconds' worth per turn of the loop: a
            # loop busy with intake gives this task few turns, and one item per
            # turn let its queue overflow with events until it dropped every
            # stream batch; a longer chunk would hold up the intake.
            item = sub.get_nowait()
            if item is None:
                timeout = max(0.0, next_tick - time.monotonic())
                try:
                    item = await asyncio.wait_for(sub.get(), timeout)
                except asyncio.TimeoutError:
                    item = None
                except StopAsyncIteration:
                    break
            else:
                await asyncio.sleep(0)
            chunk_end = time.monotonic() + CHUNK_S
            while item is not None:
                client.take(*item)
                item = sub.get_nowait() if time.monotonic() < chunk_end else None
            await client.send_events()
            if time.monotonic() >= next_tick:
                next_tick += period
                if next_tick < time.monotonic():      # fell behind: skip, do not catch up
                    next_tick = time.monotonic() + period
                if mode == "summary":
                    await client.send(client.summary())
                else:
                    await client.send_text(client.records())
        reader.cancel()
    except (asyncio.TimeoutError, ConnectionResetError, RuntimeError):
        pass        # a stalled or vanished client: drop it
    finally:
        sub.close()
        hub.clients.discard(client)
        if not ws.closed:
            await ws.close()
    return ws


async def _drain_client(ws):
    """Reads (and ignores) what the client sends, so close frames are seen."""
    async for msg in ws:
        if msg.type in (WSMsgType.CLOSE, WSMsgType.ERROR):
            break

