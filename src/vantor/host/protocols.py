"""The host's subclasses of the four native classes: they supply attribute
storage and the methods the classes call but do not define, and turn hook
calls into routing and bookkeeping."""
import logging
import time

from vantor.cluster import feedhub, ingestgate
from vantor.cluster.workers import boardwatch, lanecore


log = logging.getLogger("vantor.host")


class Broker(ingestgate.SpeedUpProtocol):
    """Receives every channel-unit datagram; a passing record goes to the
    router (road.Router), which counts it, follows its window, keeps the
    unit's echo and delivers it to the unit's worker, all natively: the
    broker calls on_sync_success by name, and finds the router's method as
    this broker's own attribute."""

    def bind(self, router, stats, timebase):
        self.on_sync_success = router.on_sync_success
        self.router, self.stats, self.timebase = router, stats, timebase
        return self

    def log_firmware_version(self, msg):
        log.info("microcontroller %d first heard: datagram of %d bytes", msg[0], len(msg))

    def on_sync_failed(self):
        self.stats.sync_failed += 1
        self.router.sync_lost()

    def on_missing(self, mcuId, cuId):
        self.stats.missing += 1


class Worker(lanecore.SpeedUpProtocol):
    """One channel unit's worker; counts its hook calls. Its reset_timer is a
    slot of the process's silence deadlines (see silence.py)."""

    mismatches = 0
    timeouts = 0

    def onMismatch(self, data, config):
        self.mismatches += 1
        self.last_mismatch = (data, config)

    def onTimeout(self):
        self.timeouts += 1


class Hub(feedhub.SpeedUpProtocol):
    """The front end's side.  The read model takes the stream records from the
    stream pump as they come, so the hub's batches are only counted here;
    IV results and range changes go to the read model (`model`).

    The hub asks for the range of every unit's sweep settings each time a
    channel's sweep begins, and works it out by reading every unit's
    configuration: with a thousand units beginning together that is a
    million reads, a stall of the loop of half a second.  The range changes
    only with a configuration, so it is worked out once per change."""

    model = None
    stats = None
    _range = None

    def get_min_max(self):
        if self._range is None:
            self._range = super().get_min_max()
        return self._range

    def configuration_changed(self):
        self._range = None

    def streamData(self, data):
        if self.stats is not None:
            self.stats.stream_out += len(data) // 32

    def streamIvData(self, data):
        if self.model is not None:
            self.model.iv(data)

    def resetIvFrontend(self, start, stop, steps):
        if self.model is not None:
            self.model.set_iv_range(start, stop, steps)


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
