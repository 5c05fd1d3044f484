"""The host's read model: the stream records the workers publish are decoded
once, a turn of the stream pump at a time, into one columnar table
(`Windows`), and everything that reads measurements (unit state, the live
stream, the archive, metrics, alarms, the faces around the service) reads
that table or the unit state kept from it.  Nobody decodes stream bytes
again.

A row is one stream record plus what the host knows beside it: the rate
(counts per second), how many of the window's records reached the worker
(`received`, counted by the router: road.Router.received_of) and the
window's end in Unix time.  Unit state is kept as one array per quantity,
indexed by rank, and updated a whole table at a time."""
import time

import numpy as np

from vantor.wire import (CU_IV, CU_MESSAGE, CU_MESSAGE_FIELDS, CU_NORMAL, CU_TIMEOUT, ECHO_FIELDS,
                         SILENCE_CODES, STREAM_DTYPE, STREAM_FIELDS, STATUS_WORDS,
                         current_to_voltage, echo_of, f32, window_rate)
from .bus import KINDS, Bus

UPDATE_SHOWN_S = 1.0      # a unit shows "update" this long after a correction was sent

WINDOW_DTYPE = np.dtype([(name, STREAM_DTYPE.fields[name][0].newbyteorder("="))
                         for name in STREAM_FIELDS]
                        + [("rate", "f8"), ("received", "u4"), ("time", "f8")])

# Echo fields a settings change is verified on; cuStatus follows its own
# rules (a unit reports 1 for a configured 0, and sweeps move it on by themselves).
VERIFIED_FIELDS = tuple(f for f in ECHO_FIELDS if f != "cuStatus")
_ECHO_INDEX = tuple(CU_MESSAGE_FIELDS.index(f) for f in ECHO_FIELDS)
_VERIFIED_INDEX = tuple(CU_MESSAGE_FIELDS.index(f) for f in VERIFIED_FIELDS)
_WORD_INDEX = {word: k for k, word in enumerate(STATUS_WORDS)}
_OK, _IV, _SILENT, _UPDATE, _UNHEARD, _LATCHED = (
    _WORD_INDEX[w] for w in ("ok", "IV", "silent", "update", "unheard", "latched"))


class Windows:
    """One batch of stream records, decoded: `rows` (WINDOW_DTYPE) and the
    Unix time of board time 0 it was stamped with (None: not known yet)."""
    __slots__ = ("rows", "origin", "wall")

    def __init__(self, rows, origin, wall):
        self.rows, self.origin, self.wall = rows, origin, wall

    def __len__(self):
        return len(self.rows)


def expected_echo(configuration):
    """The verified echo fields a unit that applied `configuration` reports."""
    echo = echo_of(configuration.as_dict())
    return tuple(echo[f] for f in VERIFIED_FIELDS)


def echo_values(record):
    """The verified echo fields of a cu_message, in VERIFIED_FIELDS order."""
    values = CU_MESSAGE.unpack_from(record)
    return tuple(values[i] for i in _VERIFIED_INDEX)


def echoed_bias_current(biasV, config):
    """The bias current a unit's echoed bias voltage stands for under `config`
    (the worker's conversion run backwards); None when it has no conversion."""
    v = current_to_voltage(config["resistorCryo"], config["resistorParallel"],
                           config["resistorSeries"], config["resistorBias"])
    inv = -1.0 if config["inverted"] == 1 else 1.0
    return f32(biasV / (v * inv)) if v else None


def decode(data, count, received, origin):
    """`count` stream records from `data` as a Windows table.  `received`
    holds, per record, how many records its window held (uint32, as
    road.Router.received_of gives them; None: not known, so windows count as
    holding none)."""
    src = np.frombuffer(data, STREAM_DTYPE, count)
    rows = np.empty(count, WINDOW_DTYPE)
    for name in STREAM_FIELDS:
        rows[name] = src[name]
    status = rows["cuStatus"]
    measured = ~np.isin(status, SILENCE_CODES)
    rows["rate"] = np.where(measured, window_rate(rows["counts"], rows["intSize"]), np.nan)
    if received is None:     # silence records and sweep points are no windows: whole
        rows["received"] = np.where(status == CU_NORMAL, 0, rows["intSize"])
    else:
        rows["received"] = np.frombuffer(received, "<u4", count)
    rows["time"] = rows["timestamp"] + (np.nan if origin is None else origin)
    return Windows(rows, origin, time.time())


def _none_if_nan(values):
    return [None if v != v else v for v in values]


