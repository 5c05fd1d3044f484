"""PNG plots of runs, drawn off-screen (Agg).

An IV run shows the count rate (counts per second, with Poisson error bars)
and the monitor voltage against the bias current; a recording shows the
count rate and the monitor voltage over UTC clock time, with the windows
that hold no data left empty (and shaded).  Up to OVERLAY_MAX channels share
one pair of axes with a legend; more get one small panel each, named, so
that 32 or more channels stay readable."""
import datetime
import math
import os
import textwrap

from .channels import OpsError
from .files import Atomic, refuse_overwrite
from .run import STATUS_NAMES, gaps, point_seconds, rates, window_seconds

WIDTH_IN, HEIGHT_IN, DPI = 10.0, 7.0, 100      # 1000 x 700 pixels for an overlay
OVERLAY_MAX = 8
PANEL_COLUMNS = 8
PANEL_W_IN, PANEL_H_IN = 2.4, 2.1
RATE_COLOUR, MONITOR_COLOUR, GAP_COLOUR = "tab:blue", "tab:orange", "tab:red"


def figure_class():
    try:
        import matplotlib
    except ImportError:
        raise OpsError("plots need matplotlib: pip install matplotlib (or use --no-plot)") from None
    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure
    return Figure


def _name(ch):
    return f"rank {ch.rank} ({ch.label})"


def _utc(wall, digits=0):
    stamp = datetime.datetime.fromtimestamp(wall, datetime.timezone.utc)
    text = stamp.strftime("%Y-%m-%d %H:%M:%S")
    if digits:
        text += f"{stamp.microsecond / 1e6:.{digits}f}"[1:]
    return text + " UTC"


def _si(value, unit):
    """1.5e-05, 'A' -> '15 µA'."""
    if value == 0:
        return f"0 {unit}"
    for scale, prefix in ((1, ""), (1e-3, "m"), (1e-6, "µ"), (1e-9, "n")):
        if abs(value) >= scale * 0.999:
            return f"{value / scale:.4g} {prefix}{unit}"
    return f"{value:.3g} {unit}"


PNG_KEY = "vantor-run"      # PNG text chunk naming the run a plot was drawn from


def identity(run):
    """What tells one run from another: its kind and start."""
    return f"{run.kind} {run.attrs.get('started')!r} {run.attrs.get('created', '')}"


def drawn_from(path):
    """The identity of the run a vantor PNG shows, or None."""
    try:
        from PIL import Image
        with Image.open(path) as image:
            return image.text.get(PNG_KEY)
    except Exception:           # not a PNG, not ours, unreadable: not this run's plot
        return None


def _save(fig, run, path, force):
    # Drawing a run's plot again over the same run's plot replaces nothing of
    # value; any other existing file is kept unless `force`.
    mine = identity(run)
    force = force or (os.path.isfile(path) and drawn_from(path) == mine)
    refuse_overwrite(path, force)
    with Atomic(path, force) as tmp:
        fig.savefig(tmp, format="png", dpi=DPI,
                    metadata={"Software": "vantor", PNG_KEY: mine})
    return os.fspath(path)


# -- IV ------------------------------------------------------------------------------

def _sweep_text(run):
    """The sweep's parameters: from the plan, else from the channels' settings
    when they agree."""
    a = run.attrs
    keys = ("biasIStart", "biasIStop", "biasIStep", "biasSweepT")
    planned = [a.get(k) for k in ("sweep_start", "sweep_stop", "sweep_step", "sweep_point_steps")]
    configured = {tuple(ch.config.get(k) for k in keys) for ch in run.channels}
    values = [p if p is not None else (next(iter(configured))[i] if len(configured) == 1 else None)
              for i, p in enumerate(planned)]
    start, stop, step, steps = values
    parts = []
    if start is not None and stop is not None:
        parts.append(f"{_si(start, 'A')} to {_si(stop, 'A')}")
    if step is not None:
        parts.append(f"steps of {_si(step, 'A')}")
    if steps is not None:
        parts.append(f"{steps * 0.01:g} s per point")
    return ", ".join(parts) if parts else "sweep settings differ between channels"


def _iv_series(run, ch):
    bias = [b * 1e6 for b in ch.data["biasI"]]
    rate, error = rates(run, ch)
    return bias, rate, error, list(ch.data["monitorV"])


def _point_lengths(run):
    lengths = sorted({point_seconds(run, ch) for ch in run.channels})
    return ", ".join(f"{x:g}" for x in lengths) + " s"


