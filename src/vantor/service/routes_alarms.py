"""Alarms: the shown ones, acknowledging, and the Prometheus metrics."""
from aiohttp import web

from vantor.alarms import UnknownAlarm

from .http import answer, check_keys, error, json_body
from .metrics import CONTENT_TYPE, registry_for, render
from .watch import attach

MAX_COMMENT = 2000


async def alarms(request):
    watch = request.app["watch"]
    return answer({"alarms": watch.engine.to_json(),
                   "hook": watch.hook.status() if watch.hook is not None else None,
                   "archive": watch.archive_status()})


async def acknowledge(request):
    watch = request.app["watch"]
    body = await json_body(request)
    check_keys(body, ("comment",))
    comment = body.get("comment")
    if comment is not None and not isinstance(comment, str):
        raise error(400, f"comment: expected text, got {comment!r}")
    if comment is not None and len(comment) > MAX_COMMENT:
        raise error(400, f"comment: longer than {MAX_COMMENT} characters")
    try:
        event = watch.engine.acknowledge(request.match_info["id"], comment)
    except UnknownAlarm as exc:
        raise error(404, f"{exc} (cleared and acknowledged alarms are in /api/log/alarms)") \
            from None
    return answer(event)


async def metrics(request):
    registry = request.app.get("metrics_registry")
    if registry is None:
        watch = request.app["watch"]
        registry = request.app["metrics_registry"] = registry_for(
            request.app["host"], watch.engine, watch.writer)
    return web.Response(body=render(registry), headers={"Content-Type": CONTENT_TYPE})


def add_routes(app):
    attach(app)
    app.router.add_get("/api/alarms", alarms)
    app.router.add_post("/api/alarms/{id}/ack", acknowledge)
    app.router.add_get("/metrics", metrics)
