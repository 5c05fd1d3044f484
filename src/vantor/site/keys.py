"""What the parts of the site share through its aiohttp application."""
from aiohttp import web

BOARD = web.AppKey("board", object)          # nodes.NodeBoard
ARCHIVE = web.AppKey("archive", object)      # archive.SiteArchive or None
STORE = web.AppKey("store", object)          # the archive's Store or None
BUS = web.AppKey("bus", object)              # the connected nats client
OPTIONS = web.AppKey("options", object)      # ArchiveOptions
LIVE = web.AppKey("site_live", object)       # live.SiteLive
