"""The live stream: a WebSocket per client, at the rate the client asks for.

`GET /api/live?rate=2&mode=summary|records&units=1,0.3`
- first a {"type": "hello", "snapshot"} message;
- then `rate` times a second either {"type": "summary", "units": [units whose
  state changed since the last message], "boards", "totals"} or {"type":
  "records", "records": [the newest stream record of each unit since the last
  message]};
- and every event as {"type": "event", "event"} when it happens.
A client that cannot keep up loses its own items (its subscription is
bounded) and is dropped when a send stalls; the data path never waits."""
import asyncio
import json
import time

from aiohttp import WSMsgType, web

from vantor.host.units import UnitError
from vantor.wire import STREAM_DATA, STREAM_FIELDS

from .http import clean, error

MAX_RATE = 20.0
SEND_STALL_S = 5.0          # a client whose socket takes this long to take a message is dropped
_RANK = STREAM_FIELDS.index("rank")


def _options(request):
    host = request.app["host"]
    try:
        rate = float(request.query.get("rate", "2"))
    except ValueError:
        raise error(400, f"rate: expected messages per second, got {request.query['rate']!r}")
    if not 0.1 <= rate <= MAX_RATE:
        raise error(400, f"rate: expected 0.1 to {MAX_RATE:g} messages per second, got {rate:g}")
    mode = request.query.get("mode", "summary")
    if mode not in ("summary", "records"):
        raise error(400, f"mode: expected summary or records, got {mode!r}")
    ranks = None
    if request.query.get("units"):
        try:
            ranks = set(host.resolve([u for u in request.query["units"].split(",")]))
        except UnitError as exc:
            raise error(400, str(exc)) from None
    return rate, mode, ranks


class Client:
    def __init__(self, host, ws, mode, ranks):
        self.host, self.ws, self.mode, self.ranks = host, ws, mode, ranks
        self.versions = None
        self.newest = {}            # rank -> newest record (records mode)

    async def send(self, message):
        text = json.dumps(clean(message))
        await asyncio.wait_for(self.ws.send_str(text), SEND_STALL_S)

    def summary(self):
        host = self.host
        versions = host.unit_versions()
        now = time.time()
        old = self.versions
        changed = [i + 1 for i, v in enumerate(versions)
                   if (old is None or old[i] != v) and (self.ranks is None or i + 1 in self.ranks)]
        self.versions = versions
        return {"type": "summary", "time": now,
                "units": [host.unit_state(r, now) for r in changed],
                "boards": host.boards_state(now), "totals": host.totals()}

    def take_batch(self, data):
        usable = len(data) - len(data) % STREAM_DATA.size
        for values in STREAM_DATA.iter_unpack(data[:usable]):
            rank = values[_RANK]
            if self.ranks is None or rank in self.ranks:
                self.newest[rank] = values

    def records(self):
        records = [dict(zip(STREAM_FIELDS, v)) for _, v in sorted(self.newest.items())]
        self.newest.clear()
        return {"type": "records", "time": time.time(), "records": records}


async def live(request):
    rate, mode, ranks = _options(request)
    host = request.app["host"]
    ws = web.WebSocketResponse(heartbeat=20)
    await ws.prepare(request)
    kinds = {"event", "stream"} if mode == "records" else {"event"}
    client = Client(host, ws, mode, ranks)
    request.app["live_clients"].add(client)
    sub = host.subscribe(kinds, maxsize=5000)
    try:
        client.versions = host.unit_versions()
        await client.send({"type": "hello", "snapshot": host.snapshot(),
                           "rate": rate, "mode": mode})
        reader = asyncio.create_task(_drain_client(ws))
        period = 1.0 / rate
        next_tick = time.monotonic() + period
        while not ws.closed and not reader.done():
            timeout = max(0.0, next_tick - time.monotonic())
            try:
                kind, payload = await asyncio.wait_for(sub.get(), timeout)
            except asyncio.TimeoutError:
                kind = None
            except StopAsyncIteration:
                break
            if kind == "event":
                await client.send({"type": "event", "event": payload})
            elif kind == "stream":
                client.take_batch(payload)
            if time.monotonic() >= next_tick:
                next_tick += period
                if next_tick < time.monotonic():      # fell behind: skip, do not catch up
                    next_tick = time.monotonic() + period
                await client.send(client.summary() if mode == "summary" else client.records())
        reader.cancel()
    except (asyncio.TimeoutError, ConnectionResetError, RuntimeError):
        pass        # a stalled or vanished client: drop it
    finally:
        sub.close()
        request.app["live_clients"].discard(client)
        if not ws.closed:
            await ws.close()
    return ws


async def _drain_client(ws):
    """Reads (and ignores) what the client sends, so close frames are seen."""
    async for msg in ws:
        if msg.type in (WSMsgType.CLOSE, WSMsgType.ERROR):
            break


def add_routes(app):
    app.setdefault("live_clients", set())
    app.router.add_get("/api/live", live)
