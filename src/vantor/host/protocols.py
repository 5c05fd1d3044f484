"""The host's subclasses of the four native classes: they supply attribute
storage and the methods the classes call but do not define, and turn hook
calls into routing and bookkeeping."""
import logging
import time

from vantor.cluster import feedhub, ingestgate
from vantor.cluster.workers import boardwatch, lanecore

from . import silence

log = logging.getLogger("vantor.host")


class Broker(ingestgate.SpeedUpProtocol):
    """Receives every channel-unit datagram; passing records go to `deliver`."""

    path = None   # the data path, while a settings change is verified
    timebase = None

    def bind(self, deliver, stats):
        self.deliver, self.stats = deliver, stats
        return self

    def log_firmware_version(self, msg):
        log.info("microcontroller %d first heard: datagram of %d bytes", msg[0], len(msg))

    def on_sync_success(self, chunk):
        self.stats.records_in += 1
        self.timebase.record(chunk)
        if self.path.echo_watch:
            self.path.check_echo(chunk)
        self.deliver(chunk)

    def on_sync_failed(self):
        self.stats.sync_failed += 1
        self.timebase.sync_lost()

    def on_missing(self, mcuId, cuId):
        self.stats.missing += 1


class Worker(lanecore.SpeedUpProtocol):
    """One channel unit's worker; counts its hook calls. Its silence timer is
    a deadline that the process's SilenceWatch checks (see silence.py)."""

    mismatches = 0
    timeouts = 0
    deadline = silence.NEVER

    def reset_timer(self, timeout_time=0.1):
        self.deadline = silence.clock() + timeout_time

    def onMismatch(self, data, config):
        self.mismatches += 1
        self.last_mismatch = (data, config)

    def onTimeout(self):
        self.timeouts += 1


class Hub(feedhub.SpeedUpProtocol):
    """The front end's side: batches, IV results and range changes go to `sink`."""

    sink = None

    def streamData(self, data):
        if self.sink is not None:
            self.sink.stream(data)

    def streamIvData(self, data):
        if self.sink is not None:
            self.sink.iv(data)

    def resetIvFrontend(self, start, stop, steps):
        if self.sink is not None:
            self.sink.iv_range(start, stop, steps)


class Monitor(boardwatch.SpeedUpProtocol):
    """Status watcher of one microcontroller (status changes are per board)."""

    def bind(self, mcu_stats):
        self.mcu = mcu_stats
        return self

    def on_temp(self, temp1, temp2):
        self.mcu.temp1, self.mcu.temp2 = temp1, temp2
        self.mcu.reports += 1
        self.mcu.last_seen = time.time()

    def set_pll_lock(self, pllLock):
        self.mcu.pll = pllLock

    def on_status_change(self, status):
        self.mcu.status = status
        self.mcu.status_changes += 1
        log.info("microcontroller %d status %d", self.mcu.mcuId, status)
