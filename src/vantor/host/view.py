"""Live terminal view: plain text, redrawn in place with ANSI codes on a terminal,
and single-key commands read from that terminal."""
import asyncio
import os
import shutil
import textwrap
import sys
import termios
import time
import tty

MAX_ROWS = 64          # units listed when the height is not known (pipes, `vantor status`)
WIDTH = 80
PAGE_SECONDS = 4.0     # a page of units stays this long before the next one shows
STALE_WINDOWS = 3      # a value older than this many windows is marked as stale


def _fmt(value, pattern, empty="-"):
    return empty if value is None else format(value, pattern)


def _age(seconds):
    if seconds is None:
        return "-"
    if seconds < 60:
        return f"{seconds:.1f}s" if seconds < 10 else f"{seconds:.0f}s"
    return f"{seconds / 60:.0f}m" if seconds < 3600 else f"{seconds / 3600:.0f}h"


def _unit_row(u):
    rate = _fmt(u["rate"], "10.1f")
    window_s = (u.get("intSize") or 0) * 0.01
    if u["age"] is not None and window_s and u["age"] > STALE_WINDOWS * window_s + 1.0:
        rate = "~" + rate.strip()       # not refreshed for a while: an old value
    return (f"{u['rank']:>5} {u['name']:>7} {u['status']:>7} {rate:>10} "
            f"{_fmt(u['monitorV'], '9.5f'):>9} {u['updates']:>7} {u['alarms']:>7} "
            f"{_age(u['age']):>6}")


def _board_lines(boards, room):
    """A line per board when they fit, else one summary and the boards in trouble."""
    def line(m):
        pll = {None: "-", True: "locked"}.get(m["pll"], "UNLOCKED")
        return (f"mcu {m['mcuId']:>3}  temp1 {_fmt(m['temp1'], '6.2f')}  temp2 "
                f"{_fmt(m['temp2'], '6.3f')}  PLL {pll:<8} status {m['status']}  "
                f"heard {_age(m['age'])} ago")
    if len(boards) <= room:
        return [line(m) for m in boards]
    trouble = [m for m in boards if m["pll"] is False or m["status"]]
    locked = sum(1 for m in boards if m["pll"])
    temps = [m["temp1"] for m in boards if m["temp1"] is not None]
    span = f"temp1 {min(temps):.2f} to {max(temps):.2f}" if temps else "no temperatures yet"
    head = f"{len(boards)} boards: PLL locked {locked}, {span}"
    return [head] + [line(m) for m in trouble[:max(0, room - 1)]]


def render(snap, title="", *, height=None, page=0, width=None):
    """A frame of the view from a host snapshot (see Host.snapshot).  With
    `height` and `width` (a terminal) long lines are wrapped or cut to the
    width, and the units are shown a page at a time (page `page`, wrapping)
    so the frame fits that many lines."""
    t = snap["totals"]
    rates = t["rates"]
    footer = [f"records in {rates['records_in']:7.0f}/s   stream records out "
              f"{rates['stream_out']:6.0f}/s   datagrams {rates['datagrams']:6.0f}/s",
              f"datagrams dropped {t['dropped']}  late {t['late']}  duplicated "
              f"{t['duplicated']}  malformed {t['malformed']}  sync failures {t['sync_failed']}",
              f"updates sent {t['updates_sent']}   IV results {t['iv_results']}   errors "
              f"{t['errors']}"]
    footer.extend(intake_lines(t))
    footer.extend(worker_lines(snap.get("workers") or {}))
    if t["iv_range"] is not None:
        start, stop, steps = t["iv_range"]
        footer.append(f"IV range {start:.3g} A to {stop:.3g} A in {steps} bins")
    if t["last_error"]:
        footer.append(f"last error: {t['last_error']}")
    if width:
        footer = [part for line in footer for part in textwrap.wrap(line, width) or [""]]
    header = (f"{'rank':>5} {'unit':>7} {'status':>7} {'rate 1/s':>10} {'monitor V':>9} "
              f"{'updates':>7} {'silence':>7} {'age':>6}")
    units = snap["units"]
    if height is None:
        boards = _board_lines(snap["boards"], len(snap["boards"]))
        shown = units[:MAX_ROWS]
        more = [f"      ... {len(units) - MAX_ROWS} more units"] if len(units) > MAX_ROWS else []
        body = [title, header, *map(_unit_row, shown), *more, "", *boards, "", *footer]
    else:
        boards = _board_lines(snap["boards"], 4)
        rows = max(3, height - len(footer) - len(boards) - 5)
        pages = max(1, -(-len(units) // rows))
        first = (page % pages) * rows
        shown = units[first:first + rows]
        where = (f"units {first + 1}-{first + len(shown)} of {len(units)}, page "
                 f"{page % pages + 1}/{pages} (n/p)" if pages > 1 else "")
        body = [title, header, *map(_unit_row, shown),
                where, *boards, "", *footer]
    return "\n".join(line[:width] if width else line for line in body)


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
    """Redraws about twice a second, fitted to the terminal (a page of units at
    a time, turning every few seconds or with n/p); on a pipe it prints every
    unit in a frame every few seconds."""

    def __init__(self, host, title, out=None, period=0.5):
        self.host, self.title = host, title
        self.notes = []           # extra lines below the table (key help, sweep progress)
        self.out = out or sys.stdout
        self.tty = self.out.isatty()
        self.period = period if self.tty else 2.0
        self.started = time.monotonic()
        self.page = 0
        self._turned = time.monotonic()

    def turn(self, step=1):
        """Shows the next (or, with -1, the previous) page of units."""
        self.page += step
        self._turned = time.monotonic()

    def frame(self):
        now = time.monotonic()
        snap = self.host.snapshot()
        title = (f"vantor  {time.strftime('%H:%M:%S')}  up {now - self.started:6.0f} s   "
                 f"{self.title}")
        height = width = None
        if self.tty:
            size = shutil.get_terminal_size((WIDTH, 24))
            height, width = size.lines - len(self.notes), size.columns
            if now - self._turned >= PAGE_SECONDS:
                self.turn()
        text = render(snap, title, height=height, page=self.page, width=width)
        return "\n".join([text, *(n[:width] if width else n for n in self.notes)])

    def draw(self):
        text = self.frame()
        if self.tty:
            self.out.write("\x1b[H\x1b[J" + text)
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