def plot_iv(run, path, force=False):
    title = (f"IV sweep {_utc(run.attrs['started']) if 'started' in run.attrs else ''}\n"
             f"{_sweep_text(run)}")
    rate_label = f"count rate (1/s)\npoints of {_point_lengths(run)}, Poisson errors"
    if len(run.channels) <= OVERLAY_MAX:
        fig, top, bottom = _overlay(title)
        colours = _colours(len(run.channels))
        for ch, colour in zip(run.channels, colours):
            bias, rate, error, mon = _iv_series(run, ch)
            label = _name(ch) + (f": {ch.problem}" if ch.problem else "")
            top.errorbar(bias, rate, yerr=error, marker=".", ms=4, capsize=2, lw=1,
                         color=colour, label=label)
            bottom.plot(bias, mon, marker=".", ms=4, lw=1, color=colour, label=label)
        top.set_ylabel(rate_label)
        bottom.set_ylabel("monitor voltage (V)")
        bottom.set_xlabel("bias current (µA)")
        return _finish_overlay(fig, top, bottom, run, path, force)

    def draw(ax, twin, ch):
        bias, rate, error, mon = _iv_series(run, ch)
        ax.errorbar(bias, rate, yerr=error, marker=".", ms=2, capsize=1, lw=0.8, color=RATE_COLOUR)
        twin.plot(bias, mon, lw=0.8, color=MONITOR_COLOUR)

    return _panels(run, path, force, title, draw, "bias current (µA)",
                   f"count rate (1/s), points of {_point_lengths(run)}, Poisson errors",
                   "monitor voltage (V)")


# -- recordings ----------------------------------------------------------------------

def _clock(run, ch):
    """The rows' times as UTC datetimes (the file holds seconds since the start)."""
    import matplotlib.dates as mdates
    started = run.attrs.get("started", 0.0)
    return [mdates.date2num(datetime.datetime.fromtimestamp(started + float(t), datetime.timezone.utc))
            for t in ch.data["time"]]


def _record_series(run, ch):
    rate, _ = rates(run, ch)
    return _clock(run, ch), rate, [float(v) for v in ch.data["monitorV"]]


def _shade_gaps(ax, run, ch, colour=GAP_COLOUR):
    import matplotlib.dates as mdates
    started, window = run.attrs.get("started", 0.0), window_seconds(run)
    spans = []
    for first, last, _, status in gaps(ch):
        # a row's time is the end of its window: the gap begins one window earlier
        lo = datetime.datetime.fromtimestamp(started + float(first) - window, datetime.timezone.utc)
        hi = datetime.datetime.fromtimestamp(started + float(last), datetime.timezone.utc)
        ax.axvspan(mdates.date2num(lo), mdates.date2num(hi), color=colour, alpha=0.12, lw=0)
        spans.append(status)
    return spans


def _time_axis(ax, most=8):
    """Clock time on every tick (HH:MM:SS, with tenths or hundredths when the
    ticks are closer than a second), the date being in the title."""
    import matplotlib.dates as mdates
    from matplotlib.ticker import FuncFormatter
    locator = mdates.AutoDateLocator(tz=datetime.timezone.utc, minticks=3, maxticks=most)
    ax.xaxis.set_major_locator(locator)

    def clock(x, _pos=None):
        ticks = locator()
        spacing = (ticks[1] - ticks[0]) * 86400 if len(ticks) > 1 else 1.0
        stamp = mdates.num2date(x, tz=datetime.timezone.utc)
        text = stamp.strftime("%H:%M:%S")
        digits = 0 if spacing >= 0.999 else 1 if spacing >= 0.0999 else 2
        return text + (f"{stamp.microsecond / 1e6:.{digits}f}"[1:] if digits else "")

    ax.xaxis.set_major_formatter(FuncFormatter(clock))


