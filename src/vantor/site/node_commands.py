"""Commands to a node over the bus: a request on `vantor.NODE.cmd.VERB`
runs the very function behind the matching HTTP route (its checks, its
verification, its answer), and the reply is {"status", "body"} as the API
would answer.  Settings changes are logged with the interface "bus".

Who may send them is the bus server's business: a node listens in the
account it connects to, so only clients of that account (and those its
publish permissions allow on the subject) reach it; see the README."""
import asyncio
import json
import logging

from aiohttp import web

from vantor.schema import SchemaError, json_object, shown
from vantor.service.http import MAX_BODY, clean
from vantor.service.routes_alarms import acknowledgement
from vantor.service.routes_jobs import acquire_submission, iv_submission, job_cancellation
from vantor.service.routes_units import settings_change
from . import protocol

log = logging.getLogger("vantor.site.node")
MAX_RUNNING = 16           # commands at once; more wait for an answer of 429
ACTOR = {"token": None, "address": "bus"}


def _take_id(body, key, what):
    """(the id under `key`, the rest of the body): the HTTP route has the id
    in its path and the rest as its body."""
    if key not in body:
        raise SchemaError(f"{key}: missing: the id of the {what}")
    value = body[key]
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise SchemaError(f"{key}: expected the {what}'s id, got {shown(value)}")
    return str(value), {k: v for k, v in body.items() if k != key}


async def _run(app, verb, body):
    if verb == "settings":
        return await settings_change(app, body, via="bus", actor=dict(ACTOR))
    if verb == "iv":
        return iv_submission(app, body)
    if verb == "acquire":
        return acquire_submission(app, body)
    if verb == "cancel":
        return job_cancellation(app, *_take_id(body, "job", "job"))
    return acknowledgement(app, *_take_id(body, "alarm", "alarm"))


async def execute(app, verb, data):
    """(HTTP status, JSON body) of the command `verb` with request bytes `data`."""
    if verb not in protocol.COMMANDS:
        return 404, {"error": f"command {shown(verb)}: expected one of "
                              f"{', '.join(protocol.COMMANDS)}"}
    if len(data) > MAX_BODY:
        return 413, {"error": f"request body is larger than the limit of {MAX_BODY} bytes"}
    try:
        response = await _run(app, verb, json_object(bytes(data)))
    except SchemaError as exc:
        return 400, {"error": str(exc)}
    except web.HTTPException as exc:
        return exc.status, _json_of(exc.text)
    except asyncio.CancelledError:
        raise
    except Exception as exc:
        log.exception("bus command %s failed", verb)
        return 500, {"error": f"internal error: {type(exc).__name__}: {exc}"}
    return response.status, _json_of(response.text)


def _json_of(text):
    try:
        return json.loads(text) if text else None
    except ValueError:
        return {"error": text}


class CommandService:
    def __init__(self, app, nc, node):
        self.app, self.nc, self.node = app, nc, node
        self.prefix = protocol.subject(node, "cmd.")
        self.running = set()
        self.counts = {}             # (verb, status) -> commands answered
        self._sub = None

    async def start(self):
        self._sub = await self.nc.subscribe(self.prefix + "*", cb=self._received)

    async def stop(self):
        if self._sub is not None:
            try:
                await self._sub.unsubscribe()
            except Exception:          # the connection is gone already
                pass
        for task in list(self.running):
            task.cancel()
        await asyncio.gather(*self.running, return_exceptions=True)

    async def _received(self, msg):
        # one task per command: a settings change waits for its echo, and the
        # next command need not wait for it
        if not msg.reply:
            log.warning("bus: a command on %s without a reply subject: not run", msg.subject)
            return
        verb = msg.subject[len(self.prefix):]
        if len(self.running) >= MAX_RUNNING:
            await self._answer(msg, verb, 429, {"error": f"{MAX_RUNNING} commands are running; "
                                                         "send it again later"})
            return
        task = asyncio.get_running_loop().create_task(self._serve(msg, verb))
        self.running.add(task)
        task.add_done_callback(self.running.discard)

    async def _serve(self, msg, verb):
        status, body = await execute(self.app, verb, msg.data)
        await self._answer(msg, verb, status, body)

    async def _answer(self, msg, verb, status, body):
        key = (verb if verb in protocol.COMMANDS else "?", status)
        self.counts[key] = self.counts.get(key, 0) + 1
        level = logging.INFO if status < 400 else logging.WARNING
        log.log(level, "bus command %s: %d%s", shown(verb), status,
                f" {body.get('error')}" if isinstance(body, dict) and "error" in body else "")
        try:
            await self.nc.publish(msg.reply, protocol.encode_json(
                protocol.command_reply(status, clean(body))))
        except Exception as exc:        # the asker or the bus went away meanwhile
            log.warning("bus: the answer to a %s command was not sent: %s", shown(verb), exc)
