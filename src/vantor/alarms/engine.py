"""The alarm engine: turns conditions into alarms with states, and tells
every listener about each transition (log, live stream, archive, hook)."""
import itertools
import logging
import time

from .alarm import Alarm

log = logging.getLogger("vantor.alarms")


class UnknownAlarm(KeyError):
    def __str__(self):
        return f"no alarm with id {self.args[0]!r}"


class AlarmEngine:
    def __init__(self, *, first_id=1, clock=time.time):
        self.clock = clock
        self._ids = itertools.count(first_id)
        self._by_key = {}         # (condition, subject) -> the shown alarm
        self.listeners = []       # called with the alarm JSON of each transition

    def renumber(self, first_id):
        """Continue ids from first_id (those of an earlier run are in the archive)."""
        self._ids = itertools.count(first_id)

    # -- conditions ---------------------------------------------------------

    def set(self, condition, subject, active, message=None, value=None, now=None):
        """Report whether a condition holds now; returns the transition's JSON or None."""
        now = self.clock() if now is None else now
        key = (condition, subject)
        alarm = self._by_key.get(key)
        if active:
            if alarm is None:
                alarm = Alarm(str(next(self._ids)), condition, subject, message or condition,
                              raised=now, value=value, updated=now)
                self._by_key[key] = alarm
                return self._tell(alarm, "raised", now)
            alarm.value, alarm.updated = value, now
            if message:
                alarm.message = message
            if not alarm.active:     # back before anyone acknowledged the clearing
                alarm.active, alarm.cleared, alarm.raised = True, None, now
                return self._tell(alarm, "raised", now)
            return None
        if alarm is None or not alarm.active:
            return None
        alarm.active, alarm.cleared, alarm.updated = False, now, now
        alarm.value = value
        if not alarm.shown:
            del self._by_key[key]
        return self._tell(alarm, "cleared", now)

    def holds(self, condition, subject):
        alarm = self._by_key.get((condition, subject))
        return alarm is not None and alarm.active

    def subjects(self, condition):
        return [s for (c, s), a in self._by_key.items() if c == condition and a.active]

    # -- operators ----------------------------------------------------------

    def acknowledge(self, alarm_id, comment=None, now=None):
        now = self.clock() if now is None else now
        alarm = self.get(alarm_id)
        if alarm.acknowledged is None:
            alarm.acknowledged = now
        alarm.comment, alarm.updated = comment, now
        if not alarm.shown:
            del self._by_key[(alarm.condition, alarm.subject)]
        return self._tell(alarm, "acknowledged", now)

    def get(self, alarm_id):
        for alarm in self._by_key.values():
            if alarm.id == str(alarm_id):
                return alarm
        raise UnknownAlarm(str(alarm_id))

    def alarms(self):
        """Every shown alarm, newest first."""
        return sorted(self._by_key.values(), key=lambda a: (a.raised, int(a.id)), reverse=True)

    def to_json(self):
        return [a.to_json() for a in self.alarms()]

    # -- notification -------------------------------------------------------

    def _tell(self, alarm, transition, now):
        event = alarm.to_json(transition, now)
        level = logging.INFO if transition == "acknowledged" else logging.WARNING
        log.log(level, "alarm %s %s: %s (%s)", alarm.id, transition, alarm.message, alarm.state)
        for listener in list(self.listeners):
            try:
                listener(event)
            except Exception:            # one broken listener must not silence the others
                log.exception("alarm listener %r failed", listener)
        return event