def plot_record(run, path, force=False):
    a = run.attrs
    window = window_seconds(run)
    start = _utc(a["started"], 2) if "started" in a else "?"
    title = f"recording started {start}, {a.get('recorded_s', 0):.1f} s, windows of {window:g} s"
    rate_label = f"count rate (1/s)\nwindows of {window:g} s"
    if len(run.channels) <= OVERLAY_MAX:
        fig, top, bottom = _overlay(title)
        found = set()
        for ch, colour in zip(run.channels, _colours(len(run.channels))):
            t, rate, mon = _record_series(run, ch)
            label = _name(ch) + (f": {ch.problem}" if ch.problem else "")
            top.plot(t, rate, marker=".", ms=4, lw=1, color=colour, label=label)
            bottom.plot(t, mon, marker=".", ms=4, lw=1, color=colour, label=label)
            for ax in (top, bottom):
                found.update(_shade_gaps(ax, run, ch, colour))
        top.set_ylabel(rate_label)
        bottom.set_ylabel("monitor voltage (V)")
        bottom.set_xlabel("time (UTC)")
        _time_axis(bottom)
        if found:
            top.set_title("shaded: no data (" + ", ".join(sorted(STATUS_NAMES[s] for s in found))
                          + ")", fontsize="small")
        return _finish_overlay(fig, top, bottom, run, path, force)

    def draw(ax, twin, ch):
        t, rate, mon = _record_series(run, ch)
        ax.plot(t, rate, marker=".", ms=2.5, lw=0.8, color=RATE_COLOUR)
        twin.plot(t, mon, lw=0.8, color=MONITOR_COLOUR)
        _shade_gaps(ax, run, ch)
        _time_axis(ax, most=4)

    return _panels(run, path, force, title + "; shaded: no data", draw, "time (UTC)",
                   f"count rate (1/s), windows of {window:g} s", "monitor voltage (V)")


# -- layouts ---------------------------------------------------------------------------

def _colours(n):
    import matplotlib
    cmap = matplotlib.colormaps["tab10"]
    return [cmap(k % 10) for k in range(n)]


def _overlay(title):
    Figure = figure_class()
    fig = Figure(figsize=(WIDTH_IN, HEIGHT_IN), dpi=DPI)
    top, bottom = fig.subplots(2, 1, sharex=True)
    fig.suptitle(title)
    return fig, top, bottom


def _finish_overlay(fig, top, bottom, run, path, force):
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
    if run.channels:
        top.legend(loc="best", fontsize="small")
    fig.tight_layout()
    return _save(fig, run, path, force)


def _panels(run, path, force, title, draw, xlabel, left, right):
    """One small panel per channel: rate on the left axis (blue), monitor
    voltage on the right (orange), the channel's name above it."""
    Figure = figure_class()
    from matplotlib.ticker import MaxNLocator, ScalarFormatter
    n = len(run.channels)
    cols = min(PANEL_COLUMNS, n)
    rows = math.ceil(n / cols)
    fig = Figure(figsize=(cols * PANEL_W_IN, rows * PANEL_H_IN + 1.2), dpi=DPI)
    axes = fig.subplots(rows, cols, sharex=True, squeeze=False)
    for k, ax in enumerate(axes.flat):
        if k >= n:
            ax.set_visible(False)
            continue
        ch = run.channels[k]
        if k + cols >= n:                   # nothing below it: it shows the x values
            ax.xaxis.set_tick_params(labelbottom=True)
        ax.set_title(_name(ch), fontsize=8, color=GAP_COLOUR if ch.problem else "black")
        if ch.problem and not len(ch):
            ax.text(0.5, 0.5, textwrap.fill(ch.problem, 24), ha="center", va="center",
                    fontsize=7, color=GAP_COLOUR, transform=ax.transAxes)
            ax.set_yticks([])
            continue
        twin = ax.twinx()
        draw(ax, twin, ch)
        ax.tick_params(labelsize=6)
        twin.tick_params(labelsize=6, colors=MONITOR_COLOUR)
        for axis in (ax.yaxis, twin.yaxis):
            # few, short labels: an offset or ten digits would not fit a panel
            axis.set_major_locator(MaxNLocator(4))
            axis.set_major_formatter(ScalarFormatter(useOffset=False))
        ax.tick_params(axis="y", colors=RATE_COLOUR)
        ax.grid(True, alpha=0.3)
    fig.suptitle(title)
    fig.supxlabel(xlabel, fontsize=9)
    fig.text(0.003, 0.5, left, color=RATE_COLOUR, rotation=90, va="center", fontsize=9)
    fig.text(0.997, 0.5, right, color=MONITOR_COLOUR, rotation=90, va="center", ha="right",
             fontsize=9)
    fig.tight_layout(rect=(0.012, 0, 0.988, 1))
    return _save(fig, run, path, force)


def plot(run, path, *, force=False):
    """Write the run's plot as PNG to `path` (refusing an existing file unless
    `force`); returns the path."""
    return (plot_iv if run.kind == "iv" else plot_record)(run, path, force)
