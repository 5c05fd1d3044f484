"""The simulated sensors: every unit's drawn and set values (GET /api/sim)."""
from .http import answer, error


async def sim_units(request):
    sim = request.app["system"].sim
    if sim is None:
        raise error(409, "no simulator runs: the service faces hardware (--hardware)")
    model = "sensor" if request.app["host"].settings.sim is not None else "plain"
    return answer({"model": model, "units": sim.sensors()})


def add_routes(app):
    app.router.add_get("/api/sim", sim_units)
