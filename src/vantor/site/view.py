"""`vantor status --server SITE`: each node's state, then the units of every
node as plain text (the site has no single host's totals to show)."""
import time

from vantor.host.view import _fmt

MAX_UNITS = 64          # units listed; the rest are counted


def _seconds(value):
    return "-" if value is None else f"{value:.1f} s"


def _node_line(n):
    beat = n.get("heartbeat_age")
    return (f"{n['node']:<16} {n['state']:<8} {n.get('units') or 0:>6} units  heartbeat "
            f"{'never' if beat is None else _seconds(beat) + ' ago'}  buffered "
            f"{n.get('buffered') or 0}  dropped {n.get('dropped') or 0}  alarms "
            f"{n.get('alarms') or 0}  archive lag {_seconds(n.get('archive_lag_s'))}")


def _unit_line(u, now):
    seen = u.get("window_time") or u.get("last_seen")
    age = None if seen is None else max(0.0, now - seen)
    return (f"{u['unit']:<22} {u['name']:<22} {u.get('status') or '-':>7} "
            f"{_fmt(u.get('rate'), '10.1f'):>10} {_fmt(u.get('monitorV'), '9.5f'):>9} "
            f"{_fmt(age, '6.1f'):>6}")


def render_site(snap, title=""):
    now = snap.get("time") or time.time()
    nodes, units = snap["nodes"], snap["units"]
    lines = [title] if title else []
    lines.append(f"{len(nodes)} nodes, {len(units)} units, "
                 f"{sum(n['state'] == 'lost' for n in nodes)} lost, "
                 f"{snap.get('alarms', 0)} alarms")
    lines += [_node_line(n) for n in nodes]
    lines.append("")
    lines.append(f"{'unit':<22} {'name':<22} {'status':>7} {'rate 1/s':>10} "
                 f"{'monitor V':>9} {'age s':>6}")
    lines += [_unit_line(u, now) for u in units[:MAX_UNITS]]
    if len(units) > MAX_UNITS:
        lines.append(f"... and {len(units) - MAX_UNITS} more units (--json lists them all)")
    return "\n".join(lines)
