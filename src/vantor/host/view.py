"""Live terminal view: plain text, redrawn in place with ANSI codes on a terminal,
and single-key commands read from that terminal."""
import asyncio
import os
import sys
import termios
import time
import tty

from .records import CU_IV, CU_TIMEOUT, CU_TIMEOUT_POWERED

MAX_ROWS = 64
_STATUS = {None: "-", 0: "ok", CU_IV: "IV", CU_TIMEOUT: "silent", CU_TIMEOUT_POWERED: "silent"}


def _fmt(value, pattern, empty="-"):
    return empty if value is None else format(value, pattern)


def render(host, rates, title=""):
    stats = host.stats
    now = asyncio.get_running_loop().time() if host.udp else 0.0
    lines = [title,
             f"{'rank':>5} {'unit':>7} {'status':>7} {'counts/s':>10} {'monitorV':>10} "
             f"{'updates':>8} {'silence':>8}"]
    units = list(stats.units.values())
    for u in units[:MAX_ROWS]:
        status = _STATUS.get(u.status, str(u.status))
        if u.last_update and now - u.last_update < 1.0:
            status = "update"
        lines.append(f"{u.rank:>5} {u.label:>7} {status:>7} {_fmt(u.rate, '10.1f'):>10} "
                     f"{_fmt(u.monitorV, '10.5f'):>10} {u.updates:>8} {u.alarms:>8}")
    if len(units) > MAX_ROWS:
        lines.append(f"      ... {len(units) - MAX_ROWS} more units")
    lines.append("")
    for m in stats.mcus.values():
        pll = {None: "-", 1: "locked"}.get(m.pll, "UNLOCKED")
        lines.append(f"mcu {m.mcuId:>3}  temp1 {_fmt(m.temp1, '7.2f')}  temp2 {_fmt(m.temp2, '7.3f')}"
                     f"  PLL {pll:<8}  status {m.status}  reports {m.reports}")
    lines.append("")
    lines.append(f"records in {rates['records_in']:8.0f}/s   stream records out "
                 f"{rates['stream_out']:6.0f}/s   datagrams {rates['datagrams']:6.0f}/s")
    lines.append(f"datagrams dropped {stats.dropped()}  late {stats.late()}  duplicated "
                 f"{stats.duplicates()}  malformed {stats.malformed}   sync failures "
                 f"{stats.sync_failed}   updates sent {stats.updates_sent}   IV results "
                 f"{stats.iv_results}   errors {stats.errors}")
    if stats.iv_range is not None:
        start, stop, steps = stats.iv_range
        lines.append(f"IV range {start:.3g} A to {stop:.3g} A in {steps} bins")
    if stats.last_error:
        lines.append(f"last error: {stats.last_error}")
    return "\n".join(lines)


class LiveView:
    """Redraws about twice a second; on a pipe it prints a frame every few seconds."""

    def __init__(self, host, title, out=None, period=0.5):
        self.host, self.title = host, title
        self.notes = []           # extra lines below the table (key help, sweep progress)
        self.out = out or sys.stdout
        self.tty = self.out.isatty()
        self.period = period if self.tty else 2.0
        self.started = time.monotonic()
        self._last = host.stats.snapshot()
        self.rates = {"records_in": 0.0, "stream_out": 0.0, "datagrams": 0.0}

    def frame(self):
        snap = self.host.stats.snapshot()
        dt = snap["t"] - self._last["t"]
        if dt > 0:
            self.rates = {k: (snap[k] - self._last[k]) / dt for k in self.rates}
        self._last = snap
        title = f"vantor  {time.monotonic() - self.started:6.1f} s   {self.title}"
        return "\n".join([render(self.host, self.rates, title), *self.notes])

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
