"""Reading a run back: a printed summary and its plot, from the file alone."""
import math
import os
import shutil
import subprocess

from . import files, plots
from .channels import OpsError
from .run import STATUS_NAMES, gaps, short_windows, window_seconds


def _span(values, scale=1.0, fmt="{:.4g}"):
    values = [float(v) for v in values if not math.isnan(float(v))]
    if not values:
        return "-"
    lo, hi = min(values) * scale, max(values) * scale
    return fmt.format(lo) + " .. " + fmt.format(hi)


def _counters(run):
    if not run.counters:
        return []
    return ["data path over the run: " + ", ".join(f"{k} {v}" for k, v in run.counters.items())]


def _problems(run):
    return [f"rank {ch.rank} ({ch.label}): {ch.problem}" for ch in run.incomplete]


def _iv_summary(run):
    a = run.attrs
    state = (f"incomplete: {len(run.incomplete)} of {len(run.channels)} channel(s)"
             if run.incomplete else "complete")
    lines = [f"IV sweep  {a.get('created', '?')}  {len(run.channels)} channel(s) ({state})  "
             f"settings {a.get('settings_source', '?')}  took {a.get('duration_s', 0):.1f} s"]
    if "grid_size" in a:
        lines.append(f"hub grid: {a['grid_size']} bins of {a.get('grid_step', 1e-8):g} A "
                     f"from {a.get('grid_start', 0.0):g} A")
    lines += _problems(run) + _counters(run)
    lines.append(f"{'rank':>5} {'unit':>7} {'points':>6} {'start A':>10} {'stop A':>10} "
                 f"{'step A':>10} {'T':>4} {'bias (uA)':>17} {'counts':>15} {'monitorV (V)':>21}")
    for ch in run.channels:
        c = ch.config
        lines.append(f"{ch.rank:>5} {ch.label:>7} {len(ch):>6} {c.get('biasIStart', 0):>10.3g} "
                     f"{c.get('biasIStop', 0):>10.3g} {c.get('biasIStep', 0):>10.3g} "
                     f"{c.get('biasSweepT', 0):>4} {_span(ch.data['biasI'], 1e6):>17} "
                     f"{_span(ch.data['counts'], fmt='{:.0f}'):>15} "
                     f"{_span(ch.data['monitorV']):>21}")
    return lines


def _gap_lines(run):
    lines = []
    for ch in run.channels:
        for first, last, rows, status in gaps(ch):
            start = float(first) - window_seconds(run)
            lines.append(f"rank {ch.rank} ({ch.label}): no data from {start:.2f} to "
                         f"{float(last):.2f} s ({rows} window{'s' if rows != 1 else ''}, "
                         f"{STATUS_NAMES.get(status, status)})")
    return lines


def _short_lines(run):
    lines = []
    for ch in run.channels:
        short = short_windows(run, ch)
        if short:
            lines.append(f"rank {ch.rank} ({ch.label}): {len(short)} window"
                         f"{'s' if len(short) != 1 else ''} missed records (counts read low)")
    return lines


def _record_summary(run):
    from .record import cap_message
    a = run.attrs
    window = window_seconds(run)
    gap_lines = _gap_lines(run)
    short_lines = _short_lines(run)
    holed = len({line.split(":")[0] for line in gap_lines})
    state = ("interrupted" if a.get("interrupted") else "cut at the cap" if a.get("capped")
             else f"gaps in {holed} channel{'s' if holed != 1 else ''}" if holed
             else "records missed" if short_lines else "complete")
    lines = [f"recording  {a.get('created', '?')}  {len(run.channels)} channel(s)  "
             f"{a.get('recorded_s', 0):.1f} of {a.get('requested_s', 0):g} s ({state})  "
             f"window {window:g} s  settings {a.get('settings_source', '?')}"]
    message = cap_message(run)
    if message:
        lines.append(message)
    lines += _problems(run) + _counters(run) + gap_lines + short_lines
    lines.append(f"{'rank':>5} {'unit':>7} {'points':>7} {'no data':>7} {'span s':>8} "
                 f"{'total counts':>13} {'mean counts/s':>14} {'monitorV (V)':>21}")
    for ch in run.channels:
        t = [float(x) for x in ch.data["time"]]
        counts = [float(c) for c in ch.data["counts"]]
        measured = [c for c in counts if not math.isnan(c)]
        span = (t[-1] - t[0]) if t else 0.0
        total = int(sum(measured))
        rate = f"{total / (len(measured) * window):.1f}" if measured else "-"
        lines.append(f"{ch.rank:>5} {ch.label:>7} {len(measured):>7} "
                     f"{len(counts) - len(measured):>7} {span:>8.2f} {total:>13} "
                     f"{rate:>14} {_span(ch.data['monitorV']):>21}")
    return lines


def summary(run):
    return "\n".join(_iv_summary(run) if run.kind == "iv" else _record_summary(run))


def plot_path_for(path):
    return os.path.splitext(os.fspath(path))[0] + ".png"


def show(path, *, plot=None, no_plot=False, open_plot=False, force=False, out=print):
    """Print the summary of a file and draw its plot; returns the plot's path.
    The plot replaces an existing file only when that is this run's own plot,
    or with `force`."""
    if open_plot and no_plot:
        raise OpsError("--open needs a plot; leave out --no-plot")
    if plot is not None and not str(plot).lower().endswith(".png"):
        raise OpsError(f"{plot}: the plot is written as PNG; name it *.png")
    run = files.read(path)
    out(summary(run))
    if no_plot:
        return None
    target = plot or plot_path_for(path)
    plots.plot(run, target, force=force)
    out(f"plot: {target}")
    if open_plot:
        viewer = shutil.which("xdg-open") or shutil.which("open")
        if viewer is None:
            out("no viewer found (xdg-open); open the PNG yourself")
        else:
            subprocess.Popen([viewer, target], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return target
