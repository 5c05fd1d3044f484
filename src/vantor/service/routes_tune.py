"""Operating points over HTTP: tune jobs (sweep and judge every unit),
their results, applying them, and the calibrations kept in the archive."""
import asyncio
import time

from vantor.ops.channels import OpsError
from vantor.tune.analysis import curves_of
from vantor.tune.policy import Policy

from .http import answer, check_keys, error, json_body, number
from .routes_history import _range, _limit, _store
from .routes_jobs import _job, _ranks

TUNE_KEYS = ("units", "start", "stop", "step", "point_steps", "policy", "fraction", "margin",
             "onset_fraction", "dark_job")


def _policy(body):
    policy = body.get("policy", "fraction")
    if not isinstance(policy, str):
        raise error(400, f"policy: expected fraction or plateau, got {policy!r}")
    fraction = number(body, "fraction")
    onset = number(body, "onset_fraction")
    try:
        return Policy(policy, 0.9 if fraction is None else fraction, number(body, "margin"),
                      0.9 if onset is None else onset).check()
    except ValueError as exc:
        raise error(400, str(exc)) from None


def _dark(request, body, ranks):
    """The curves of an earlier IV job taken in the dark, or None."""
    if body.get("dark_job") is None:
        return None
    job = request.app["jobs"].get(str(body["dark_job"]))
    if job is None or job.kind not in ("iv", "tune") or job.state != "done":
        raise error(400, f"dark_job: {body['dark_job']!r} is no finished IV sweep of this service")
    curves = curves_of(job.run)
    missing = [r for r in ranks if r not in curves]
    if missing:
        raise error(400, f"dark_job: job {job.id} did not sweep rank {missing[0]}")
    return curves


async def submit_tune(request):
    from vantor.ops.iv import SweepPlan, plan_points
    from vantor.tune.job import run_tune

    body = await json_body(request)
    check_keys(body, TUNE_KEYS)
    host, jobs = request.app["host"], request.app["jobs"]
    ranks = _ranks(request, body)
    plan = SweepPlan(number(body, "start"), number(body, "stop"), number(body, "step"),
                     number(body, "point_steps", integer=True, low=1, high=100000))
    policy = _policy(body)
    try:
        plan_points(host.settings, ranks, plan)
    except OpsError as exc:
        raise error(400, str(exc)) from None
    dark = _dark(request, body, ranks)

    async def work(job):
        return await run_tune(job, host, ranks, plan, policy, jobs.offload, dark)

    params = {k: body[k] for k in TUNE_KEYS if k in body and k != "units"}
    job = jobs.submit("tune", ranks, params, work)
    return answer(job.as_json(jobs.position(job)), status=202)


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


async def tune_result(request):
    job = _tune_of(request)
    return answer(tune_answer(request.app["host"], job))


async def apply(request):
    from vantor.tune.job import apply_tune

    job = _tune_of(request)
    if job.applied is not None:
        raise error(409, f"job {job.id} was applied already, at {job.applied['time']:.0f}")
    if job.state != "done":
        raise error(409, f"job {job.id} is {job.state}; only a finished tune can be applied")
    watch = request.app.get("watch")
    job.applied = {"time": time.time(), "state": "applying"}
    outcome, calibrations = await apply_tune(request.app["host"], job)
    stored, why = False, None
    if watch is not None and watch.store is not None and calibrations:
        try:
            await asyncio.to_thread(watch.store.add_calibrations, calibrations)
            stored = True
        except Exception as exc:       # the biases are set: say what was not kept
            why = f"the calibrations could not be stored: {exc}"
    elif calibrations:
        why = (watch.archive_error if watch is not None else None) or "archive not open"
    job.applied = {"time": job.applied["time"], "state": "applied", "stored": stored,
                   "archive_error": why,
                   **{k: {str(r): v for r, v in d.items()} for k, d in outcome.items()}}
    if outcome["failed"]:
        names = ", ".join(request.app["host"].units[r - 1].label for r in outcome["failed"])
        raise error(504, f"units {names} did not echo their new bias (the change is kept and "
                         f"corrections go on); the others are set: see /api/jobs/{job.id}/tune")
    return answer(job.applied)


async def calibrations(request):
    store = _store(request)
    text = request.query.get("units", "")
    ranks = None
    if text:
        from .routes_history import _ranks as query_ranks
        ranks = query_ranks(request)
    since, until = _range(request, logs=True)
    found = await asyncio.to_thread(store.calibrations, ranks, since, until, _limit(request))
    return answer({"calibrations": found})


def add_routes(app):
    app.router.add_post("/api/jobs/tune", submit_tune)
    app.router.add_get("/api/jobs/{id}/tune", tune_result)
    app.router.add_post("/api/jobs/{id}/apply", apply)
    app.router.add_get("/api/calibrations", calibrations)
