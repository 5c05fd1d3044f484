"""Operating points over HTTP: tune jobs (sweep and judge every unit),
their results, applying them, and the calibrations kept in the archive."""
import asyncio
import time

from aiohttp import web

from vantor import schema
from vantor.ops.channels import OpsError
from vantor.tune.analysis import curves_of
from vantor.tune.policy import Policy

from .http import answer, error, json_body
from .keys import HOST, JOBS, WATCH
from .security import ACTOR
from .routes_history import _limit, _range, _read, _store
from .routes_history import _ranks as query_ranks
from .routes_jobs import _job, _ranks, _submitted

routes = web.RouteTableDef()


def _policy(name, values):
    fraction, onset = values["fraction"], values["onset_fraction"]
    try:
        return Policy(name, 0.9 if fraction is None else fraction, values["margin"],
                      0.9 if onset is None else onset).check()
    except ValueError as exc:
        raise error(400, str(exc)) from None


def _dark(request, dark_job, ranks):
    """The curves of an earlier IV job taken in the dark, or None."""
    if dark_job is None:
        return None
    job = request.app[JOBS].get(dark_job)
    if job is None or job.kind not in ("iv", "tune") or job.state != "done" or job.run is None:
        raise error(400, f"dark_job: {dark_job} is no finished IV sweep of this service")
    curves = curves_of(job.run)
    missing = [r for r in ranks if r not in curves]
    if missing:
        raise error(400, f"dark_job: job {job.id} did not sweep rank {missing[0]}")
    return curves


@routes.post("/api/jobs/tune")
async def submit_tune(request):
    from vantor.ops.iv import SweepPlan, plan_points
    from vantor.tune.job import run_tune

    body = await json_body(request)
    names, values, policy_name, dark_job = schema.tune_request(body)
    host, jobs = request.app[HOST], request.app[JOBS]
    ranks = _ranks(request.app, names)
    plan = SweepPlan(values["start"], values["stop"], values["step"], values["point_steps"])
    policy = _policy(policy_name, values)
    try:
        plan_points(host.settings, ranks, plan)
    except OpsError as exc:
        raise error(400, str(exc)) from None
    dark = _dark(request, dark_job, ranks)

    async def work(job):
        return await run_tune(job, host, ranks, plan, policy, jobs.offload, dark)

    params = {k: body[k] for k in schema.TUNE_FIELDS if k in body and k != "units"}
    return _submitted(request.app, "tune", ranks, params, work)


def _tune_of(request):
    jobs, job = _job(request)
    if job.kind != "tune":
        raise error(409, f"job {job.id} is an {job.kind} job, not a tune")
    if job.tune is None:
        raise error(409, f"job {job.id} is {job.state} and has no tune result"
                         + (f": {job.error}" if job.error else ""))
    return job


def tune_answer(host, job):
    units = {str(r): {"name": host.units[r - 1].label, **row}
             for r, row in sorted(job.tune["units"].items())}
    return {"job": job.id, "units": units, "applied": job.applied,
            **{k: v for k, v in job.tune.items() if k != "units"}}


@routes.get("/api/jobs/{id}/tune")
async def tune_result(request):
    job = _tune_of(request)
    return answer(tune_answer(request.app[HOST], job))


@routes.post("/api/jobs/{id}/apply")
async def apply(request):
    from vantor.tune.job import apply_tune

    job = _tune_of(request)
    schema.empty_request(await json_body(request))
    if job.applied is not None:
        raise error(409, f"job {job.id} was applied already, at {job.applied['time']:.0f}")
    if job.state != "done":
        raise error(409, f"job {job.id} is {job.state}; only a finished tune can be applied")
    watch = request.app[WATCH]
    job.applied = {"time": time.time(), "state": "applying"}
    outcome, calibrations = await apply_tune(request.app[HOST], job, actor=request[ACTOR])
    stored, why = False, None
    if watch.store is not None and calibrations:
        try:
            await asyncio.to_thread(watch.store.add_calibrations, calibrations)
            stored = True
        except Exception as exc:       # the biases are set: say what was not kept
            why = f"the calibrations could not be stored: {exc}"
    elif calibrations:
        why = watch.archive_error or "archive not open"
    job.applied = {"time": job.applied["time"], "state": "applied", "stored": stored,
                   "archive_error": why,
                   **{k: {str(r): v for r, v in d.items()} for k, d in outcome.items()}}
    if outcome["failed"]:
        names = ", ".join(request.app[HOST].units[r - 1].label for r in outcome["failed"])
        raise error(504, f"units {names} did not echo their new bias (the change is kept and "
                         f"corrections go on); the others are set: see /api/jobs/{job.id}/tune")
    return answer(job.applied)


@routes.get("/api/calibrations")
async def calibrations(request):
    store = _store(request)
    ranks = query_ranks(request) if request.query.get("units") else None
    since, until = _range(request, logs=True)
    found = await _read(store.calibrations, ranks, since, until, _limit(request))
    return answer({"calibrations": found})
