"""A tune's result for people: the table of every unit, the array's yield as
a map by board and unit, and the curves with switching, plateau onset and
the chosen bias marked (PNG)."""
import math

YIELD_MARKS = {"ok": "o", "dead": "D", "latched": "L", "no plateau": "P",
               "no switching": "S", "noisy": "N"}


def _ua(value):
    return "-" if value is None else f"{value * 1e6:.2f}"


def table(rows, names):
    """The result as text lines: one unit a line, the reason last."""
    out = [f"{'rank':>4} {'unit':>6} {'status':<12} {'switch uA':>9} {'onset uA':>8} "
           f"{'plateau/s':>9} {'bias uA':>8}  reason"]
    for rank in sorted(rows):
        r = rows[rank]
        plateau = "-" if r["plateau_rate"] is None else f"{r['plateau_rate']:.0f}"
        out.append(f"{rank:>4} {names[rank]:>6} {r['status']:<12} {_ua(r['switching_current']):>9} "
                   f"{_ua(r['plateau_onset']):>8} {plateau:>9} {_ua(r['proposed_bias']):>8}  "
                   f"{r['reason']}")
    return out


def yield_status(row, unit_status):
    """A unit's word in the yield map: latched (from the host's watch) first."""
    return "latched" if unit_status == "latched" else row["status"]


def yield_map(rows, units):
    """Text lines: one row per board, one mark per unit in cuId order, and the
    counts per status.  `units`: the service's unit list (status, mcuId, cuId)."""
    boards = {}
    counts = dict.fromkeys(YIELD_MARKS, 0)
    for u in units:
        row = rows.get(u["rank"])
        word = yield_status(row, u.get("status")) if row is not None else None
        if word is not None:
            counts[word] += 1
        boards.setdefault(u["mcuId"], {})[u["cuId"]] = YIELD_MARKS.get(word, ".")
    width = max(max(b) for b in boards.values()) + 1
    out = ["board  " + "".join(str(c % 10) for c in range(width))]
    for mcu in sorted(boards):
        out.append(f"{mcu:>5}  " + "".join(boards[mcu].get(c, " ") for c in range(width)))
    total = sum(counts.values())
    out.append("  ".join(f"{YIELD_MARKS[w]} {w} {n}" for w, n in counts.items())
               + (f"   yield {counts['ok'] / total:.0%} of {total}" if total else ""))
    out.append(". not tuned")
    return out


def plot(curves, rows, names, path, title):
    """PNG of each unit's count rate against bias, switching (red), plateau
    onset (green) and the proposed bias (black) marked; one panel per unit."""
    from vantor.ops.files import Atomic
    from vantor.ops.plots import figure_class

    ranks = sorted(curves)
    cols = min(8, len(ranks)) or 1
    lines = math.ceil(len(ranks) / cols) or 1
    fig = figure_class()(figsize=(2.4 * cols, 2.1 * lines + 0.6), dpi=100)
    fig.suptitle(title, fontsize=10)
    for i, rank in enumerate(ranks):
        ax = fig.add_subplot(lines, cols, i + 1)
        bias, counts, monitor, point_s = curves[rank][:4]
        ua = [b * 1e6 for b in bias]
        ax.plot(ua, [c / point_s for c in counts] if point_s else counts, ".-", ms=2, lw=0.8)
        r = rows[rank]
        for key, colour in (("switching_current", "tab:red"), ("plateau_onset", "tab:green"),
                            ("proposed_bias", "black")):
            if r.get(key) is not None:
                ax.axvline(r[key] * 1e6, color=colour, lw=1, ls="--" if key != "proposed_bias"
                           else "-")
        ax.set_title(f"{rank} ({names[rank]}) {r['status']}", fontsize=7)
        ax.tick_params(labelsize=6)
        if i % cols == 0:
            ax.set_ylabel("counts/s", fontsize=7)
        if i >= len(ranks) - cols:
            ax.set_xlabel("bias uA", fontsize=7)
    fig.text(0.01, 0.005, "red: switching   green: plateau onset   black: proposed bias",
             fontsize=7)
    fig.tight_layout(rect=(0, 0.02, 1, 0.97))
    with Atomic(path, force=True) as tmp:
        fig.savefig(tmp, format="png")
    return path
