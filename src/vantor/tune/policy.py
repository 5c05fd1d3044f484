"""Choosing a unit's bias from its Analysis: `fraction` (a share of the
switching current) or `plateau` (the plateau onset plus a margin, capped one
sweep step below switching).  Units that are not `ok` keep their bias."""
from dataclasses import dataclass

POLICIES = ("fraction", "plateau")
DEFAULT_MARGIN_STEPS = 2       # the onset is known to about this many sweep steps


@dataclass(frozen=True)
class Policy:
    name: str = "fraction"
    fraction: float = 0.9
    margin: float = None         # A; None: two sweep steps
    onset_fraction: float = 0.9

    def check(self):
        """ValueError naming the option that cannot be used."""
        if self.name not in POLICIES:
            raise ValueError(f"policy: expected fraction or plateau, got {self.name!r}")
        if not 0 < self.fraction < 1:
            raise ValueError(f"fraction: expected a number between 0 and 1, got {self.fraction!r}")
        if self.margin is not None and not 0 <= self.margin < 1e-2:
            raise ValueError(f"margin: expected 0 to 0.01 A, got {self.margin!r}")
        if not 0 < self.onset_fraction < 1:
            raise ValueError(f"onset_fraction: expected a number between 0 and 1, got "
                             f"{self.onset_fraction!r}")
        return self


def propose(analysis, policy):
    """(status, proposed bias or None, reason) for one unit."""
    a = analysis
    if a.status != "ok":
        return a.status, None, a.reason
    if policy.name == "fraction":
        bias = policy.fraction * a.switching_current
        return "ok", bias, f"{policy.fraction:g} x switching current {a.switching_current:.4g} A"
    margin = DEFAULT_MARGIN_STEPS * a.step if policy.margin is None else policy.margin
    cap = a.switching_current - a.step
    if cap < a.plateau_onset:
        return ("no plateau", None, f"plateau onset {a.plateau_onset:.4g} A lies within one "
                                    f"step of switching ({a.switching_current:.4g} A)")
    bias = a.plateau_onset + margin
    reason = f"plateau onset {a.plateau_onset:.4g} A + margin {margin:.3g} A"
    if bias > cap:
        bias, reason = cap, reason + f", capped one step below switching at {cap:.4g} A"
    return "ok", bias, reason


def unit_result(analysis, policy):
    """The answer for one unit: the client's keys first, then the details."""
    status, bias, reason = propose(analysis, policy)
    return {"status": status, "switching_current": analysis.switching_current,
            "plateau_onset": analysis.plateau_onset, "plateau_rate": analysis.plateau_rate,
            "proposed_bias": bias, "reason": reason,
            "plateau_flatness": analysis.plateau_flatness, "dark_rate": analysis.dark_rate,
            "dark_rise": analysis.dark_rise, "step": analysis.step, "fit": analysis.fit}
