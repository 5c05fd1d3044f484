"""Units, boards, totals and settings changes."""
from vantor.host.app import ConfigureError, ConfigureTimeout
from vantor.host.units import UnitError, resolve_unit

from .http import answer, check_keys, error, json_body, number


INTERFACES = ("api", "client", "cli", "dashboard", "tune", "latch", "epics")


def via_of(request):
    """Which interface a change came through, for the settings log."""
    via = request.headers.get("X-Vantor-Via", "api")
    return via if via in INTERFACES else "api"


def _unit_rank(request):
    host = request.app["host"]
    try:
        return resolve_unit(host.settings, request.match_info["unit"])
    except UnitError as exc:
        raise error(404, str(exc)) from None


async def snapshot(request):
    return answer(request.app["host"].snapshot())


async def units(request):
    return answer({"units": request.app["host"].snapshot()["units"]})


async def unit(request):
    return answer(request.app["host"].unit_state(_unit_rank(request)))


async def boards(request):
    return answer({"boards": request.app["host"].snapshot()["boards"]})


async def status(request):
    snap = request.app["host"].snapshot()
    return answer({"totals": snap["totals"], "uptime": snap["uptime"], "workers": snap["workers"],
                   "units": len(snap["units"]), "boards": len(snap["boards"])})


async def limits(request):
    return answer(request.app["host"].settings.limits_table())


async def change_settings(request):
    host = request.app["host"]
    body = await json_body(request)
    check_keys(body, ("units", "settings", "timeout"))
    if "units" not in body:
        raise error(400, "units: missing (a list of ranks or MCU.CU names)")
    changes = body.get("settings")
    if not isinstance(changes, dict) or not changes:
        raise error(400, "settings: expected an object of cu_config fields and values")
    timeout = number(body, "timeout", low=0.1, high=600) or 5.0
    try:
        ranks = await host.configure(body["units"], changes, via=via_of(request),
                                     timeout=timeout)
    except (ConfigureError, UnitError) as exc:
        raise error(400, str(exc)) from None
    except ConfigureTimeout as exc:
        raise error(504, str(exc)) from None
    return answer({"units": [host.unit_state(r) for r in ranks], "verified": True})


def add_routes(app):
    app.router.add_get("/api/snapshot", snapshot)
    app.router.add_get("/api/units", units)
    app.router.add_get("/api/units/{unit}", unit)
    app.router.add_get("/api/boards", boards)
    app.router.add_get("/api/status", status)
    app.router.add_get("/api/settings/limits", limits)
    app.router.add_post("/api/settings", change_settings)
