"""Which record an alarm of the alarm engine marks, with which EPICS
severity and status."""

SEVERITY = {"critical": 2, "major": 2, "minor": 1}     # alarm engine -> EPICS severity
MAJOR = 2
STAT_HIGH, STAT_LOW, STAT_STATE = 4, 6, 7


def alarm_target(alarm, server):
    """The record an alarm of the engine belongs to, and its EPICS status."""
    condition, subject, value = alarm["condition"], alarm["subject"], alarm.get("value")
    words = subject.split()
    if words[0] == "unit" and len(words) == 2 and words[1] in server.ranks:
        recs = server.units[server.ranks[words[1]]]
        if condition == "rate":
            band = server.host.settings.alarms.band(server.ranks[words[1]], words[1]) or (None, None)
            low = band[0] is not None and value is not None and value < band[0]
            return recs.rate, STAT_LOW if low else STAT_HIGH
        if condition == "verification":
            return recs.bias_rbv, STAT_STATE
    if words[0] == "board" and len(words) >= 2 and words[1].isdigit():
        board = server.boards.get(int(words[1]))
        if board is None:
            return None, None
        if condition == "pll":
            return board.pll, STAT_STATE
        if condition == "temperature" and len(words) == 3:
            record = board.temp1 if words[2] == "temp1" else board.temp2
            opts = server.host.settings.alarms
            low = value is not None and value < getattr(opts, f"{words[2]}_min")
            return record, STAT_LOW if low else STAT_HIGH
    if condition == "loss":
        return server.totals.counters["dropped"], STAT_STATE
    return None, None
