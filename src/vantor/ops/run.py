"""What one sweep or recording produced, independent of the file format.

A `Run` is what the file writers (`files.write`), the plots (`plots.plot`),
the reader (`files.read`) and the service's job results all exchange:

- `kind`: "iv" or "record".
- `attrs`: scalar facts of the run: "started" (unix seconds of the start),
  "created" (the same in ISO 8601 UTC), "buffSize", the sweep plan, the
  hardware and listening addresses, "settings_source", ...
- `channels`: one `Channel` per unit, in rank order, its columns in `data`:
    iv:     biasI (A, the applied bias of each point), counts (per point),
            monitorV (V)
    record: time (s since attrs["started"]), counts (per window; NaN where the
            unit sent nothing), monitorV (V; NaN likewise), status (STATUS_*),
            received (records of the window that reached the host; a window
            of fewer than buffSize reports scaled counts that read low; NaN
            where the host could not tell)
  A channel that produced nothing usable says why in `problem`.
- `counters`: totals of the data path over the run (records dropped, late,
  duplicated, re-synchronisations, ...), name -> integer.
- `logs`: time series beside the data, name -> `Log`: the boards'
  temperatures and PLL lock ("mcu_0/temp1", "mcu_0/pll", ...).
"""
import datetime
import math
import time
from dataclasses import dataclass, field

from vantor.wire import CU_TIMEOUT, CU_TIMEOUT_POWERED, STEP_S


# Per-channel columns of each kind of run, in file order, with their types.
COLUMNS = {
    "iv": (("biasI", "f8"), ("counts", "u4"), ("monitorV", "f4")),
    "record": (("time", "f8"), ("counts", "f8"), ("monitorV", "f4"), ("status", "u1"),
               ("received", "f8")),
}
UNITS = {"biasI": "A", "counts": "counts", "monitorV": "V", "time": "s", "status": "1",
         "rate": "1/s", "rate_errors": "1/s", "received": "records"}
LONG_NAMES = {"biasI": "bias current", "counts": "counts", "monitorV": "monitor voltage",
              "time": "time since the start", "status": "row status",
              "received": "records of the window that reached the host",
              "rate": "count rate", "rate_errors": "count rate error (Poisson)"}

# Row status of a recording: measured, or why there is no measurement.
STATUS_OK = 0               # a window the unit reported
STATUS_SILENT = CU_TIMEOUT   # the unit's worker reported it silent (no measurement)
STATUS_SILENT_POWERED = CU_TIMEOUT_POWERED  # silent although configured powered
STATUS_MISSING = 255        # no record arrived for this window, no silence reported
MAX_GAP_ROWS = 10 ** 7       # a year of 10 ms windows is 3e9: beyond this the clocks differ
STATUS_NAMES = {STATUS_OK: "ok", STATUS_SILENT: "silent", STATUS_SILENT_POWERED: "silent (powered)",
                STATUS_MISSING: "missing"}


@dataclass
class Channel:
    rank: int
    mcuId: int
    cuId: int
    config: dict                 # the unit's cu_config values during the run
    data: dict                   # column name -> list (or array) of values
    problem: str = ""            # why this channel is incomplete; "" when it is not

    @property
    def label(self):
        return f"{self.mcuId}.{self.cuId}"

    def __len__(self):
        return len(next(iter(self.data.values()), ()))


@dataclass
class Log:
    """A time series beside the data: `time` in seconds since the run's start."""
    time: list
    value: list
    units: str = ""


@dataclass
class Run:
    kind: str                    # "iv" or "record"
    attrs: dict                  # scalar facts of the run (see the module's text)
    channels: list = field(default_factory=list)
    counters: dict = field(default_factory=dict)
    logs: dict = field(default_factory=dict)

    def channel(self, rank):
        for ch in self.channels:
            if ch.rank == rank:
                return ch
        raise KeyError(rank)

    @property
    def incomplete(self):
        """Channels that say why they are incomplete."""
        return [ch for ch in self.channels if ch.problem]


