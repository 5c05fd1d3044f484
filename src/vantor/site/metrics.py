"""The site's Prometheus metrics: windows consumed, each node's lag and
state, malformed messages and nodes lost."""
import time

from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily


class SiteCollector:
    def __init__(self, board, archive):
        self.board, self.archive = board, archive

    def collect(self):
        board, archive, now = self.board, self.archive, time.time()
        consumed = CounterMetricFamily("vantor_site_windows_archived",
                                       "Windows written to the site's archive")
        consumed.add_metric([], archive.windows if archive else 0)
        yield consumed
        if archive is not None and archive.pending is not None:
            pending = GaugeMetricFamily("vantor_site_stream_pending",
                                        "Stream messages the archive has still to take")
            pending.add_metric([], archive.pending)
            yield pending
        seen = CounterMetricFamily("vantor_site_windows_received",
                                   "Windows received live, per node", labels=["node"])
        lag = GaugeMetricFamily("vantor_site_archive_lag_seconds",
                                "Age of the newest archived window, per node", labels=["node"])
        up = GaugeMetricFamily("vantor_site_node_up", "1 while the node's heartbeat arrives",
                               labels=["node"])
        for name, node in sorted(board.nodes.items()):
            seen.add_metric([name], node.windows_seen)
            up.add_metric([name], 0 if node.lost else 1)
            newest = archive.newest.get(name) if archive else None
            if newest is not None:
                lag.add_metric([name], max(0.0, now - newest))
        yield from (seen, lag, up)
        malformed = CounterMetricFamily("vantor_site_malformed", "Malformed messages from the bus",
                                        labels=["path"])
        malformed.add_metric(["live"], board.malformed_message.count)
        if archive:
            malformed.add_metric(["archive"], archive.malformed.count)
        yield malformed
        lost = CounterMetricFamily("vantor_site_nodes_lost",
                                   "Times a node's heartbeat stopped")
        lost.add_metric([], board.lost_total)
        yield lost


def registry_for(board, archive):
    registry = CollectorRegistry(auto_describe=False)
    registry.register(SiteCollector(board, archive))
    return registry


def render(registry):
    return generate_latest(registry)
