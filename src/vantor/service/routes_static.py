"""The browser dashboard: the page at `/`, its files under `/static/`, the
plotting library from the installed plotly package under `/vendor/`, and
`/dashboard.json`, which tells the page which optional API parts this service
has (so it never asks for a route that is not there)."""
import gzip
import importlib.util
from pathlib import Path

from aiohttp import web

routes = web.RouteTableDef()
STATIC_DIR = Path(__file__).with_name("static")
# Routes the page uses when present; added by other parts of the service.
OPTIONAL_ROUTES = {"alarms": "/api/alarms", "history": "/api/history"}


def plotly_js_path():
    """plotly.min.js as shipped inside the plotly package (no network, no copy)."""
    found = importlib.util.find_spec("plotly")
    if found is None or found.origin is None:
        return None
    path = Path(found.origin).parent / "package_data" / "plotly.min.js"
    return path if path.is_file() else None


class _Plotly:
    """The 4.8 MB library read and gzip-compressed once, on first request."""

    def __init__(self):
        self.raw = self.packed = None

    def load(self):
        if self.raw is None:
            path = plotly_js_path()
            if path is None:
                raise web.HTTPNotFound(text="plotly is not installed: pip install plotly")
            self.raw = path.read_bytes()
            self.packed = gzip.compress(self.raw, compresslevel=6)
        return self.raw, self.packed


_plotly = _Plotly()


@routes.get("/vendor/plotly.min.js")
async def plotly_js(request):
    raw, packed = _plotly.load()
    headers = {"Cache-Control": "public, max-age=86400", "Vary": "Accept-Encoding"}
    if "gzip" in request.headers.get("Accept-Encoding", ""):
        headers["Content-Encoding"] = "gzip"
        return web.Response(body=packed, content_type="text/javascript", headers=headers)
    return web.Response(body=raw, content_type="text/javascript", headers=headers)


@routes.get("/")
async def index(request):
    return web.FileResponse(STATIC_DIR / "index.html", headers={"Cache-Control": "no-cache"})


def _has_route(app, path):
    return any(r.canonical == path for r in app.router.resources())


@routes.get("/dashboard.json")
async def features(request):
    app = request.app
    return web.json_response({name: _has_route(app, path) for name, path in OPTIONAL_ROUTES.items()})


routes.static("/static/", STATIC_DIR)
