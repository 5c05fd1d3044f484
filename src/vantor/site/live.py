"""The site's live WebSocket, `GET /api/live?rate=2[&mode=records|summary]`:
as a node's, with node-qualified names.

mode=records (default):
  {"type": "hello", "rate", "mode": "records", "nodes": [...], "units": [...]}
  {"type": "records", "time", "records": [the newest window of each unit since
   the last message, with "node", "unit" (NODE/RANK) and "rank"]}
  {"type": "event", "event": {..., "node"}}      a node's event, or a node alarm
  {"type": "nodes", "nodes": [...]}              once a second
mode=summary, for the dashboard: a node's hello {"snapshot": {"time", "units",
"boards", "totals", "uptime", "nodes"}} and per tick {"type": "summary",
"units": [units with a new window or state], "nodes"}, each unit's `rank`
the page's number of it (nodes.NodeBoard.page_key), `node_rank` its own."""
import asyncio
import json
import math
import time

from aiohttp import WSMsgType, web

from vantor.service.http import clean, error

from .keys import BOARD, LIVE

routes = web.RouteTableDef()
MAX_CLIENTS = 32
SEND_STALL_S = 10.0
RECORD_FIELDS = ("mcuId", "cuId", "cuStatus", "counts", "intSize", "monitorV", "rate",
                 "received", "timestamp", "time")


def _value(value):
    value = value.item() if hasattr(value, "item") else value
    return None if isinstance(value, float) and not math.isfinite(value) else value


class SiteLive:
    def __init__(self):
        self.clients = set()

    def windows(self, node, rows):
        """A node's batch: each client keeps its newest window per unit."""
        if not self.clients or not len(rows):
            return
        summaries = [c for c in self.clients if c.mode == "summary"]
        if summaries:
            moved = {(node, r) for r in rows["rank"].tolist()}
            for client in summaries:
                client.moved |= moved
        if len(summaries) == len(self.clients):
            return
        texts = {}
        columns = {name: rows[name].tolist() for name in RECORD_FIELDS}
        for k, rank in enumerate(rows["rank"].tolist()):
            record = {name: _value(columns[name][k]) for name in RECORD_FIELDS}
            record.update(node=node, rank=rank, unit=f"{node}/{rank}")
            texts[(node, rank)] = json.dumps(record)
        for client in self.clients:
            if client.mode == "records":
                client.newest.update(texts)

    def state(self, node, ranks):
        for client in self.clients:
            client.moved |= {(node, r) for r in ranks}

    def event(self, message):
        text = json.dumps(clean({"type": "event", "event": message}))
        for client in self.clients:
            client.events.append(text)

    async def close_clients(self, app=None):
        for client in list(self.clients):
            await client.ws.close()


class Client:
    def __init__(self, ws, mode):
        self.ws = ws
        self.mode = mode
        self.newest = {}
        self.moved = set()           # (node, rank) changed since the last summary
        self.events = []

    async def send(self, text):
        async with asyncio.timeout(SEND_STALL_S):
            await self.ws.send_str(text)


@routes.get("/api/live")
async def live(request):
    try:
        rate = float(request.query.get("rate", "2"))
    except ValueError:
        rate = float("nan")
    if not 0.1 <= rate <= 50:
        raise error(400, f"rate: expected 0.1 to 50 messages per second, got "
                         f"{request.query.get('rate')!r}")
    mode = request.query.get("mode", "records")
    if mode not in ("records", "summary"):
        raise error(400, f"mode: expected records or summary, got {mode[:40]!r}")
    hub, board = request.app[LIVE], request.app[BOARD]
    if len(hub.clients) >= MAX_CLIENTS:
        raise error(503, f"{len(hub.clients)} live streams are open, the most this site serves",
                    headers={"Retry-After": "10"})
    ws = web.WebSocketResponse(heartbeat=20)
    await ws.prepare(request)
    client = Client(ws, mode)
    hub.clients.add(client)
    reader = asyncio.create_task(_drain(ws))
    try:
        if mode == "summary":
            layout = board.layout()
            await client.send(_summary_hello(board, rate))
        else:
            await client.send(json.dumps(clean({"type": "hello", "rate": rate, "mode": mode,
                                                "nodes": board.described(),
                                                "units": board.units()})))
        period, next_nodes = 1.0 / rate, time.monotonic() + 1.0
        while not ws.closed and not reader.done():
            await asyncio.sleep(period)
            for text in client.events:
                await client.send(text)
            client.events.clear()
            if mode == "summary":
                moved, client.moved = client.moved, set()
                now_layout = board.layout()
                if now_layout != layout:            # a node or unit came: the page starts over
                    layout = now_layout
                    await client.send(_summary_hello(board, rate))
                    continue
                await client.send(json.dumps(clean(dict(_snapshot(board, moved),
                                                        type="summary"))))
                continue
            records = ",".join(client.newest.values())
            client.newest.clear()
            await client.send(f'{{"type":"records","time":{time.time()!r},'
                              f'"records":[{records}]}}')
            if time.monotonic() >= next_nodes:
                next_nodes = time.monotonic() + 1.0
                await client.send(json.dumps(clean({"type": "nodes",
                                                    "nodes": board.described()})))
    except (asyncio.TimeoutError, ConnectionResetError, RuntimeError):
        pass
    finally:
        reader.cancel()
        hub.clients.discard(client)
        if not ws.closed:
            await ws.close()
    return ws


def _summary_hello(board, rate):
    return json.dumps(clean({"type": "hello", "rate": rate, "mode": "summary",
                             "snapshot": _snapshot(board, None)}))


def _snapshot(board, moved):
    """What the dashboard reads of a node's snapshot, for the whole site."""
    nodes = board.described()
    return {"time": time.time(), "units": board.page_units(moved), "boards": [],
            "totals": {"nodes": len(nodes), "lost": sum(n["state"] == "lost" for n in nodes)},
            "uptime": None, "nodes": nodes}


async def _drain(ws):
    async for msg in ws:
        if msg.type in (WSMsgType.CLOSE, WSMsgType.ERROR):
            break
