"""The simulated sensors: every unit's drawn and set values (GET /api/sim)."""
from aiohttp import web

from .http import answer, error
from .keys import HOST, SYSTEM

routes = web.RouteTableDef()


@routes.get("/api/sim")
async def sim_units(request):
    sim = request.app[SYSTEM].sim
    if sim is None:
        raise error(409, "no simulator runs: the service faces hardware (--hardware)")
    model = "sensor" if request.app[HOST].settings.sim is not None else "plain"
    return answer({"model": model, "units": sim.sensors()})
