"""The site's HTTP API: nodes, every node's units under NODE/RANK and
NODE/MCU.CU names, their history from the site's archive, alarms, and the
commands forwarded to the node that owns the units (its answer, status and
body, passed back as it came)."""
import asyncio
import json
import time

from aiohttp import web

from vantor import schema
from vantor.history import queries
from vantor.service.http import answer, clean, error, json_body
from vantor.service.routes_history import _range, _read

from . import protocol
from .keys import ARCHIVE, BOARD, BUS, OPTIONS, STORE
from .names import KEY_STRIDE, UnitNameError, site_key, split_key, split_name, unit_list

routes = web.RouteTableDef()
COMMAND_TIMEOUT_S = 10.0         # a node's reply to a command (settings wait for echoes)
MAX_LOG = 10000


def _expand(board, name):
    """A name as the dashboard sends it (one number, node n's rank r as
    n * KEY_STRIDE + r) as NODE/RANK; any other name as it is."""
    if isinstance(name, int) or (isinstance(name, str) and name.strip().isdigit()):
        key = int(name)
        if key >= KEY_STRIDE:
            found = board.from_page_key(key)
            if found is None:
                raise error(404, f"unit {key}: no node has the number {key // KEY_STRIDE}")
            return found
    return name


def _place(request, name):
    """(node, rank) of a unit name at this site; 400/404 in one line."""
    board = request.app[BOARD]
    name = _expand(board, name)
    try:
        node, local = split_name(name, board.nodes)
        return node, board.resolve(node, local)
    except UnitNameError as exc:
        raise error(400, str(exc)) from None
    except KeyError as exc:
        raise error(404, exc.args[0]) from None


def _by_node(request, names):
    """{node: [local names as given]}, every name checked."""
    out = {}
    board = request.app[BOARD]
    for name in unit_list(names):
        try:
            node, local = split_name(_expand(board, name), board.nodes)
            board.resolve(node, local)       # the node checks again; this names the unit
        except UnitNameError as exc:
            raise error(400, str(exc)) from None
        except KeyError as exc:
            raise error(404, exc.args[0]) from None
        out.setdefault(node, []).append(local)
    if not out:
        raise error(400, "units: none given (NODE/RANK or NODE/MCU.CU names)")
    return out


def _nodes(request):
    archive = request.app[ARCHIVE]
    out = request.app[BOARD].described()
    now = time.time()
    for entry in out:
        newest = archive.newest.get(entry["node"]) if archive else None
        entry["archive_lag_s"] = None if newest is None else round(now - newest, 3)
    return out


@routes.get("/api/nodes")
async def nodes(request):
    return answer({"nodes": _nodes(request)})


@routes.get("/api/snapshot")
async def snapshot(request):
    """Every node and unit at once (`vantor status --server SITE`)."""
    board = request.app[BOARD]
    return answer({"site": True, "time": time.time(), "nodes": _nodes(request),
                   "units": board.units(),
                   "alarms": sum(a.get("state") == "active" for a in board.all_alarms())})


@routes.get("/api/units")
async def units(request):
    return answer({"units": request.app[BOARD].units()})


@routes.get("/api/units/{unit:.+}")
async def unit(request):
    node, rank = _place(request, request.match_info["unit"])
    return answer(request.app[BOARD].nodes[node].unit(rank))


@routes.get("/api/alarms")
async def alarms(request):
    archive = request.app[ARCHIVE]
    return answer({"alarms": request.app[BOARD].all_alarms(),
                   "archive": archive.status() if archive else None})


@routes.get("/api/status")
async def status(request):
    board, archive = request.app[BOARD], request.app[ARCHIVE]
    return answer({"nodes": len(board.nodes), "units": len(board.units()),
                   "lost": sum(n.lost for n in board.nodes.values()),
                   "malformed": board.malformed_message.count,
                   "archive": archive.status() if archive else None})


# -- commands, forwarded ----------------------------------------------------

