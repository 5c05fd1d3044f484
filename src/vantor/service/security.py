"""The service's door: every check a request passes before any route sees
it, in one middleware, and the headers every answer carries.

- The Host header must name the service (an IP address, `localhost`, the
  name it was started on, or a name allowed with --allow-host), so a page
  that rebinds its own DNS name to this address cannot read the answers.
- A request that a browser sent from another origin is refused: an Origin
  that is not the service's own, or a cross-site fetch (Sec-Fetch-Site)
  other than following a link to the page.  Non-browser clients send
  neither and pass.
- Bodies of state-changing requests must be application/json: a form or a
  text/plain body is what another site can send without asking.
- Tokens: needed for every API request off loopback (or everywhere with
  --auth always); a `viewer` token may read and follow the live stream, an
  `operator` token may also change settings, run and cancel jobs and
  acknowledge alarms.  A token in `?token=` is exchanged for an HttpOnly,
  SameSite=Strict cookie, and the page is sent to its address without it.
- Answers may not be framed, sniffed, or followed by a Referer."""
import ipaddress
import urllib.parse
from dataclasses import dataclass, field

from aiohttp import web

from .http import error

PROTECTED = ("/api/", "/metrics")
READING = ("GET", "HEAD")
COOKIE = "vantor_token"
ACTOR = web.RequestKey("actor", dict)      # {"token": name or None, "address": ip}
CSP = ("default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
       "img-src 'self' data: blob:; connect-src 'self'; font-src 'self'; "
       "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'")
HEADERS = {"Content-Security-Policy": CSP, "X-Frame-Options": "DENY",
           "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer",
           "Cross-Origin-Resource-Policy": "same-origin",
           "Cross-Origin-Opener-Policy": "same-origin"}


@dataclass
class Access:
    """Who may do what: `tokens` (a TokenStore), whether every API request
    needs one, the host names served besides IP addresses and localhost,
    and whether answers go out over TLS (cookies are then Secure)."""
    tokens: object = None
    required: bool = False
    hosts: frozenset = field(default_factory=frozenset)
    tls: bool = False

    def host_allowed(self, name):
        name = name.lower().rstrip(".")
        if name == "localhost" or name in self.hosts:
            return True
        try:
            ipaddress.ip_address(name.strip("[]"))
            return True      # an address is no name another site can rebind
        except ValueError:
            return False


def _host_name(host):
    """The name part of a Host header ("[::1]:8765" -> "[::1]")."""
    if host.startswith("["):
        return host[:host.find("]") + 1] if "]" in host else host
    return host.rsplit(":", 1)[0] if host.count(":") == 1 else host


def _same_origin(origin, host):
    """Whether an Origin header names the host the request was sent to."""
    try:
        parts = urllib.parse.urlsplit(origin)
    except ValueError:
        return False
    return parts.scheme in ("http", "https") and bool(parts.netloc) \
        and parts.netloc.lower() == host.lower()


def _cross_site_refusal(request):
    """Why this request is one another site's page made, or None."""
    origin = request.headers.get("Origin")
    host = request.headers.get("Host", "")
    if origin is not None and not _same_origin(origin, host):
        return f"requests from other sites are refused (Origin {origin[:100]!r})"
    site = request.headers.get("Sec-Fetch-Site")
    if site in ("cross-site", "same-site"):
        following_a_link = (request.headers.get("Sec-Fetch-Mode") == "navigate"
                            and request.method in READING)
        if not following_a_link:
            return "requests from other sites are refused"
    return None


def _presented(request):
    """(secret, where it came from) of the token the request carries."""
    header = request.headers.get("Authorization", "")
    if header.startswith("Bearer "):
        return header[7:].strip(), "header"
    if "token" in request.query:
        return request.query["token"], "query"
    if COOKIE in request.cookies:
        return request.cookies[COOKIE], "cookie"
    return None, None


def _without_token(request):
    query = [(k, v) for k, v in request.query.items() if k != "token"]
    return request.path + ("?" + urllib.parse.urlencode(query) if query else "")


def _check_json_body(request):
    if request.method in READING or request.method == "OPTIONS" \
            or request.match_info.http_exception is not None:     # no such route: 404/405
        return
    if request.content_type != "application/json":
        shown = request.content_type if request.headers.get("Content-Type") else "none"
        raise error(415, f"{request.method} {request.path} takes application/json bodies "
                         f"only (Content-Type {shown[:60]!r})")


def middleware(access):
    """The checks, for a service whose rules are `access` (an Access)."""

    @web.middleware
    async def guard(request, handler):
        host = request.headers.get("Host", "")
        if host and not access.host_allowed(_host_name(host)):
            name = _host_name(host)[:100]
            raise error(403, f"Host {name!r} is not a name of this service (start it with "
                             f"--allow-host {name} to serve that name)")
        refusal = _cross_site_refusal(request)
        if refusal is not None:
            raise error(403, refusal)
        secret, where = _presented(request)
        token = access.tokens.check(secret) if secret is not None and access.tokens else None
        if token is None and where == "cookie":
            secret = None          # a revoked token's cookie: as if none came, so the page loads
        if secret is not None and token is None:
            raise error(403, "this token is not (or no longer) valid: vantor token list "
                             "shows the tokens there are")
        protected = request.path.startswith(PROTECTED)
        if token is None and access.required and protected:
            raise error(401, "this service needs a token: send 'Authorization: Bearer TOKEN' "
                             "(vantor token create makes one)")
        role = token.role if token is not None else "operator"
        if protected and request.method not in READING and role != "operator":
            raise error(403, f"token {token.name} is a {role} token: changing settings, "
                             "jobs and alarms needs an operator token")
        _check_json_body(request)
        request[ACTOR] = {"token": token.name if token else None, "address": request.remote}
        if where == "query" and request.method in READING and not protected:
            # The page's address keeps no token: the cookie carries it from here.
            response = web.Response(status=303, headers={"Location": _without_token(request)})
        else:
            response = await handler(request)
        if where == "query" and not response.prepared:
            response.set_cookie(COOKIE, secret, httponly=True, samesite="Strict", path="/",
                                secure=access.tls)
        return response

    return guard


async def add_headers(request, response):
    """For the application's on_response_prepare: every answer, errors,
    files and the WebSocket handshake included."""
    response.headers.update(HEADERS)
