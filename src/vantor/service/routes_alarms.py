"""Alarms: the shown ones, acknowledging, and the Prometheus metrics."""
from aiohttp import web

from vantor import schema
from vantor.alarms import UnknownAlarm

from .http import answer, error, json_body
from .keys import METRICS, WATCH
from .metrics import CONTENT_TYPE, render

routes = web.RouteTableDef()


@routes.get("/api/alarms")
async def alarms(request):
    watch = request.app[WATCH]
    return answer({"alarms": watch.engine.to_json(),
                   "hook": watch.hook.status() if watch.hook is not None else None,
                   "archive": watch.archive_status()})


@routes.post("/api/alarms/{id}/ack")
async def acknowledge(request):
    return acknowledgement(request.app, request.match_info["id"], await json_body(request))


def acknowledgement(app, alarm_id, body):
    """POST /api/alarms/ID/ack of `body`, for the route and the bus's commands alike."""
    watch = app[WATCH]
    comment = schema.ack_request(body)
    try:
        event = watch.engine.acknowledge(alarm_id, comment)
    except UnknownAlarm as exc:
        raise error(404, f"{exc} (cleared and acknowledged alarms are in /api/log/alarms)") \
            from None
    return answer(event)


@routes.get("/metrics")
async def metrics(request):
    return web.Response(body=render(request.app[METRICS]), headers={"Content-Type": CONTENT_TYPE})
