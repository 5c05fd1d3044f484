"""The service's door: every check a request passes before any route sees
it, in one middleware.  On loopback everyone on the machine could reach the
units anyway, so the API is open; bound to any other address every API
request must carry the service's token."""
import hmac

from aiohttp import web

from .auth import presented_token
from .http import error

PROTECTED = ("/api/", "/metrics")


def middleware(token):
    """The checks, for a service whose token is `token` (None: open API)."""

    @web.middleware
    async def guard(request, handler):
        if token is not None and request.path.startswith(PROTECTED):
            given = presented_token(request)
            if given is None:
                raise error(401, "this service needs a token: send 'Authorization: Bearer "
                                 "TOKEN' (vantor serve --show-token prints it)")
            if not given.isascii() or not hmac.compare_digest(given.encode(), token.encode()):
                raise error(403, "wrong token (vantor serve --show-token prints the right one)")
        return await handler(request)

    return guard
