"""An IV sweep started from the live view (key 's' or `vantor run
--sweep-after`): every unit sweeps with its configured parameters, and the
curves are saved as by `vantor iv` under a default name in the working
directory.  Its progress shows below the table.

A second 's' while it runs is answered, not ignored.  When the run ends
(q, Ctrl-C, --seconds) during a sweep, the sweep is stopped and what
completed is saved; a sweep that is saving is let finish.  `close()` gives
the line to print once the view is gone."""
import asyncio

from . import files, plots
from .channels import OpsError
from .iv import SweepTimeout, run_sweep
from .session import check_outputs, default_name, save
from .show import plot_path_for

KEYS = "keys: s = IV sweep of every unit, saved as iv-DATE-TIME.h5/.png   q = quit"


class LiveSweep:
    def __init__(self, host, notes, keys=True):
        self.host = host
        self.notes = notes        # the view's note lines; line 0 is ours
        self.task = None
        self.stop = None
        self.progress = ""
        self.outcome = None       # the last sweep's final line
        self.failed = False       # the last sweep failed or is incomplete
        if keys:
            self._say(KEYS)
        # Loaded now: importing them when the key is pressed stalls the loop
        # for a moment, just as the units are told to sweep.
        try:
            files.h5py_module()
            plots.figure_class()
        except OpsError as exc:
            self._say(f"keys: q = quit   (no IV sweeps from here: {exc})")

    def _say(self, text):
        if self.notes:
            self.notes[0] = text
        else:
            self.notes.append(text)

    @property
    def running(self):
        return self.task is not None and not self.task.done()

    def start(self):
        if self.running:
            self._say(f"IV sweep already running ({self.progress or 'starting'}); wait for it, "
                      "or q ends it and saves what completed")
            return
        self.stop = asyncio.Event()
        self.task = asyncio.get_running_loop().create_task(self._sweep())

    def _progress(self, done, total, note):
        self.progress = note
        self._say(f"IV sweep: {note}")

    async def _sweep(self):
        out = default_name("iv")
        plot = plot_path_for(out)
        ranks = [cu.rank for cu in self.host.settings.units()]
        self.failed = False
        try:
            check_outputs(out, plot)
            note = ""
            try:
                run = await run_sweep(self.host, ranks, progress=self._progress, stop=self.stop)
            except SweepTimeout as exc:
                if exc.run is None:
                    raise OpsError(f"{exc} Nothing was saved.") from None
                run, note = exc.run, f"{exc} "
            written = ", ".join(save(run, out, plot))
            if run.incomplete:
                self.failed = True
                names = ", ".join(f"{ch.label} ({ch.problem})" for ch in run.incomplete)
                self._finish(f"IV sweep incomplete: {note}units {names}; saved what completed: "
                             f"{written}")
            else:
                self._finish(f"IV sweep saved: {written}")
        except OpsError as exc:
            self.failed = True
            self._finish(f"IV sweep failed: {exc}")

    def _finish(self, text):
        self.outcome = text
        self._say(text)

    async def close(self):
        """Stop a sweep still running (what completed is saved) and return the
        last sweep's final line, or None when there was no sweep."""
        if self.running:
            self.stop.set()
            await asyncio.gather(self.task, return_exceptions=True)
        return self.outcome
