"""One alarm and its states.

active: the condition holds and nobody has acknowledged it;
acknowledged: it holds and someone has acknowledged it;
cleared: it no longer holds.  An alarm stays shown until it is both cleared
and acknowledged; if its condition returns before that, it is active again."""
from dataclasses import dataclass

SEVERITY = {"worker": "critical", "archive": "critical", "disk": "critical",
            "pll": "critical", "silent": "major", "unheard": "major",
            "verification": "major", "loss": "major", "temperature": "major",
            "rate": "minor"}


@dataclass
class Alarm:
    id: str
    condition: str
    subject: str
    message: str
    raised: float
    value: object = None
    active: bool = True
    cleared: float = None
    acknowledged: float = None
    comment: str = None
    updated: float = None

    @property
    def state(self):
        if not self.active:
            return "cleared"
        return "acknowledged" if self.acknowledged is not None else "active"

    @property
    def shown(self):
        return self.active or self.acknowledged is None

    def to_json(self, transition=None, time=None):
        out = {"id": self.id, "condition": self.condition, "subject": self.subject,
               "severity": SEVERITY.get(self.condition, "major"), "state": self.state,
               "message": self.message, "value": self.value, "raised": self.raised,
               "cleared": self.cleared, "acknowledged": self.acknowledged,
               "comment": self.comment, "shown": self.shown}
        if transition is not None:
            out["transition"], out["time"] = transition, time
        return out
