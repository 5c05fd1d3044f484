"""The node's bus in /metrics: what it published, what waits for the bus,
what was dropped, and whether it is connected."""
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily


class BusCollector:
    def __init__(self, node):
        self.node = node

    def collect(self):
        node = self.node
        connected = GaugeMetricFamily("vantor_bus_connected", "1 while the site's bus is "
                                      "connected")
        connected.add_metric([], 1.0 if node.connected.is_set() else 0.0)
        yield connected
        for name, key, text in (
                ("vantor_bus_published_windows", "windows", "Windows acknowledged by the bus"),
                ("vantor_bus_published_messages", "messages", "Messages acknowledged by the bus"),
                ("vantor_bus_published_bytes", "bytes", "Bytes acknowledged by the bus")):
            family = CounterMetricFamily(name, text)
            family.add_metric([], node.published[key])
            yield family
        buffered = GaugeMetricFamily("vantor_bus_buffered_messages", "Messages waiting for "
                                     "the bus")
        buffered.add_metric([], len(node.outbox))
        yield buffered
        buffered_bytes = GaugeMetricFamily("vantor_bus_buffered_bytes", "Bytes waiting for "
                                           "the bus")
        buffered_bytes.add_metric([], node.outbox.bytes)
        yield buffered_bytes
        dropped = CounterMetricFamily("vantor_bus_dropped_messages", "Messages the bus will "
                                      "never see (full buffer, full subscription, no JSON)")
        dropped.add_metric([], node.dropped)
        yield dropped
        commands = node.commands_answered()
        if commands:
            family = CounterMetricFamily("vantor_bus_commands", "Commands answered over the "
                                         "bus", labels=("command", "status"))
            for (verb, status), n in sorted(commands.items()):
                family.add_metric([verb, str(status)], n)
            yield family
