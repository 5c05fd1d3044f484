"""The archive over HTTP: unit, board and counter history, the settings and
alarm logs, and export of a time range to HDF5 or CSV.

Times are unix seconds; a negative `since` counts back from now
(since=-3600 is the last hour).  Without `resolution` a short range comes at
full resolution, a longer one in whole minutes (at most 4000 points per
series); resolution=0 asks for every window."""
import asyncio
import json
import math
import os
import tempfile
import time

from aiohttp import web

from vantor.history import export as archive_export
from vantor.history import queries
from vantor.host.units import UnitError

from .http import answer, clean, error
from .watch import attach

DEFAULT_SPAN = 3600.0
MAX_LOG = 10000
MAX_POINTS = 1_000_000     # per answer; more goes through /api/export


async def _answer(data):
    """JSON built off the event loop: a long series takes a while to encode."""
    text = await asyncio.to_thread(lambda: json.dumps(clean(data)))
    return web.Response(text=text, content_type="application/json")


def _store(request):
    watch = request.app["watch"]
    if watch.store is None or watch.writer is None:
        raise error(503, watch.archive_error or "archive not open")
    return watch.store


def _query_number(request, name, expected, default, low=None):
    """A finite number from the query (>= `low` when given), or `default`."""
    text = request.query.get(name)
    if text in (None, ""):
        return default
    try:
        value = float(text)
    except ValueError:
        raise error(400, f"{name}: expected {expected}, got {text!r}") from None
    if not math.isfinite(value) or (low is not None and value < low):
        bound = "" if low is None else f" >= {low:g}"
        raise error(400, f"{name}: expected {expected}{bound}, got {text!r}")
    return value


def _seconds(request, name, default):
    return _query_number(request, name, "unix seconds", default)


def _range(request, logs=False):
    """(since, until) of the query; a negative since counts back from now.
    Series default to the last DEFAULT_SPAN, logs to everything kept."""
    now = time.time()
    until = _seconds(request, "until", now)
    since = _seconds(request, "since", 0.0 if logs else until - DEFAULT_SPAN)
    if since < 0:
        since = now + since
    if until < since and not logs:
        raise error(400, f"until ({until:.3f}) is before since ({since:.3f})")
    return since, until


def _resolution(request):
    return _query_number(request, "resolution", "seconds", None, low=0)


def _complete_only(request):
    """complete_only=true leaves out windows that missed records."""
    text = request.query.get("complete_only", "false").lower()
    if text not in ("true", "false", "1", "0"):
        raise error(400, f"complete_only: expected true or false, got {text!r}")
    return text in ("true", "1")


def _ranks(request):
    host = request.app["host"]
    text = request.query.get("units", "")
    if not text:
        raise error(400, "units: missing (ranks or MCU.CU names, comma-separated)")
    try:
        return host.resolve([u.strip() for u in text.split(",")])
    except UnitError as exc:
        raise error(400, str(exc)) from None


def _boards(request):
    known = set(request.app["host"].settings.devices)
    text = request.query.get("boards", "")
    if not text:
        return sorted(known)
    out = []
    for item in text.split(","):
        try:
            mcu = int(item)
        except ValueError:
            raise error(400, f"boards: expected mcuIds, got {item!r}") from None
        if mcu not in known:
            raise error(400, f"boards: no board with mcuId {mcu} "
                             f"(boards: {', '.join(map(str, sorted(known)))})")
        out.append(mcu)
    return out


def _names(request):
    return {cu.rank: cu.label for cu in request.app["host"].settings.units()}


async def _series(request, kind, keys, default_quantity):
    store = _store(request)
    quantity = request.query.get("quantity", default_quantity)
    since, until = _range(request)
    options = request.app["watch"].archive_options
    try:
        found = await asyncio.to_thread(queries.series, store, kind, keys, quantity, since,
                                        until, _resolution(request),
                                        full_seconds=options.full_seconds,
                                        complete_only=_complete_only(request))
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


async def unit_history(request):
    ranks = _ranks(request)
    found = await _series(request, "unit", ranks, "rate")
    if found["quantity"] == "biasI":
        # which set points came from a calibration (a tune applied)
        store = _store(request)
        kept = await asyncio.to_thread(store.calibrations, ranks, found["since"],
                                       found["until"], MAX_LOG)
        for entry in found["series"].values():
            entry.setdefault("calibrations", [])
        for c in reversed(kept):
            found["series"].setdefault(str(c["rank"]), {"calibrations": []})["calibrations"].append(
                {"time": c["time"], "job": c["job"], "bias": c["bias"],
                 "policy": c["policy"]["name"]})
    return await _answer(found)


async def board_history(request):
    return await _answer(await _series(request, "board", _boards(request), "temp1"))


async def counter_history(request):
    return await _answer(await _series(request, "counters", [0], "dropped"))


def _limit(request):
    text = request.query.get("limit", "1000")
    if not text.isdigit() or not 1 <= int(text) <= MAX_LOG:
        raise error(400, f"limit: expected 1 to {MAX_LOG}, got {text!r}")
    return int(text)


async def settings_log(request):
    store = _store(request)
    since, until = _range(request, logs=True)
    entries = await asyncio.to_thread(store.settings_log, since, until, _limit(request))
    return answer({"changes": entries})


async def alarm_log(request):
    store = _store(request)
    since, until = _range(request, logs=True)
    entries = await asyncio.to_thread(store.alarm_log, since, until, _limit(request))
    return answer({"transitions": entries})


async def export(request):
    store = _store(request)
    fmt = request.query.get("format", "h5")
    if fmt not in archive_export.FORMATS:
        raise error(400, f"format: expected h5 or csv, got {fmt!r}")
    kind = request.query.get("kind", "unit")
    if kind not in ("unit", "board"):
        raise error(400, f"kind: expected unit or board, got {kind!r}")
    keys = _ranks(request) if kind == "unit" else _boards(request)
    since, until = _range(request)
    options = request.app["watch"].archive_options
    fd, path = tempfile.mkstemp(suffix=f".{fmt}", dir=request.app["data_dir"])
    os.close(fd)
    try:
        await asyncio.to_thread(archive_export.export, store, path, fmt, kind=kind, keys=keys,
                                since=since, until=until, resolution=_resolution(request),
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


def add_routes(app):
    attach(app)
    app.router.add_get("/api/history", unit_history)
    app.router.add_get("/api/history/boards", board_history)
    app.router.add_get("/api/history/counters", counter_history)
    app.router.add_get("/api/log/settings", settings_log)
    app.router.add_get("/api/log/alarms", alarm_log)
    app.router.add_get("/api/export", export)