async def forward(request, node, verb, body):
    """The node's answer to one command as (status, body)."""
    import nats.errors

    bus = request.app[BUS]
    if node not in request.app[BOARD].nodes:
        raise error(404, f"no node {node!r} at this site")
    try:
        reply = await bus.request(protocol.command_subject(node, verb), protocol.encode_json(body),
                                  timeout=COMMAND_TIMEOUT_S)
    except nats.errors.NoRespondersError:
        raise error(503, f"node {node} does not answer commands (is it running with --bus?)") \
            from None
    except (nats.errors.TimeoutError, asyncio.TimeoutError):
        raise error(504, f"node {node} did not answer {verb} within {COMMAND_TIMEOUT_S:g} s") \
            from None
    except nats.errors.Error as exc:
        raise error(503, f"bus: {exc or type(exc).__name__}") from None
    try:
        message = protocol.decode_json(reply.data)
        code = message["status"]
        if not isinstance(code, int) or not 100 <= code <= 599:
            raise ValueError(f"status {code!r}")
    except (ValueError, KeyError) as exc:
        request.app[BOARD].malformed_message(reply.subject or f"reply of {node}", str(exc))
        raise error(503, f"node {node} answered {verb} with a malformed reply") from None
    return code, message.get("body")


def _qualified(node, reply):
    """A node's answer with its units named as the site names them."""
    if not isinstance(reply, dict):
        return reply
    reply = dict(reply, node=node)
    if isinstance(reply.get("units"), list):
        reply["units"] = [_unit_named(node, u) if isinstance(u, dict) else u
                          for u in reply["units"]]
    return reply


def _unit_named(node, unit):
    out = dict(unit, node=node)
    if isinstance(unit.get("rank"), int):
        out["unit"] = f"{node}/{unit['rank']}"
    if isinstance(unit.get("name"), str):
        out["name"] = f"{node}/{unit['name']}"
    return out


async def _forward_units(request, verb):
    body = await json_body(request)
    if "units" not in body:
        raise error(400, "units: missing (a list of NODE/RANK or NODE/MCU.CU names)")
    parts = _by_node(request, body["units"])
    replies = await asyncio.gather(*(forward(request, node, verb, dict(body, units=local))
                                     for node, local in parts.items()))
    replies = [(code, _qualified(node, reply)) for node, (code, reply) in zip(parts, replies)]
    if len(parts) == 1:
        code, reply = replies[0]
        return web.json_response(clean(reply), status=code)
    # several nodes: each node's answer, the worst status of them, and the
    # units of every node's answer together, as one node answers
    code = max(c for c, _ in replies)
    out = {"nodes": {node: {"status": c, "body": b} for node, (c, b) in zip(parts, replies)}}
    if all(isinstance(b, dict) and isinstance(b.get("units"), list) for _, b in replies):
        out["units"] = [u for _, b in replies for u in b["units"]]
    return web.json_response(clean(out), status=code)


@routes.post("/api/settings")
async def change_settings(request):
    return await _forward_units(request, "settings")


@routes.post("/api/jobs/iv")
async def submit_iv(request):
    return await _forward_units(request, "iv")


@routes.post("/api/jobs/acquire")
async def submit_acquire(request):
    return await _forward_units(request, "acquire")


@routes.post("/api/jobs/{node}/{id}/cancel")
async def cancel_job(request):
    schema.empty_request(await json_body(request))
    code, reply = await forward(request, request.match_info["node"], "cancel",
                                {"job": request.match_info["id"]})
    return web.json_response(clean(reply), status=code)


@routes.post("/api/alarms/{id:.+}/ack")
async def acknowledge(request):
    comment = schema.ack_request(await json_body(request))
    ident = request.match_info["id"]
    board = request.app[BOARD]
    if ident in board.alarms:                   # one of the site's own
        return answer(board.acknowledge(ident, comment))
    node, sep, local = ident.partition("/")
    if not sep or node not in board.nodes:
        raise error(404, f"no alarm {ident!r} (a node's alarm is named NODE/ID)")
    code, reply = await forward(request, node, "ack", {"alarm": local, "comment": comment})
    return web.json_response(clean(reply), status=code)


# -- history from the site's archive ---------------------------------------

