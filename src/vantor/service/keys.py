"""What the parts of the service share through the aiohttp application,
one typed key each (built in app.build_app)."""
from pathlib import Path

from aiohttp import web

SYSTEM = web.AppKey("system", object)            # vantor.system.System
HOST = web.AppKey("host", object)                # its vantor.host.app.Host
DATA_DIR = web.AppKey("data_dir", Path)
SETTINGS_PATH = web.AppKey("settings_path", object)   # Path or None
PROBLEMS = web.AppKey("problems", list)          # texts the service reports about itself
JOBS = web.AppKey("jobs", object)                # jobs.JobManager
WATCH = web.AppKey("watch", object)              # watch.Watch
LIVE = web.AppKey("live", object)                # live.LiveHub
ACCESS = web.AppKey("access", object)            # security.Access
LIMITS = web.AppKey("limits", object)            # guard.Limits
METRICS = web.AppKey("metrics", object)          # prometheus registry, made on first scrape
