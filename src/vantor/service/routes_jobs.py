"""IV sweep and acquisition jobs: submit, list, cancel, results and files."""
from aiohttp import web

from vantor import schema
from vantor.host.units import UnitError
from vantor.ops.channels import OpsError

from .http import answer, error, json_body
from .jobs import QueueFull
from .keys import HOST, JOBS, LIMITS

routes = web.RouteTableDef()


def _ranks(app, names):
    try:
        return app[HOST].resolve(names)
    except UnitError as exc:
        raise error(400, str(exc)) from None


# The routes read the request; the work is in functions of (app, body) the
# bus's commands run too (vantor.site.node_commands).

@routes.post("/api/jobs/iv")
async def submit_iv(request):
    return iv_submission(request.app, await json_body(request))


def iv_submission(app, body):
    from vantor.ops.iv import SweepPlan, plan_points, run_sweep

    names, values = schema.iv_request(body)
    host = app[HOST]
    ranks = _ranks(app, names)
    plan = SweepPlan(values["start"], values["stop"], values["step"], values["point_steps"])
    timeout = values["timeout"]
    try:
        plan_points(host.settings, ranks, plan)
    except OpsError as exc:
        raise error(400, str(exc)) from None

    async def work(job):
        return await run_sweep(host, ranks, plan, timeout=timeout, progress=job.report)

    params = {k: v for k, v in values.items() if v is not None}
    return _submitted(app, "iv", ranks, params, work)


def _submitted(app, kind, ranks, params, work):
    jobs = app[JOBS]
    try:
        job = jobs.submit(kind, ranks, params, work)
    except QueueFull as exc:
        raise error(429, str(exc), headers={"Retry-After": "10"}) from None
    return answer(job.as_json(jobs.position(job)), status=202)


@routes.post("/api/jobs/acquire")
async def submit_acquire(request):
    return acquire_submission(request.app, await json_body(request))


def acquire_submission(app, body):
    from vantor.ops.record import run_recording

    names, seconds = schema.acquire_request(body)
    host = app[HOST]
    ranks = _ranks(app, names)

    async def work(job):
        return await run_recording(host, ranks, seconds, progress=job.report, stop=job.stop)

    return _submitted(app, "acquire", ranks, {"seconds": seconds}, work)


def _job(request):
    return _job_of(request.app, request.match_info["id"])


def _job_of(app, job_id):
    jobs = app[JOBS]
    job = jobs.get(job_id)
    if job is None:
        raise error(404, f"job {schema.shown(job_id)}: no such job")
    return jobs, job


@routes.get("/api/jobs")
async def list_jobs(request):
    return answer({"jobs": request.app[JOBS].listing()})


@routes.get("/api/jobs/{id}")
async def get_job(request):
    jobs, job = _job(request)
    return answer(job.as_json(jobs.position(job)))


@routes.post("/api/jobs/{id}/cancel")
async def cancel_job(request):
    return job_cancellation(request.app, request.match_info["id"], await json_body(request))


def job_cancellation(app, job_id, body):
    jobs, job = _job_of(app, job_id)
    schema.empty_request(body)
    if job.state not in ("queued", "running"):
        raise error(409, f"job {job.id} is {job.state}; only queued or running jobs can be "
                         "cancelled")
    jobs.cancel(job.id)
    return answer(job.as_json(jobs.position(job)))


def _result_of(job):
    if job.run is None:
        if job.work is None and job.state == "done":
            kept = ", ".join(sorted(job.files)) or "none"
            raise error(409, f"job {job.id} finished before the service restarted; only the "
                             f"files written then are kept ({kept})")
        raise error(409, f"job {job.id} is {job.state} and has no result"
                         + (f": {job.error}" if job.error else ""))
    return job.run


@routes.get("/api/jobs/{id}/result")
async def job_result(request):
    jobs, job = _job(request)
    _result_of(job)
    try:
        with request.app[LIMITS].downloads.slot():
            text = await jobs.result_text(job)
    except OSError as exc:
        raise error(503, f"job {job.id}: the result could not be built: {exc}") from None
    return web.Response(text=text, content_type="application/json")


@routes.get("/api/jobs/{id}/file")
async def job_file(request):
    jobs, job = _job(request)
    fmt = schema.choice(request.query.get("format"), "format", ("h5", "csv"), "h5")
    if fmt not in job.files:
        _result_of(job)              # 409 when there is nothing to write
    try:
        with request.app[LIMITS].downloads.slot():
            path = await jobs.file_of(job, fmt)
    except (OSError, ValueError, OpsError) as exc:
        raise error(409, f"job {job.id}: the {fmt} file could not be written: {exc}") from None
    return web.FileResponse(path, headers={
        "Content-Disposition": f'attachment; filename="{path.name}"'})


@routes.get("/api/iv")
async def latest_iv(request):
    return answer({"curves": {str(r): c for r, c in sorted(request.app[JOBS].latest_iv.items())}})