def _store(request):
    store = request.app[STORE]
    if store is None:
        raise error(503, "the site's archive is not open")
    return store


async def _archived_unit(request, name):
    """(node, rank, archive index or None) of a name in a history query: a
    node gone from the bus still has its history (by rank; MCU.CU names
    need the node's units)."""
    board, archive, store = request.app[BOARD], request.app[ARCHIVE], _store(request)
    name = _expand(board, name)
    prefix = str(name).rpartition("/")[0]
    if prefix and prefix not in board.nodes and prefix not in archive.indexes \
            and protocol.NODE_NAME.fullmatch(prefix):
        found = await _read(store.node_index, prefix, False)
        if found is not None:
            archive.indexes.setdefault(prefix, found)
    try:
        node, local = split_name(name, set(board.nodes) | set(archive.indexes))
        rank = board.resolve(node, local) if node in board.nodes else local
    except UnitNameError as exc:
        raise error(400, str(exc)) from None
    except KeyError as exc:
        raise error(404, exc.args[0]) from None
    if not isinstance(rank, int):
        raise error(404, f"unit {name}: node {node} is not on the bus: name its units by rank")
    index = archive.indexes.get(node)
    if index is None:
        index = await _read(store.node_index, node, False)
    return node, rank, index


@routes.get("/api/history")
async def history(request):
    """As a node's /api/history, series named by their site names."""
    store, archive = _store(request), request.app[ARCHIVE]
    text = request.query.get("units")
    if not text:
        raise error(400, "units: missing (NODE/RANK or NODE/MCU.CU names, comma-separated)")
    keys = {}                        # archive key -> the name as asked for
    for name in unit_list(text):
        node, rank, index = await _archived_unit(request, name)
        if index is not None:        # None: nothing of this node archived yet
            # series are NODE/RANK, as a node's are ranks; the page's numbers stay its own
            shown = name if _expand(request.app[BOARD], name) != name else f"{node}/{rank}"
            keys[site_key(index, rank)] = (shown, node, rank)
    if not keys:
        return answer({"quantity": request.query.get("quantity", "rate"), "series": {}})
    quantity = request.query.get("quantity", "rate")
    since, until = _range(request)
    options = request.app[OPTIONS]
    try:
        found = await _read(queries.series, store, "unit", list(keys), quantity, since, until,
                            schema.query_resolution(request.query.get("resolution")),
                            full_seconds=options.full_seconds,
                            complete_only=schema.query_flag(request.query.get("complete_only"),
                                                            "complete_only"))
    except queries.QueryError as exc:
        raise error(400, str(exc)) from None
    series = {}
    for key, columns in found["series"].items():
        entry = {name: values.tolist() for name, values in columns.items()}
        asked, node, rank = keys[key]
        series[str(asked)] = dict(entry, name=f"{node}/{rank}", node=node, rank=rank)
    text = await asyncio.to_thread(lambda: json.dumps(clean(
        {"quantity": quantity, "since": since, "until": until,
         "resolution": found["resolution"], "series": series})))
    return web.Response(text=text, content_type="application/json")


@routes.get("/api/log/alarms")
async def alarm_log(request):
    since, until = _range(request, logs=True)
    limit = schema.query_limit(request.query.get("limit"), MAX_LOG)
    return answer({"transitions": await _read(_store(request).alarm_log, since, until, limit)})


@routes.get("/api/log/settings")
async def settings_log(request):
    since, until = _range(request, logs=True)
    limit = schema.query_limit(request.query.get("limit"), MAX_LOG)
    changes = await _read(_store(request).settings_log, since, until, limit)
    archive = request.app[ARCHIVE]
    nodes = {index: node for node, index in archive.indexes.items()}
    for change in changes:
        # the archive's key of the unit as the node and its rank
        if isinstance(change.get("rank"), int) and change["rank"] >= KEY_STRIDE:
            index, rank = split_key(change["rank"])
            node = nodes.get(index)
            change.update(rank=rank, node=node, unit=f"{node}/{rank}" if node else None)
    return answer({"changes": changes})
