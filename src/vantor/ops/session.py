"""A host (with the simulator, or facing hardware) for the length of one
operator command, and saving what a command produced."""
import contextlib
import time

from vantor.system import NoTraffic, System
from vantor.wire import STEP_S
from . import files, plots
from .channels import OpsError


@contextlib.asynccontextmanager
async def running_host(settings, *, wait=5.0, first_window=False, **options):
    """The host (with the simulator unless `hardware` is given; see System)
    for the length of one command, yielded once records flow (OpsError after
    `wait` seconds without any).  With `first_window`, once the units' first
    windows are in as well: a host that starts mid-window sees only part of
    it, and a recording should not begin with a window that reads low."""
    async with System(settings, **options) as system:
        try:
            await system.wait_for_traffic(wait)
        except NoTraffic as exc:
            raise OpsError(str(exc)) from None
        if first_window:
            await system.host.wait_for_windows(settings.buffSize * STEP_S + 1.0)
        yield system.host


def default_name(kind):
    return time.strftime(f"{kind}-%Y%m%d-%H%M%S.h5")


def check_outputs(out, plot, force=False):
    """Refuse unusable file names, existing files (unless `force`), and formats
    whose library is missing, before any work is done."""
    if files.format_of(out) == "hdf5":
        files.h5py_module()
    files.check_writable(out, force)
    if plot is not None:
        if not str(plot).lower().endswith(".png"):
            raise OpsError(f"{plot}: the plot is written as PNG; name it *.png")
        plots.figure_class()
        files.check_writable(plot, force)


def save(run, out, plot, force=False):
    """Data file first, then the plot; returns the paths written."""
    written = [files.write(run, out, force=force)]
    if plot is not None:
        written.append(plots.plot(run, plot, force=force))
    return written
