"""The data path's counters and boards as operators read them: totals with
rates over the last seconds, each board's state, units never heard since the
start, and board changes as events (the monitors report them inside the
data path, where nothing waits, so they are noticed here)."""
import asyncio
import collections
import logging
import time

WATCH_PERIOD = 0.5        # seconds between rate and board-state refreshes
RATE_SPAN = 10            # rates average over this many periods: batches come once a window
LOCK_CHECK_PERIODS = 10   # the shared records' locks are looked at every 5 s

log = logging.getLogger("vantor.host")


class Overview:
    def __init__(self, settings, stats, path, model):
        self.settings, self.stats, self.path, self.model = settings, stats, path, model
        self.rates = {"records_in": 0.0, "stream_out": 0.0, "datagrams": 0.0}
        self.started_wall = None
        self._samples = collections.deque(maxlen=RATE_SPAN + 1)
        self._boards_seen = {}
        self.unheard = set()           # names of units not heard within their time-out
        self.lock_owner_deaths = 0     # processes that died holding a shared record's lock

    def boards_state(self, now_wall=None):
        now_wall = time.time() if now_wall is None else now_wall
        gate = self.path.admission
        return [{"mcuId": m.mcuId, "temp1": m.temp1, "temp2": m.temp2,
                 "pll": None if m.pll is None else bool(m.pll), "status": m.status,
                 "reports": m.reports, "last_seen": m.last_seen,
                 "age": None if m.last_seen is None else max(0.0, now_wall - m.last_seen),
                 **(gate.board(m.mcuId) if gate is not None else {})}
                for m in self.stats.mcus.values()]

    def totals(self):
        s, model = self.stats, self.model
        return {"records_in": s.records_in, "stream_in": s.stream_in, "stream_out": s.stream_out,
                "datagrams": s.datagrams, "status_in": s.status_in, "dropped": s.dropped(),
                "late": s.late(), "duplicated": s.duplicates(), "malformed": s.malformed,
                "sync_failed": s.sync_failed, "missing": s.missing,
                "updates_sent": s.updates_sent, "updates_undeliverable": s.updates_undeliverable,
                "errors": s.errors, "last_error": s.last_error, "iv_results": model.iv_results,
                "iv_range": list(model.iv_range) if model.iv_range is not None else None,
                "incomplete_windows": int(model.incomplete.sum()),
                "lock_owner_deaths": self.lock_owner_deaths,
                "rates": dict(self.rates), **self._intake_totals()}

    def _intake_totals(self):
        """Refused traffic (with the ids and addresses seen), sequence
        restarts, re-synchronisations and units never heard."""
        gate, base = self.path.admission, self.path.timebase
        out = {"unknown_mcu": 0, "unknown_unit": 0, "foreign": 0, "mixed": 0, "restarts": 0,
               "stray": 0, "refused": None, "resyncs": 0, "time_origin": None,
               "unheard": sorted(self.unheard)}
        if gate is not None:
            t = gate.totals()
            out.update({k: t[k] for k in ("unknown_mcu", "unknown_unit", "foreign", "mixed",
                                          "restarts", "stray")})
            out["refused"] = gate.report()
        if base is not None:
            out["resyncs"], out["time_origin"] = base.resyncs, base.origin
        return out

    def _counts(self):
        s = self.stats
        return (time.monotonic(), s.records_in, s.stream_out, s.datagrams)

    async def watch(self):
        """Rates over the last period, units never heard, and board changes as
        events; runs from the host's start (`started_wall`) to its stop."""
        self._samples.append(self._counts())
        turns = 0
        while True:
            await asyncio.sleep(WATCH_PERIOD)
            turns += 1
            if turns % LOCK_CHECK_PERIODS == 0:
                self._check_locks()
            self._samples.append(self._counts())
            first, last = self._samples[0], self._samples[-1]
            dt = last[0] - first[0]
            if dt > 0:
                self.rates = {k: (a - b) / dt for k, a, b in
                              zip(("records_in", "stream_out", "datagrams"), last[1:], first[1:])}
            now = time.time()
            self._flag_unheard(now)
            for m in self.stats.mcus.values():
                for name, value in (("pll", m.pll), ("status", m.status)):
                    key = (m.mcuId, name)
                    old = self._boards_seen.get(key)
                    if value is not None and old != value:
                        self._boards_seen[key] = value
                        if old is not None or (name == "pll" and not value):
                            self.model.publish_event({"kind": "board", "mcuId": m.mcuId,
                                                      "field": name, "old": old, "new": value,
                                                      "time": now})

    def _check_locks(self):
        """A process that died holding a record's lock leaves it to the next
        taker, which counts it: said once here, as an event and in the log."""
        block = self.path.block
        deaths = block.lock_owner_deaths() if block is not None else self.lock_owner_deaths
        if deaths > self.lock_owner_deaths:
            log.warning("%d process(es) died holding a lock of the shared records; the locks "
                        "were taken over", deaths - self.lock_owner_deaths)
            self.model.publish_event({"kind": "lock", "owner_deaths": deaths, "time": time.time()})
            self.lock_owner_deaths = deaths

    def _flag_unheard(self, now):
        """A unit that has sent nothing since the start raises no silence alarm
        of its own (its worker has nothing to time out from): flag it once its
        time-out has passed, and say so again if it is heard later."""
        gate = self.path.admission
        if gate is None or self.started_wall is None \
                or now - self.started_wall < self.settings.timeout:
            return
        unheard = gate.unheard
        if not self.unheard and not any(unheard.values()):
            return                    # everybody heard: nothing can change any more
        for cu in self.settings.units():
            heard = cu.cuId not in unheard[cu.mcuId]
            if not heard and cu.label not in self.unheard:
                self.unheard.add(cu.label)
                self.model.publish_event({"kind": "unheard", "rank": cu.rank, "name": cu.label,
                                          "since": self.started_wall, "time": now})
            elif heard and cu.label in self.unheard:
                self.unheard.discard(cu.label)
