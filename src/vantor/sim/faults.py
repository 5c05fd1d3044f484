"""Faults the simulator can inject into its traffic."""
from dataclasses import dataclass, field

from vantor.wire import parse_unit_name


@dataclass
class Faults:
    drop: float = 0.0        # probability that a datagram is lost
    duplicate: float = 0.0   # probability that a datagram is sent twice in a row
    reorder: float = 0.0     # probability that a step's datagrams leave shuffled
    late: float = 0.0        # probability that a datagram is held back by one step
    # (mcuId, cuId) -> (first silent step, first step reporting again or None)
    silence: dict = field(default_factory=dict)
    ignore_updates: set = field(default_factory=set)   # units that never apply updates
    wrong: set = field(default_factory=set)            # units starting with wrong settings
    burst: tuple = None      # (step, n): steps step..step+n-1 are held and sent at once
    pll_unlocked: set = field(default_factory=set)     # microcontrollers reporting no PLL lock

    def silent(self, pair, step):
        span = self.silence.get(pair)
        if span is None:
            return False
        first, back = span
        return step >= first and (back is None or step < back)


parse_pair = parse_unit_name   # '3.12' -> (3, 12)
