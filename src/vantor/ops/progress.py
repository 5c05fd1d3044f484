"""A one-line progress bar: redrawn in place on a terminal, a line per tenth
of the way on a pipe (so logs stay short), nothing at all when quiet."""
import sys
import time


class Progress:
    def __init__(self, label, total=1, *, out=None, quiet=False, width=30):
        self.label, self.total = label, max(total, 1e-9)
        self.out = out or sys.stderr
        self.quiet = quiet
        self.width = width
        self.tty = hasattr(self.out, "isatty") and self.out.isatty()
        self.started = time.monotonic()
        self.done = 0
        self._tenth = -1
        self._shown = False

    def line(self, note=""):
        frac = min(self.done / self.total, 1.0)
        filled = int(round(frac * self.width))
        bar = "#" * filled + "." * (self.width - filled)
        elapsed = time.monotonic() - self.started
        text = f"{self.label} [{bar}] {frac * 100:5.1f}%  {elapsed:6.1f} s"
        return f"{text}  {note}" if note else text

    def update(self, done, total=None, note=""):
        """Matches the progress callbacks of run_sweep and run_recording."""
        self.done = done
        if total is not None:
            self.total = max(total, 1e-9)
        if self.quiet:
            return
        if self.tty:
            self.out.write("\r\x1b[K" + self.line(note))
            self.out.flush()
            self._shown = True
            return
        tenth = int(min(done / self.total, 1.0) * 10)
        if tenth > self._tenth:
            self._tenth = tenth
            self.out.write(self.line(note) + "\n")
            self.out.flush()

    def finish(self, note=""):
        if self.quiet:
            return
        if self.tty:
            self.out.write("\r\x1b[K" + self.line(note) + "\n")
        elif note:
            self.out.write(self.line(note) + "\n")
        self.out.flush()
