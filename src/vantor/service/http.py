"""What every route shares: JSON errors that name the field or unit, and
request bodies read with a size limit, a time limit and the checks of
vantor.schema."""
import asyncio
import json
import math

from aiohttp import web

from vantor.schema import SchemaError, json_object

MAX_BODY = 64 * 1024     # bytes; a settings change or job fits in far less
BODY_TIMEOUT_S = 10.0    # a client that sends its body slower than this is cut off

_ERRORS = {400: web.HTTPBadRequest, 401: web.HTTPUnauthorized, 403: web.HTTPForbidden,
           404: web.HTTPNotFound, 408: web.HTTPRequestTimeout, 409: web.HTTPConflict,
           413: web.HTTPRequestEntityTooLarge, 415: web.HTTPUnsupportedMediaType,
           429: web.HTTPTooManyRequests, 503: web.HTTPServiceUnavailable,
           504: web.HTTPGatewayTimeout}


def error(status, text, headers=None):
    """An HTTP error whose body is {"error": text}; raise it."""
    cls = _ERRORS.get(status)
    body = json.dumps({"error": text})
    if cls is web.HTTPRequestEntityTooLarge:
        return cls(max_size=MAX_BODY, actual_size=0, text=body, content_type="application/json",
                   headers=headers)
    if cls is None:
        raise ValueError(f"no error class for HTTP status {status}")
    return cls(text=body, content_type="application/json", headers=headers)


async def json_body(request):
    """The request's JSON object; 413 past MAX_BODY, 408 when it does not
    arrive within BODY_TIMEOUT_S, 400 (SchemaError) for anything but a
    JSON object of a sane depth."""
    if request.content_length is not None and request.content_length > MAX_BODY:
        raise error(413, f"request body of {request.content_length} bytes is larger than "
                         f"the limit of {MAX_BODY} bytes")
    try:
        async with asyncio.timeout(BODY_TIMEOUT_S):
            raw = await request.content.read(MAX_BODY + 1)
    except TimeoutError:
        raise error(408, f"request body did not arrive within {BODY_TIMEOUT_S:g} s") from None
    if len(raw) > MAX_BODY:
        raise error(413, f"request body is larger than the limit of {MAX_BODY} bytes")
    return json_object(raw)


@web.middleware
async def json_errors(request, handler):
    """Every failure of an API route answers JSON {"error"}: a SchemaError is
    the client's 400, a fault of ours a 500 naming itself, never a traceback page."""
    try:
        return await handler(request)
    except SchemaError as exc:
        raise error(400, str(exc)) from None
    except web.HTTPException as exc:
        if request.path.startswith("/api/") and exc.content_type != "application/json" \
                and exc.status >= 400:
            # aiohttp's own refusals (no such route, method not allowed) in
            # the API's form, with their headers (Allow, ...)
            return web.json_response({"error": f"{exc.reason}: {request.method} {request.path}"},
                                     status=exc.status, headers={
                                         k: v for k, v in exc.headers.items()
                                         if k.lower() not in ("content-type", "content-length")})
        raise
    except asyncio.CancelledError:
        raise
    except Exception as exc:
        request.app.logger.exception("request %s failed", request.path)
        return web.json_response({"error": f"internal error: {type(exc).__name__}: {exc}"},
                                 status=500)


def clean(value):
    """`value` with non-finite floats as None, so the answer is valid JSON."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: clean(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [clean(v) for v in value]
    return value


def answer(data, status=200):
    return web.json_response(clean(data), status=status)


