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
    """Receives every channel-unit datagram and routes each passing record to
    the worker of its unit, noting on the way what the read model shows of
    it: its window (WindowCounter) and its echo of the unit's settings."""

    echo_watch = None   # (mcuId, cuId) -> callable(record), while a settings change is verified

    def bind(self, deliver, stats, timebase, counter, last_records):
        self.deliver, self.stats, self.timebase = deliver, stats, timebase
        self.count, self.last_records = counter.record, last_records
        return self

    def log_firmware_version(self, msg):
        log.info("microcontroller %d first heard: datagram of %d bytes", msg[0], len(msg))

    def on_sync_success(self, chunk):
        self.stats.records_in += 1
        self.timebase.record(chunk)
        pair = (chunk[0], chunk[1])
        self.last_records[pair] = chunk
        self.count(pair, int.from_bytes(chunk[8:12], "little"))
        if self.echo_watch:
            watcher = self.echo_watch.get(pair)
            if watcher is not None:
                watcher(chunk)
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
    """The front end's side: batches, IV results and range changes go to the
    read model (`model`), which decodes them once for every reader."""

    model = None

    def streamData(self, data):
        if self.model is not None:
            self.model.stream(data)

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
