"""Reading a run back: a printed summary and its plot, from the file alone."""
import os
import shutil
import subprocess

from . import files, plots
from .record import cap_message


def _span(values, scale=1.0, fmt="{:.4g}"):
    values = list(values)
    if not values:
        return "-"
    lo, hi = min(values) * scale, max(values) * scale
    return fmt.format(lo) + " .. " + fmt.format(hi)


def summary(run):
    a = run.attrs
    lines = []
    if run.kind == "iv":
        lines.append(f"IV sweep  {a.get('created', '?')}  {len(run.channels)} channel(s)  "
                     f"settings {a.get('settings_source', '?')}  took {a.get('duration_s', 0):.1f} s")
        if "grid_size" in a:
            lines.append(f"hub grid: {a['grid_size']} bins of {a.get('grid_step', 1e-8):g} A "
                         f"from {a.get('grid_start', 0.0):g} A")
        lines.append(f"{'rank':>5} {'unit':>7} {'points':>6} {'start A':>10} {'stop A':>10} "
                     f"{'step A':>10} {'T':>4} {'bias (uA)':>17} {'counts':>15} {'monitorV (V)':>21}")
        for ch in run.channels:
            c = ch.config
            lines.append(f"{ch.rank:>5} {ch.label:>7} {len(ch):>6} {c.get('biasIStart', 0):>10.3g} "
                         f"{c.get('biasIStop', 0):>10.3g} {c.get('biasIStep', 0):>10.3g} "
                         f"{c.get('biasSweepT', 0):>4} {_span(ch.data['biasI'], 1e6):>17} "
                         f"{_span(ch.data['counts'], fmt='{:.0f}'):>15} "
                         f"{_span(ch.data['monitorV']):>21}")
        return "\n".join(lines)
    window = (a.get("buffSize") or 1) * 0.01
    state = "interrupted" if a.get("interrupted") else ("cut at the cap" if a.get("capped") else "complete")
    lines.append(f"recording  {a.get('created', '?')}  {len(run.channels)} channel(s)  "
                 f"{a.get('recorded_s', 0):.1f} of {a.get('requested_s', 0):g} s ({state})  "
                 f"window {window:g} s  settings {a.get('settings_source', '?')}")
    message = cap_message(run)
    if message:
        lines.append(message)
    lines.append(f"{'rank':>5} {'unit':>7} {'points':>7} {'span s':>8} {'total counts':>13} "
                 f"{'mean counts/s':>14} {'monitorV (V)':>21}")
    for ch in run.channels:
        t, counts = list(ch.data["time"]), list(ch.data["counts"])
        span = (t[-1] - t[0]) if t else 0.0
        total = sum(int(c) for c in counts)
        rate = f"{total / (len(counts) * window):.1f}" if counts else "-"
        lines.append(f"{ch.rank:>5} {ch.label:>7} {len(ch):>7} {span:>8.2f} {total:>13} "
                     f"{rate:>14} {_span(ch.data['monitorV']):>21}")
    return "\n".join(lines)


def plot_path_for(path):
    return os.path.splitext(os.fspath(path))[0] + ".png"


def show(path, *, plot=None, no_plot=False, open_plot=False, out=print):
    """Print the summary of a file and (re)write its plot; returns the plot's path."""
    run = files.read(path)
    out(summary(run))
    if no_plot:
        return None
    target = plot or plot_path_for(path)
    plots.plot(run, target)
    out(f"plot: {target}")
    if open_plot:
        viewer = shutil.which("xdg-open") or shutil.which("open")
        if viewer is None:
            out("no viewer found (xdg-open); open the PNG yourself")
        else:
            subprocess.Popen([viewer, target], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return target
