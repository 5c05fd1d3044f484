"""The archive over HTTP: unit, board and counter history, the settings and
alarm logs, and export of a time range to HDF5 or CSV.

Times are unix seconds; a negative `since` counts back from now
(since=-3600 is the last hour).  Without `resolution` a short range comes at
full resolution, a longer one in whole minutes (at most 4000 points per
series); resolution=0 asks for every window."""
import asyncio
import json
import os
import tempfile
import time

from aiohttp import web

from vantor import schema
from vantor.history import export as archive_export
from vantor.history import queries
from vantor.history.store import ArchiveError
from vantor.host.units import UnitError

from .http import answer, clean, error
from .keys import DATA_DIR, HOST, LIMITS, WATCH

routes = web.RouteTableDef()
DEFAULT_SPAN = 3600.0
MAX_LOG = 10000
MAX_POINTS = 1_000_000     # per answer; more goes through /api/export


async def _answer(data):
    """JSON built off the event loop: a long series takes a while to encode."""
    text = await asyncio.to_thread(lambda: json.dumps(clean(data)))
    return web.Response(text=text, content_type="application/json")


async def _read(function, *args, **kwargs):
    """A store call off the event loop; a database that went away answers 503."""
    try:
        return await asyncio.to_thread(function, *args, **kwargs)
    except ArchiveError as exc:
        raise error(503, str(exc)) from None


def _store(request):
    watch = request.app[WATCH]
    if watch.store is None or watch.writer is None:
        raise error(503, watch.archive_error or "archive not open")
    return watch.store


def _range(request, logs=False):
    """(since, until) of the query; a negative since counts back from now.
    Series default to the last DEFAULT_SPAN, logs to everything kept."""
    now = time.time()
    until = schema.query_time(request.query.get("until"), "until", now)
    since = schema.query_time(request.query.get("since"), "since",
                              0.0 if logs else until - DEFAULT_SPAN)
    if since < 0:
        since = now + since
    if until < since and not logs:
        raise error(400, f"until ({until:.3f}) is before since ({since:.3f})")
    return since, until


def _resolution(request):
    return schema.query_resolution(request.query.get("resolution"))


def _complete_only(request):
    """complete_only=true leaves out windows that missed records."""
    return schema.query_flag(request.query.get("complete_only"), "complete_only")


def _ranks(request):
    names = schema.unit_query(request.query.get("units"))
    try:
        return request.app[HOST].resolve(names)
    except UnitError as exc:
        raise error(400, str(exc)) from None


def _boards(request):
    known = set(request.app[HOST].settings.devices)
    text = request.query.get("boards", "")
    if not text:
        return sorted(known)
    out = schema.query_ids(text, "boards")
    for mcu in out:
        if mcu not in known:
            raise error(400, f"boards: no board with mcuId {mcu} "
                             f"(boards: {', '.join(map(str, sorted(known)))})")
    return out


def _names(request):
    return {cu.rank: cu.label for cu in request.app[HOST].settings.units()}


def _quantity(request, default):
    text = request.query.get("quantity", default)
    if not text.isascii() or len(text) > 40:
        raise error(400, f"quantity: {schema.shown(text)} is not a quantity")
    return text


async def _series(request, kind, keys, default_quantity):
    store = _store(request)
    quantity = _quantity(request, default_quantity)
    since, until = _range(request)
    options = request.app[WATCH].archive_options
    resolution, complete_only = _resolution(request), _complete_only(request)
    try:
        with request.app[LIMITS].queries.slot():
            found = await _read(queries.series, store, kind, keys, quantity, since, until,
                                resolution, full_seconds=options.full_seconds,
                                complete_only=complete_only)
    except queries.QueryError as exc:
        raise error(400, str(exc)) from None
    points = sum(len(c["time"]) for c in found["series"].values())
    if points > MAX_POINTS:
        raise error(400, f"{points} points asked for, more than {MAX_POINTS} in one answer: "
                         f"choose a coarser resolution or a shorter range, or use /api/export")
    names = _names(request) if kind == "unit" else {}
    series = {}
    for key, columns in found["series"].items():
        entry = {name: values.tolist() for name, values in columns.items()}
        if key in names:
            entry["name"] = names[key]
        series[str(key)] = entry
    return {"quantity": quantity, "since": since, "until": until,
            "resolution": found["resolution"], "series": series}


@routes.get("/api/history")
async def unit_history(request):
    ranks = _ranks(request)
    found = await _series(request, "unit", ranks, "rate")
    if found["quantity"] == "biasI":
        # which set points came from a calibration (a tune applied)
        store = _store(request)
        kept = await _read(store.calibrations, ranks, found["since"], found["until"], MAX_LOG)
        for entry in found["series"].values():
            entry.setdefault("calibrations", [])
        for c in reversed(kept):
            found["series"].setdefault(str(c["rank"]), {"calibrations": []})["calibrations"].append(
                {"time": c["time"], "job": c["job"], "bias": c["bias"],
                 "policy": c["policy"]["name"]})
    return await _answer(found)


@routes.get("/api/history/boards")
async def board_history(request):
    return await _answer(await _series(request, "board", _boards(request), "temp1"))


@routes.get("/api/history/counters")
async def counter_history(request):
    return await _answer(await _series(request, "counters", [0], "dropped"))


def _limit(request):
    return schema.query_limit(request.query.get("limit"), MAX_LOG)


@routes.get("/api/log/settings")
async def settings_log(request):
    store = _store(request)
    since, until = _range(request, logs=True)
    entries = await _read(store.settings_log, since, until, _limit(request))
    return answer({"changes": entries})


@routes.get("/api/log/alarms")
async def alarm_log(request):
    store = _store(request)
    since, until = _range(request, logs=True)
    entries = await _read(store.alarm_log, since, until, _limit(request))
    return answer({"transitions": entries})


@routes.get("/api/export")
async def export(request):
    store = _store(request)
    fmt = schema.choice(request.query.get("format"), "format", archive_export.FORMATS, "h5")
    kind = schema.choice(request.query.get("kind"), "kind", ("unit", "board"), "unit")
    keys = _ranks(request) if kind == "unit" else _boards(request)
    since, until = _range(request)
    resolution = _resolution(request)
    options = request.app[WATCH].archive_options
    fd, path = tempfile.mkstemp(suffix=f".{fmt}", dir=request.app[DATA_DIR])
    os.close(fd)
    try:
        with request.app[LIMITS].downloads.slot():
            await _read(archive_export.export, store, path, fmt, kind=kind, keys=keys,
                        since=since, until=until, resolution=resolution,
                        names=_names(request) if kind == "unit" else None,
                        full_seconds=options.full_seconds)
            with open(path, "rb") as fh:
                body = fh.read()
    except queries.QueryError as exc:
        raise error(400, str(exc)) from None
    finally:
        os.unlink(path)
    name = f"vantor-{kind}s-{int(since)}-{int(until)}.{fmt}"
    return web.Response(body=body, headers={
        "Content-Type": "text/csv" if fmt == "csv" else "application/x-hdf5",
        "Content-Disposition": f'attachment; filename="{name}"'})
