"""PNG plots of runs, drawn off-screen (Agg): an IV run as counts and monitor
voltage against bias current, a recording as count rate and monitor voltage
over time; one line per channel."""
import os

from .channels import OpsError
from .files import Atomic

WIDTH_IN, HEIGHT_IN, DPI = 10.0, 7.0, 100      # 1000 x 700 pixels
MAX_LEGEND = 16


def figure_class():
    try:
        import matplotlib
    except ImportError:
        raise OpsError("plots need matplotlib: pip install 'vantor[ops]' (or use --no-plot)") from None
    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure
    return Figure


def _figure(title):
    Figure = figure_class()
    fig = Figure(figsize=(WIDTH_IN, HEIGHT_IN), dpi=DPI)
    top, bottom = fig.subplots(2, 1, sharex=True)
    fig.suptitle(title)
    return fig, top, bottom


def _name(ch):
    return f"rank {ch.rank} ({ch.label})"


def _finish(fig, axes, channels, path):
    for ax in axes:
        ax.grid(True, alpha=0.3)
    if 0 < len(channels) <= MAX_LEGEND:
        axes[0].legend(loc="best", fontsize="small")
    fig.tight_layout()
    with Atomic(path) as tmp:
        fig.savefig(tmp, format="png", dpi=DPI)
    return os.fspath(path)


def plot_iv(run, path):
    a = run.attrs
    fig, top, bottom = _figure(f"IV sweep {a.get('created', '')}".strip())
    for ch in run.channels:
        bias = [b * 1e6 for b in ch.data["biasI"]]
        top.plot(bias, list(ch.data["counts"]), marker=".", label=_name(ch))
        bottom.plot(bias, list(ch.data["monitorV"]), marker=".", label=_name(ch))
    top.set_ylabel("counts per point")
    bottom.set_ylabel("monitor voltage (V)")
    bottom.set_xlabel("bias current (µA)")
    return _finish(fig, (top, bottom), run.channels, path)


def plot_record(run, path):
    a = run.attrs
    window_s = (a.get("buffSize") or 1) * 0.01
    fig, top, bottom = _figure(f"recording {a.get('created', '')}, window {window_s:g} s".strip())
    t0 = min((ch.data["time"][0] for ch in run.channels if len(ch)), default=0.0)
    for ch in run.channels:
        t = [x - t0 for x in ch.data["time"]]
        top.plot(t, [c / window_s for c in ch.data["counts"]], label=_name(ch))
        bottom.plot(t, list(ch.data["monitorV"]), label=_name(ch))
    top.set_ylabel("count rate (counts/s)")
    bottom.set_ylabel("monitor voltage (V)")
    bottom.set_xlabel("time since first point (s)")
    return _finish(fig, (top, bottom), run.channels, path)


def plot(run, path):
    return (plot_iv if run.kind == "iv" else plot_record)(run, path)
