"""Checks each alarm condition against the host's snapshot and events, with
hysteresis wherever a value is compared with a limit."""
import collections
import shutil

ON_AIR = ("ok", "IV", "update")       # unit status words of a unit that is heard


def _outside(value, low, high, margin, was_on):
    """Whether value is out of [low, high]; an alarm already on clears only
    once the value is `margin` back inside."""
    if low is not None and value < (low + margin if was_on else low):
        return True
    if high is not None and value > (high - margin if was_on else high):
        return True
    return False


class ConditionChecker:
    def __init__(self, engine, options):
        self.engine = engine
        self.options = options
        self._updates = {}                       # rank -> (updates seen, streak)
        self._loss = collections.deque()         # (time, dropped, datagrams)

    # -- snapshot -----------------------------------------------------------

    def snapshot(self, snap):
        now = snap["time"]
        self.check_units(snap.get("units", ()), snap.get("uptime", 0.0), now)
        for board in snap.get("boards", ()):
            self._board(board, now)
        self._loss_check(snap.get("totals", {}), now)

    def check_units(self, units, uptime, now):
        """The unit conditions of some units of a snapshot (a caller on the
        loop hands thousands of units over a slice at a time)."""
        for unit in units:
            self._unit(unit, uptime, now)

    def _unit(self, unit, uptime, now):
        opt, eng, name = self.options, self.engine, unit["name"]
        subject = f"unit {name}"
        status = unit.get("status")
        if opt.silence:
            if status == "silent":
                eng.set("silent", subject, True, f"unit {name} (rank {unit['rank']}) is silent",
                        now=now)
            elif status in ON_AIR:
                eng.set("silent", subject, False, now=now)
        if opt.unheard_seconds and (status != "unheard" or uptime >= opt.unheard_seconds):
            # an unheard unit waits for the alarm's own time, set or not
            eng.set("unheard", subject, status == "unheard",
                    f"unit {name} (rank {unit['rank']}) not heard "
                    f"since start", now=now)
        self._verification(unit, subject, now)
        band = opt.band(unit["rank"], name)
        rate = unit.get("rate")
        if band is not None and rate is not None and status in ON_AIR:
            low, high = band
            on = eng.holds("rate", subject)
            margin = opt.rate_hysteresis * max(abs(low or 0.0), abs(high or 0.0))
            out = _outside(rate, low, high, margin, on)
            eng.set("rate", subject, out, f"unit {name} rate {rate:.6g}/s outside "
                    f"[{_fmt(low)}, {_fmt(high)}]", value=rate, now=now)

    def _verification(self, unit, subject, now):
        sent = unit.get("updates") or 0
        seen, streak = self._updates.get(unit["rank"], (sent, 0))
        # the worker repeats an update while the echo disagrees; a quiet
        # interval, or an echo that now matches, means the unit followed
        # (several changes in a row, such as a sweep's start and end, send
        # several updates that each were followed)
        followed = unit.get("echo_matches") is True
        streak = streak + (sent - seen) if sent > seen and not followed else 0
        self._updates[unit["rank"]] = (sent, streak)
        need = self.options.verify_updates
        if streak >= need:
            self.engine.set("verification", subject, True,
                            f"{subject} does not follow its settings ({streak} updates sent "
                            f"without the echo following)", value=streak, now=now)
        elif streak == 0:
            self.engine.set("verification", subject, False, now=now)

    def _board(self, board, now):
        opt, eng = self.options, self.engine
        mcu = board["mcuId"]
        if opt.pll and board.get("pll") is not None:
            eng.set("pll", f"board {mcu}", not board["pll"],
                    f"board {mcu}: PLL not locked", now=now)
        for n in ("1", "2"):
            value = board.get(f"temp{n}")
            if value is None:
                continue
            subject = f"board {mcu} temp{n}"
            low, high = getattr(opt, f"temp{n}_min"), getattr(opt, f"temp{n}_max")
            out = _outside(value, low, high, opt.temp_hysteresis, eng.holds("temperature", subject))
            eng.set("temperature", subject, out, f"board {mcu}: temp{n} {value:.3g} outside "
                    f"[{low:g}, {high:g}]", value=value, now=now)

    def _loss_check(self, totals, now):
        if "dropped" not in totals or "datagrams" not in totals:
            return
        window = self._loss
        window.append((now, totals["dropped"], totals["datagrams"]))
        while len(window) > 2 and window[1][0] <= now - self.options.loss_seconds:
            window.popleft()
        t0, dropped0, got0 = window[0]
        lost, got = totals["dropped"] - dropped0, totals["datagrams"] - got0
        if now - t0 < self.options.loss_seconds / 2 or lost + got < 100:
            return                       # too little traffic yet to judge
        percent = 100.0 * max(lost, 0) / (lost + got)
        on = self.engine.holds("loss", "datagrams")
        limit = self.options.loss_percent / 2 if on else self.options.loss_percent
        self.engine.set("loss", "datagrams", percent > limit,
                        f"{percent:.2f} % of datagrams lost over the last "
                        f"{now - t0:.0f} s", value=round(percent, 3), now=now)

    # -- events and outside checks ------------------------------------------

    def event(self, event):
        kind = event.get("kind")
        now = event.get("time")
        if kind == "status" and event.get("new") in ON_AIR:
            self.engine.set("silent", f"unit {event['name']}", False, now=now)
            self.engine.set("unheard", f"unit {event['name']}", False, now=now)
        elif kind == "unheard" and self.options.unheard_seconds \
                and _waited(event, self.options.unheard_seconds):
            # the host flags a unit once its time-out passed without a record;
            # the alarm waits for its own, longer time
            self.engine.set("unheard", f"unit {event['name']}", True,
                            f"unit {event['name']} (rank {event['rank']}) not heard since start",
                            now=now)
        elif kind == "silence" and self.options.silence:
            self.engine.set("silent", f"unit {event['name']}", True,
                            f"unit {event['name']} (rank {event['rank']}) is silent", now=now)
        elif kind == "latch":
            self._latch(event, now)
        elif kind == "settings":
            # a bias set again by anyone but the latch watch ends a unit's
            # "left at zero" alarm
            for change in event.get("changes", ()) if event.get("via") != "latch" else ():
                if change.get("field") == "biasI" and change.get("new"):
                    self.engine.set("latch_recovery", f"unit {change['name']}", False, now=now)
        elif kind == "worker" and self.options.worker:
            state, index = event.get("state"), event.get("index")
            if state in ("died", "failed"):
                how = "died and is not restarted" if state == "failed" else "died"
                self.engine.set("worker", f"worker {index}", True,
                                f"worker process {index} {how}", value=event.get("lost"), now=now)
            elif state == "restarted":
                self.engine.set("worker", f"worker {index}", False, now=now)

    def _latch(self, event, now):
        subject = f"unit {event['name']}"
        who = f"unit {event['name']} (rank {event['rank']})"
        action = event.get("action")
        if "latched" in event:
            self.engine.set("latched", subject, event["latched"],
                            f"{who} is latched: zero counts with the monitor at the latched "
                            f"level", value=event.get("events"), now=now)
        elif action == "left at zero":
            self.engine.set("latch_recovery", subject, True,
                            f"{who} latched again at once after its recovery: left at zero "
                            f"bias (it was {event.get('bias'):.4g} A); set its bias to try "
                            f"again", now=now)
        elif action == "limit":
            self.engine.set("latch_recovery", subject, True,
                            f"{who} latched again: {event.get('max_per_hour')} recoveries "
                            f"within the hour already, left latched", now=now)
        elif action == "failed":
            self.engine.set("latch_recovery", subject, True,
                            f"{who} did not echo its bias during recovery", now=now)

    def archive(self, ok, message):
        if self.options.archive:
            self.engine.set("archive", "archive", not ok, message)

    def disk(self, paths):
        """Free space where recordings and the archive are written."""
        self.disk_free(free_space(paths))

    def disk_free(self, free):
        """Free bytes per path, measured by free_space (off the loop: a slow
        mount must not hold it; the alarms themselves are set on the loop)."""
        limit = self.options.disk_min_mb * 1e6
        for path, n in free.items():
            self.engine.set("disk", str(path), n < limit,
                            f"{path}: {n / 1e6:.0f} MB free, below {limit / 1e6:.0f} MB",
                            value=n, now=None)


def free_space(paths):
    """{path: free bytes}; a path not created yet is left out (whoever writes
    there reports it)."""
    free = {}
    for path in paths:
        try:
            free[path] = shutil.disk_usage(path).free
        except OSError:
            pass
    return free


def _waited(event, seconds):
    """Whether an event's unit has gone unheard for `seconds` (when it says)."""
    since, now = event.get("since"), event.get("time")
    return since is None or now is None or now - since >= seconds


def _fmt(value):
    return "-" if value is None else f"{value:g}"
