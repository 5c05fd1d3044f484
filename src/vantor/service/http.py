"""What every route shares: JSON errors that name the field or unit, and
request bodies read with a size limit."""
import json
import math

from aiohttp import web

MAX_BODY = 64 * 1024     # bytes; a settings change or job fits in far less


def error(status, text):
    """An HTTP error whose body is {"error": text}; raise it."""
    cls = {400: web.HTTPBadRequest, 401: web.HTTPUnauthorized, 403: web.HTTPForbidden,
           404: web.HTTPNotFound, 409: web.HTTPConflict, 413: web.HTTPRequestEntityTooLarge,
           415: web.HTTPUnsupportedMediaType, 503: web.HTTPServiceUnavailable,
           504: web.HTTPGatewayTimeout}.get(status)
    body = json.dumps({"error": text})
    if cls is web.HTTPRequestEntityTooLarge:
        return cls(max_size=MAX_BODY, actual_size=0, text=body, content_type="application/json")
    if cls is None:
        raise ValueError(f"no error class for HTTP status {status}")
    return cls(text=body, content_type="application/json")


def _no_constants(name):
    raise ValueError(f"{name} is not a number JSON allows")


async def json_body(request):
    """The request's JSON object; 413 past MAX_BODY, 400 for anything but a
    JSON object (NaN and Infinity included: they are no JSON)."""
    if request.content_length is not None and request.content_length > MAX_BODY:
        raise error(413, f"request body of {request.content_length} bytes is larger than "
                         f"the limit of {MAX_BODY} bytes")
    raw = await request.content.read(MAX_BODY + 1)
    if len(raw) > MAX_BODY:
        raise error(413, f"request body is larger than the limit of {MAX_BODY} bytes")
    try:
        body = json.loads(raw or b"{}", parse_constant=_no_constants)
    except (ValueError, UnicodeDecodeError) as exc:
        raise error(400, f"request body is not valid JSON: {exc}") from None
    if not isinstance(body, dict):
        raise error(400, "request body must be a JSON object")
    return body


def check_keys(body, allowed):
    """400 naming the first key of a JSON body that is not in `allowed`."""
    unknown = set(body) - set(allowed)
    if unknown:
        raise error(400, f"{sorted(unknown)[0]}: unknown key (expected {', '.join(allowed)})")


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


def number(body, name, *, required=False, integer=False, low=None, high=None):
    """A finite number from a JSON body, or None when absent and optional."""
    if name not in body or body[name] is None:
        if required:
            raise error(400, f"{name}: missing")
        return None
    value = body[name]
    ok = isinstance(value, int) if integer else isinstance(value, (int, float))
    if isinstance(value, bool) or not ok or (isinstance(value, float) and not math.isfinite(value)):
        kind = "an integer" if integer else "a finite number"
        raise error(400, f"{name}: expected {kind}, got {value!r}")
    if (low is not None and value < low) or (high is not None and value > high):
        raise error(400, f"{name}: expected {low:g} to {high:g}, got {value!r}")
    return value
