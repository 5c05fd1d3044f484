"""What the parts of the service share through the aiohttp application,
one typed key each (built in app.build_app)."""
from pathlib import Path

from aiohttp import web

SYSTEM = web.AppKey("system", object)            # vantor.system.System (its simulator)
HOST = web.AppKey("host", object)                # vantor.host.app.Host
DATA_DIR = web.AppKey("data_dir", Path)
PROBLEMS = web.AppKey("problems", list)          # texts the service reports about itself
JOBS = web.AppKey("jobs", object)                # jobs.JobManager
WATCH = web.AppKey("watch", object)              # watch.Watch
LIVE = web.AppKey("live", object)                # live.LiveHub
LIMITS = web.AppKey("limits", object)            # guard.Limits
METRICS = web.AppKey("metrics", object)          # the prometheus registry of /metrics
NODE = web.AppKey("node", object)                # vantor.site.node.NodeLink (--bus), if any