def created(wall):
    """A run's start (time.time()) as written into its files: UTC, to the second."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(wall))


def iso_utc(wall):
    """unix seconds -> ISO 8601 UTC to the microsecond (NeXus start times)."""
    stamp = datetime.datetime.fromtimestamp(wall, datetime.timezone.utc)
    return stamp.isoformat(timespec="microseconds").replace("+00:00", "Z")


def channel_of(settings, rank, data, problem=""):
    cu = settings.units()[rank - 1]
    return Channel(rank, cu.mcuId, cu.cuId, cu.configuration.as_dict(), data, problem)


# -- quantities derived from the columns ----------------------------------------

def point_seconds(run, ch):
    """Length of one IV point (s): biasSweepT steps of the unit's configuration."""
    return (ch.config.get("biasSweepT") or 1) * STEP_S


def window_seconds(run):
    """Length of one recording window (s): buffSize steps."""
    return (run.attrs.get("buffSize") or 1) * STEP_S


def rates(run, ch):
    """(rate, error) per row in counts per second; the error is the Poisson
    one, sqrt(counts) / length.  NaN rows stay NaN."""
    length = point_seconds(run, ch) if run.kind == "iv" else window_seconds(run)
    counts = [float(c) for c in ch.data["counts"]]
    return ([c / length for c in counts],
            [math.sqrt(c) / length if c >= 0 else math.nan for c in counts])


# -- gaps in recordings ----------------------------------------------------------

def mark_gaps(points, window_s, *, first=None, last=None, silences=()):
    """A recording's columns from the hub's points, with one NaN row per window
    in which the unit sent nothing.

    `points`: (time, counts, monitorV, received) with time in seconds since
    the start and received the records the window held (NaN: not known);
    `first`/`last`: the time of the first and last window any recorded unit
    reported (so a unit silent at the start or end shows that as gap rows too);
    `silences`: (time, status) of the silence records the host received for
    this unit, which name why a window is empty (STATUS_SILENT...); other empty
    windows are STATUS_MISSING."""
    cols = {"time": [], "counts": [], "monitorV": [], "status": [], "received": []}

    def add(t, c, m, s, n):
        cols["time"].append(t)
        cols["counts"].append(c)
        cols["monitorV"].append(m)
        cols["status"].append(s)
        cols["received"].append(n)

    def fill(after, before):
        # The windows strictly between two reported ones, on the same grid.  A
        # silence report within the gap names its cause for all of them.
        reported = {status for when, status in silences if after <= when <= before}
        status = (STATUS_SILENT_POWERED if STATUS_SILENT_POWERED in reported else
                  STATUS_SILENT if reported else STATUS_MISSING)
        n = round((before - after) / window_s) - 1
        if n > MAX_GAP_ROWS:
            raise ValueError(f"a gap of {n} windows of {window_s:g} s: the times are not on "
                             f"one clock")
        for k in range(1, n + 1):
            add(after + k * window_s, math.nan, math.nan, status, 0.0)

    points = sorted(points)
    previous = None
    if points and first is not None and first < points[0][0] - window_s / 2:
        previous = first - window_s
    for t, c, m, n in points:
        if previous is not None:
            fill(previous, t)
        add(t, float(c), m, STATUS_OK, float(n))
        previous = t
    if last is not None:
        if previous is None and first is not None:
            previous = first - window_s
        if previous is not None and last > previous + window_s / 2:
            fill(previous, last + window_s)
    return cols


def short_windows(run, ch):
    """Rows of a recording measured from fewer records than a window holds:
    their counts were scaled up by a whole number and read low."""
    size = run.attrs.get("buffSize") or 0
    received = ch.data.get("received", ())
    return [k for k, (s, n) in enumerate(zip(ch.data.get("status", ()), received))
            if s == STATUS_OK and n == n and n < size]


def gaps(ch):
    """[(first time, last time, rows, status)] of each run of NaN rows."""
    found = []
    times, status = list(ch.data.get("time", ())), list(ch.data.get("status", ()))
    k = 0
    while k < len(status):
        if status[k] == STATUS_OK:
            k += 1
            continue
        j = k
        while j + 1 < len(status) and status[j + 1] != STATUS_OK:
            j += 1
        kinds = {status[i] for i in range(k, j + 1)}
        worst = STATUS_SILENT_POWERED if STATUS_SILENT_POWERED in kinds else \
            STATUS_SILENT if STATUS_SILENT in kinds else STATUS_MISSING
        found.append((times[k], times[j], j - k + 1, worst))
        k = j + 1
    return found
