"""IV sweep and acquisition jobs: submit, list, cancel, results and files."""
from aiohttp import web

from vantor.host.units import UnitError
from vantor.ops.channels import OpsError

from .http import answer, check_keys, error, json_body, number

MAX_SECONDS = 7 * 24 * 3600


def _ranks(request, body):
    if "units" not in body:
        raise error(400, "units: missing (a list of ranks or MCU.CU names)")
    try:
        return request.app["host"].resolve(body["units"])
    except UnitError as exc:
        raise error(400, str(exc)) from None


async def submit_iv(request):
    from vantor.ops.iv import SweepPlan, plan_points, run_sweep

    body = await json_body(request)
    check_keys(body, ("units", "start", "stop", "step", "point_steps", "timeout"))
    host = request.app["host"]
    ranks = _ranks(request, body)
    plan = SweepPlan(number(body, "start"), number(body, "stop"), number(body, "step"),
                     number(body, "point_steps", integer=True))
    timeout = number(body, "timeout", low=1, high=MAX_SECONDS)
    try:
        plan_points(host.settings, ranks, plan)
    except OpsError as exc:
        raise error(400, str(exc)) from None

    async def work(job):
        return await run_sweep(host, ranks, plan, timeout=timeout, progress=job.report)

    params = {k: body[k] for k in ("start", "stop", "step", "point_steps", "timeout") if k in body}
    job = request.app["jobs"].submit("iv", ranks, params, work)
    return answer(job.as_json(request.app["jobs"].position(job)), status=202)


async def submit_acquire(request):
    from vantor.ops.record import run_recording

    body = await json_body(request)
    check_keys(body, ("units", "seconds"))
    host = request.app["host"]
    ranks = _ranks(request, body)
    seconds = number(body, "seconds", required=True, low=0.01, high=MAX_SECONDS)

    async def work(job):
        return await run_recording(host, ranks, seconds, progress=job.report, stop=job.stop)

    job = request.app["jobs"].submit("acquire", ranks, {"seconds": seconds}, work)
    return answer(job.as_json(request.app["jobs"].position(job)), status=202)


def _job(request):
    jobs = request.app["jobs"]
    job = jobs.get(request.match_info["id"])
    if job is None:
        raise error(404, f"job {request.match_info['id']}: no such job")
    return jobs, job


async def list_jobs(request):
    return answer({"jobs": request.app["jobs"].listing()})


async def get_job(request):
    jobs, job = _job(request)
    return answer(job.as_json(jobs.position(job)))


async def cancel_job(request):
    jobs, job = _job(request)
    if job.state not in ("queued", "running"):
        raise error(409, f"job {job.id} is {job.state}; only queued or running jobs can be "
                         "cancelled")
    jobs.cancel(job.id)
    return answer(job.as_json(jobs.position(job)))


def _result_of(job):
    if job.run is None:
        raise error(409, f"job {job.id} is {job.state} and has no result"
                         + (f": {job.error}" if job.error else ""))
    return job.run


async def job_result(request):
    jobs, job = _job(request)
    _result_of(job)
    try:
        text = await jobs.result_text(job)
    except OSError as exc:
        raise error(503, f"job {job.id}: the result could not be built: {exc}") from None
    return web.Response(text=text, content_type="application/json")


async def job_file(request):
    jobs, job = _job(request)
    _result_of(job)                  # 409 when there is nothing to write
    fmt = request.query.get("format", "h5")
    if fmt not in ("h5", "csv"):
        raise error(400, f"format: expected h5 or csv, got {fmt!r}")
    try:
        path = await jobs.file_of(job, fmt)
    except (OSError, ValueError, OpsError) as exc:
        raise error(409, f"job {job.id}: the {fmt} file could not be written: {exc}") from None
    return web.FileResponse(path, headers={
        "Content-Disposition": f'attachment; filename="{path.name}"'})


async def latest_iv(request):
    return answer({"curves": {str(r): c for r, c in sorted(request.app["jobs"].latest_iv.items())}})


def add_routes(app):
    app.router.add_post("/api/jobs/iv", submit_iv)
    app.router.add_post("/api/jobs/acquire", submit_acquire)
    app.router.add_get("/api/jobs", list_jobs)
    app.router.add_get("/api/jobs/{id}", get_job)
    app.router.add_post("/api/jobs/{id}/cancel", cancel_job)
    app.router.add_get("/api/jobs/{id}/result", job_result)
    app.router.add_get("/api/jobs/{id}/file", job_file)
    app.router.add_get("/api/iv", latest_iv)
