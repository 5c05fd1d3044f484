"""What the EPICS records read from the host, in one place: the per-window
values of every unit (the host's "windows" subscription), unit states,
boards, totals and alarm events."""


def subscribe(host, maxsize=10000):
    """The host's windows and events: (kind, payload) items."""
    return host.subscribe({"windows", "event"}, maxsize)


def window_rows(windows):
    """(rank, cuStatus, rate, counts, monitorV, time) arrays of one Windows
    table; rate is NaN for silence records, time NaN until the host knows
    its time origin."""
    rows = windows.rows
    return (rows["rank"], rows["cuStatus"], rows["rate"], rows["counts"], rows["monitorV"],
            rows["time"])


class UnitReading:
    """A unit's state as the slow records show it."""
    __slots__ = ("rank", "status", "updates", "set_point", "echoed_bias")

    def __init__(self, state):
        self.rank = state["rank"]
        self.status = state["status"]
        self.updates = state["updates"]
        self.set_point = state["config"]["biasI"]
        echo = state.get("echo")
        self.echoed_bias = None if echo is None else echo.get("biasI")


def unit_readings(host):
    """Every unit's UnitReading in rank order, a slice at a time (see
    Host.unit_state_slices): a reader on the loop gives it a turn between two."""
    for states in host.unit_state_slices():
        yield [UnitReading(s) for s in states]


def unit_reading(host, rank):
    return UnitReading(host.unit_state(rank))


def boards(host):
    return host.boards_state()


def totals(host):
    return host.totals()
