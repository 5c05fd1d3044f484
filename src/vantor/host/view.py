"""Live terminal view: plain text, redrawn in place with ANSI codes on a terminal,
and single-key commands read from that terminal."""
import asyncio
import os
import sys
import termios
import time
import tty

MAX_ROWS = 64


def _fmt(value, pattern, empty="-"):
    return empty if value is None else format(value, pattern)


def render(snap, title=""):
    """A frame of the view from a host snapshot (see Host.snapshot)."""
    lines = [title,
             f"{'rank':>5} {'unit':>7} {'status':>7} {'counts/s':>10} {'monitorV':>10} "
             f"{'updates':>8} {'silence':>8}"]
    units = snap["units"]
    for u in units[:MAX_ROWS]:
        lines.append(f"{u['rank']:>5} {u['name']:>7} {u['status']:>7} "
                     f"{_fmt(u['rate'], '10.1f'):>10} {_fmt(u['monitorV'], '10.5f'):>10} "
                     f"{u['updates']:>8} {u['alarms']:>8}")
    if len(units) > MAX_ROWS:
        lines.append(f"      ... {len(units) - MAX_ROWS} more units")
    lines.append("")
    for m in snap["boards"]:
        pll = {None: "-", True: "locked"}.get(m["pll"], "UNLOCKED")
        lines.append(f"mcu {m['mcuId']:>3}  temp1 {_fmt(m['temp1'], '7.2f')}  temp2 "
                     f"{_fmt(m['temp2'], '7.3f')}  PLL {pll:<8}  status {m['status']}  "
                     f"reports {m['reports']}")
    lines.append("")
    t = snap["totals"]
    rates = t["rates"]
    lines.append(f"records in {rates['records_in']:8.0f}/s   stream records out "
                 f"{rates['stream_out']:6.0f}/s   datagrams {rates['datagrams']:6.0f}/s")
    lines.append(f"datagrams dropped {t['dropped']}  late {t['late']}  duplicated "
                 f"{t['duplicated']}  malformed {t['malformed']}   sync failures "
                 f"{t['sync_failed']}   updates sent {t['updates_sent']}   IV results "
                 f"{t['iv_results']}   errors {t['errors']}")
    lines.extend(intake_lines(t))
    lines.extend(worker_lines(snap.get("workers") or {}))
    if t["iv_range"] is not None:
        start, stop, steps = t["iv_range"]
        lines.append(f"IV range {start:.3g} A to {stop:.3g} A in {steps} bins")
    if t["last_error"]:
        lines.append(f"last error: {t['last_error']}")
    return "\n".join(lines)


def _seen(tally):
    shown = ", ".join(f"{key} ({n})" for key, n in tally["seen"].items())
    return f"{tally['total']}: {shown}" if shown else str(tally["total"])


def intake_lines(t):
    """Traffic the host refused, re-synchronisations and units never heard:
    the reasons a unit may show nothing."""
    lines = []
    refused = t.get("refused")
    if refused:
        parts = [f"{label} {_seen(refused[key])}" for key, label in
                 (("foreign", "from unexpected addresses"), ("unknown_boards", "unknown mcuIds"),
                  ("unknown_units", "unknown units")) if refused[key]["total"]]
        if parts:
            lines.append("refused datagrams " + "; ".join(parts))
    if t.get("resyncs") or t.get("restarts") or t.get("stray"):
        lines.append(f"re-synchronisations {t.get('resyncs', 0)}   sequence restarts "
                     f"{t.get('restarts', 0)}   stray sequences {t.get('stray', 0)}")
    if t.get("unheard"):
        lines.append(f"never heard since start: {', '.join(t['unheard'])}")
    return lines


def worker_lines(w):
    """Worker processes, when there are any: how many run, and what died."""
    if not w.get("processes"):
        return []
    line = (f"worker processes {sum(w['alive'])} of {w['processes']} running   deaths "
            f"{w.get('deaths', 0)}   records lost {w.get('lost', 0)}")
    if w.get("failed"):
        line += f"   given up: {', '.join(str(i) for i in w['failed'])}"
    return [line]


class LiveView:
    """Redraws about twice a second; on a pipe it prints a frame every few seconds."""

    def __init__(self, host, title, out=None, period=0.5):
        self.host, self.title = host, title
        self.notes = []           # extra lines below the table (key help, sweep progress)
        self.out = out or sys.stdout
        self.tty = self.out.isatty()
        self.period = period if self.tty else 2.0
        self.started = time.monotonic()

    def frame(self):
        title = f"vantor  {time.monotonic() - self.started:6.1f} s   {self.title}"
        return "\n".join([render(self.host.snapshot(), title), *self.notes])

    def draw(self):
        text = self.frame()
        if self.tty:
            self.out.write("\x1b[H\x1b[J" + text + "\n")
        else:
            self.out.write(text + "\n\n")
        self.out.flush()

    async def run(self):
        if self.tty:
            self.out.write("\x1b[2J")
        while True:
            await asyncio.sleep(self.period)
            self.draw()


class Keys:
    """Single key presses while the view runs: the terminal goes to cbreak mode
    (no echo, no line buffering) and back on exit.  Does nothing unless both
    standard input and the view's output are terminals, so pipes and tests
    are unaffected.  `actions` maps a key to a callable without arguments."""

    def __init__(self, actions, view_out=None, stdin=None):
        self.actions = actions
        self.stdin = stdin or sys.stdin
        out = view_out or sys.stdout
        self.active = self.stdin.isatty() and out.isatty()
        self._saved = None

    def __enter__(self):
        if self.active:
            fd = self.stdin.fileno()
            self._saved = termios.tcgetattr(fd)
            tty.setcbreak(fd)
            asyncio.get_running_loop().add_reader(fd, self._read)
        return self

    def __exit__(self, *exc):
        if self._saved is not None:
            fd = self.stdin.fileno()
            asyncio.get_running_loop().remove_reader(fd)
            termios.tcsetattr(fd, termios.TCSADRAIN, self._saved)
            self._saved = None
        return False

    def _read(self):
        data = os.read(self.stdin.fileno(), 64)
        if not data:       # the terminal went away: stop watching it
            asyncio.get_running_loop().remove_reader(self.stdin.fileno())
            return
        self.press(data.decode(errors="ignore"))

    def press(self, text):
        for key in text:
            action = self.actions.get(key.lower())
            if action is not None:
                action()