class ReadModel:
    """Unit state and the fan-out of decoded batches.  Fed by the data path
    (`stream`, `iv`, `iv_range`, `update_sent`); read by the facade."""

    def __init__(self, settings, stats, origin):
        self.settings = settings
        self.stats = stats
        self.router = None                # the data path's road.Router while it runs
        self.origin = origin              # callable: Unix time of board time 0, or None
        self.bus = Bus()
        self.taps = []                    # callables fed every Windows at once (recordings)
        self.latch = None                 # the latch watch (latch_keeper.LatchKeeper), if any
        self.iv_results = 0
        self.last_iv = None
        self.iv_range = None
        units = self.units = settings.units()
        n = len(units) + 1                # index by rank; slot 0 unused
        self.status = np.full(n, -1, np.int16)         # cuStatus of the last record, -1 none
        self.rate = np.full(n, np.nan)
        self.counts = np.full(n, np.nan)
        self.int_size = np.full(n, np.nan)
        self.monitor = np.full(n, np.nan)
        self.sweep_bias = np.full(n, np.nan)           # bias current of the last IV point
        self.board_time = np.full(n, np.nan)           # end of the last window, board clock
        self.received = np.full(n, np.nan)
        self.windows = np.zeros(n, np.int64)
        self.iv_points = np.zeros(n, np.int64)
        self.alarms = np.zeros(n, np.int64)            # silence records (100)
        self.incomplete = np.zeros(n, np.int64)        # windows with missing records
        self.updates = np.zeros(n, np.int64)
        self.last_update = np.zeros(n)                 # time.monotonic() of the last correction
        self.last_seen = np.full(n, np.nan)            # time.time() of the last record
        self.version = np.zeros(n, np.int64)           # bumped whenever a unit's state changes
        self.rank_of_pair = {(cu.mcuId, cu.cuId): cu.rank for cu in units}
        self._expected = {}               # rank -> (configuration, expected echo)

    # -- fed by the data path ----------------------------------------------------

    def stream(self, data):
        """Stream records back to back, as the workers published them."""
        count = len(data) // STREAM_DTYPE.itemsize
        if not count:
            return
        table = self.decode(data, count)
        changed = self._take(table.rows)
        self.bus.publish("windows", table)
        for tap in tuple(self.taps):
            tap(table)
        if changed:
            self._announce(changed)
        if self.latch is not None:
            self.latch.batch(table)

    def decode(self, data, count):
        router = self.router
        received = None if router is None else router.received_of(data)
        return decode(data, count, received, self.origin())

    def _take(self, rows):
        """Unit state from one decoded batch; returns [(rank, old word, new word)]
        of the units whose word changed."""
        ranks = rows["rank"].astype(np.intp)
        inside = (ranks >= 1) & (ranks < len(self.status))
        if not inside.all():
            rows, ranks = rows[inside], ranks[inside]
        if not len(rows):
            return []
        status = rows["cuStatus"]
        silent = np.isin(status, SILENCE_CODES)
        measured = ~silent
        sweep = measured & (status == CU_IV)
        window = measured & ~sweep
        touched = np.unique(ranks)
        before = self._words(touched)
        np.add.at(self.alarms, ranks[status == CU_TIMEOUT], 1)
        np.add.at(self.iv_points, ranks[sweep], 1)
        np.add.at(self.windows, ranks[window], 1)
        np.add.at(self.incomplete, ranks[window & (rows["received"] < rows["intSize"])], 1)
        np.add.at(self.version, ranks, 1)
        # Values of each unit's last record in the batch (a unit may have a
        # silence record and a window in one batch).
        last = len(ranks) - 1 - np.unique(ranks[::-1], return_index=True)[1]
        self.status[ranks[last]] = status[last]
        last = last[measured[last]]
        mr = ranks[last]
        if len(mr):
            m = rows[last]
            with_length = m["intSize"] > 0
            self.rate[mr[with_length]] = m["rate"][with_length]
            self.counts[mr] = m["counts"]
            self.int_size[mr] = m["intSize"]
            self.monitor[mr] = m["monitorV"]
            self.board_time[mr] = m["timestamp"]
            self.received[mr] = m["received"]
            is_sweep = m["cuStatus"] == CU_IV
            self.sweep_bias[mr[is_sweep]] = m["biasI"][is_sweep]
            self.last_seen[mr] = time.time()
        after = self._words(touched)
        moved = np.flatnonzero(before != after)
        return [(int(touched[k]), STATUS_WORDS[before[k]], STATUS_WORDS[after[k]]) for k in moved]

    def _words(self, ranks):
        """Word indexes (into STATUS_WORDS) of `ranks`, "update" left out."""
        status = self.status[ranks]
        words = np.full(len(ranks), _OK, np.int8)
        words[status < 0] = _UNHEARD
        words[np.isin(status, SILENCE_CODES)] = _SILENT
        words[status == CU_IV] = _IV
        return words

    def _announce(self, changed):
        now = time.time()
        units = self.units
        for rank, old, new in changed:
            name = units[rank - 1].label
            self.bus.publish("event", {"kind": "status", "rank": rank, "name": name,
                                       "old": old, "new": new, "time": now})
            if new == "silent":
                self.bus.publish("event", {"kind": "silence", "rank": rank, "name": name,
                                           "time": now})

    def iv(self, data):
        self.iv_results += 1
        self.last_iv = data
        self.bus.publish("iv", data)

    def set_iv_range(self, start, stop, steps):
        self.iv_range = (start, stop, steps)
        self.bus.publish("iv_range", (start, stop, steps))

    def update_sent(self, pair):
        rank = self.rank_of_pair.get(pair)
        if rank is not None:
            self.updates[rank] += 1
            self.last_update[rank] = time.monotonic()
            self.version[rank] += 1

    def config_changed(self, rank):
        self.version[rank] += 1

    def publish_event(self, event):
        self.bus.publish("event", event)

    def subscribe(self, kinds=KINDS, maxsize=1000):
        return self.bus.subscribe(kinds, maxsize)

    # -- read by the facade --------------------------------------------------------

    def cu_status(self, rank):
        """cuStatus of the unit's last stream record, or None before any."""
        value = int(self.status[rank])
        return None if value < 0 else value

    def word_indexes(self, ranks=None, now=None):
        """Per rank (all of them, slot 0 unused, or those of `ranks`) the index
        of its word in STATUS_WORDS."""
        ranks = np.arange(len(self.status)) if ranks is None else ranks
        words = self._words(ranks)
        now = time.monotonic() if now is None else now
        last_update = self.last_update[ranks]
        recent = (words == _OK) & (last_update > 0) & (now - last_update < UPDATE_SHOWN_S)
        words[recent] = _UPDATE
        if self.latch is not None:
            words[((words == _OK) | (words == _UPDATE)) & self.latch.watch.latched[ranks]] = _LATCHED
        return words

    def versions(self):
        """Per unit (rank order) a number that changes whenever the unit's state
        does, ages aside: lets readers send only what changed."""
        return (self.version * 8 + self.word_indexes())[1:]

    def states(self, first, stop, now_wall=None):
        """Unit states of ranks first .. stop - 1, as the API answers them."""
        now_wall = time.time() if now_wall is None else now_wall
        sl = slice(first, stop)
        words = self.word_indexes(np.arange(first, stop)).tolist()
        cols = [_none_if_nan(a[sl].tolist()) for a in
                (self.rate, self.counts, self.int_size, self.monitor, self.sweep_bias,
                 self.board_time, self.received, self.last_seen)]
        counters = [a[sl].tolist() for a in
                    (self.status, self.updates, self.alarms, self.windows, self.incomplete,
                     self.iv_points)]
        origin = self.origin()
        latch_events = self.latch.watch.events[sl].tolist() if self.latch is not None \
            else [0] * (stop - first)
        out = []
        for k, rank in enumerate(range(first, stop)):
            cu = self.units[rank - 1]
            rate, counts, size, monitor, sweep, board_time, received, seen = (c[k] for c in cols)
            status, updates, alarms, windows, incomplete, iv_points = (c[k] for c in counters)
            config = cu.configuration
            echo, matches = self._echo(rank, cu, config)
            out.append({
                "rank": rank, "name": cu.label, "mcuId": cu.mcuId, "cuId": cu.cuId,
                "status": STATUS_WORDS[words[k]], "cuStatus": None if status < 0 else status,
                "rate": rate, "counts": None if counts is None else int(counts),
                "intSize": None if size is None else int(size), "monitorV": monitor,
                "received": None if received is None else int(received),
                "complete": None if received is None or size is None else received >= size,
                "window_time": None if board_time is None or origin is None
                else board_time + origin,
                "sweep_biasI": sweep, "config": config.as_dict(), "echo": echo,
                "echo_matches": matches, "updates": updates, "alarms": alarms,
                "windows": windows, "incomplete": incomplete, "iv_points": iv_points,
                "latch_events": latch_events[k],
                "last_seen": seen, "age": None if seen is None else max(0.0, now_wall - seen)})
        return out

    def _echo(self, rank, cu, config):
        """The settings the unit reported in its last record, and whether they
        are what its configuration asks for."""
        chunk = None if self.router is None else self.router.last_record(cu.mcuId, cu.cuId)
        if chunk is None:
            return None, None
        values = CU_MESSAGE.unpack_from(chunk)
        echo = {CU_MESSAGE_FIELDS[i]: values[i] for i in _ECHO_INDEX}
        cached = self._expected.get(rank)
        if cached is None or cached[0] is not config:
            cached = self._expected[rank] = (config, expected_echo(config))
        matches = tuple(values[i] for i in _VERIFIED_INDEX) == cached[1]
        echo["biasI"] = config.biasI if matches else echoed_bias_current(echo["biasV"],
                                                                         config.as_dict())
        return echo, matches
