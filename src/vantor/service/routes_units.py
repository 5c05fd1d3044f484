"""Units, boards, totals and settings changes."""
from aiohttp import web

from vantor import schema
from vantor.host.app import ConfigureError, ConfigureTimeout
from vantor.host.units import UnitError, resolve_unit

from .http import answer, error, json_body
from .keys import HOST, NODE
from .security import ACTOR

routes = web.RouteTableDef()
INTERFACES = ("api", "client", "cli", "dashboard", "tune", "latch", "epics", "bus")


def via_of(request):
    """Which interface a change came through, for the settings log."""
    via = request.headers.get("X-Vantor-Via", "api")
    return via if via in INTERFACES else "api"


def _unit_rank(request):
    host = request.app[HOST]
    name = schema.unit_name(request.match_info["unit"])
    try:
        return resolve_unit(host.settings, name)
    except UnitError as exc:
        raise error(404, str(exc)) from None


@routes.get("/api/snapshot")
async def snapshot(request):
    return answer(request.app[HOST].snapshot())


@routes.get("/api/units")
async def units(request):
    return answer({"units": request.app[HOST].snapshot()["units"]})


@routes.get("/api/units/{unit}")
async def unit(request):
    return answer(request.app[HOST].unit_state(_unit_rank(request)))


@routes.get("/api/boards")
async def boards(request):
    return answer({"boards": request.app[HOST].snapshot()["boards"]})


@routes.get("/api/status")
async def status(request):
    snap = request.app[HOST].snapshot()
    node = request.app.get(NODE)
    return answer({"totals": snap["totals"], "uptime": snap["uptime"], "workers": snap["workers"],
                   "units": len(snap["units"]), "boards": len(snap["boards"]),
                   "bus": node.status() if node is not None else None})


@routes.get("/api/settings/limits")
async def limits(request):
    return answer(request.app[HOST].settings.limits_table())


@routes.post("/api/settings")
async def change_settings(request):
    return await settings_change(request.app, await json_body(request), via=via_of(request),
                                 actor=request[ACTOR])


async def settings_change(app, body, *, via, actor):
    """POST /api/settings of `body`, for the route and the bus's commands alike."""
    host = app[HOST]
    names, changes, timeout = schema.settings_request(body)
    try:
        ranks = await host.configure(names, changes, via=via, timeout=timeout or 5.0,
                                     actor=actor)
    except (ConfigureError, UnitError) as exc:
        raise error(400, str(exc)) from None
    except ConfigureTimeout as exc:
        raise error(504, str(exc)) from None
    return answer({"units": [host.unit_state(r) for r in ranks], "verified": True})
