"""An IV sweep started from the live view (key 's'): every unit sweeps with its
configured parameters, and the curves are saved as by `vantor iv` under a
default name in the working directory.  Its progress shows below the table."""
import asyncio

from . import files, plots
from .channels import OpsError
from .iv import run_sweep
from .session import check_outputs, default_name, save
from .show import plot_path_for


class LiveSweep:
    def __init__(self, host, notes):
        self.host = host
        self.notes = notes        # the view's note lines; line 0 is ours
        self.task = None
        self._say("keys: s = IV sweep of every unit, saved as iv-DATE-TIME.h5/.png   q = quit")
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

    def start(self):
        if self.task is not None and not self.task.done():
            return
        self.task = asyncio.get_running_loop().create_task(self._sweep())

    async def _sweep(self):
        out = default_name("iv")
        plot = plot_path_for(out)
        ranks = [cu.rank for cu in self.host.settings.units()]
        try:
            check_outputs(out, plot)
            run = await run_sweep(self.host, ranks, progress=lambda done, total, note:
                                  self._say(f"IV sweep: {note}"))
            self._say("IV sweep saved: " + ", ".join(save(run, out, plot)))
        except OpsError as exc:
            self._say(f"IV sweep failed: {exc}")

    async def close(self):
        if self.task is not None:
            self.task.cancel()
            await asyncio.gather(self.task, return_exceptions=True)
