"""A host (with the simulator, or facing hardware) for the length of one
operator command, and saving what a command produced."""
import asyncio
import contextlib
import time

from . import files, plots
from .channels import OpsError


@contextlib.asynccontextmanager
async def running_host(settings, *, hardware=None, listen=None, worker_processes=0,
                       transport="ipc", faults=None, seed=1, wait=5.0):
    """Start the host and, without `hardware`, the simulator; yield the host once
    records flow (OpsError after `wait` seconds without any)."""
    from vantor.host.app import Host, default_listen
    from vantor.sim import Simulator

    host = Host(settings, listen=listen or default_listen(hardware), hardware=hardware, worker_processes=worker_processes,
                transport=transport)
    await host.start()
    sim, task = None, None
    try:
        if hardware is None:
            sim = await Simulator(settings, host.address, seed=seed, faults=faults).start()
            task = asyncio.create_task(sim.run())
        deadline = time.monotonic() + wait
        while host.stats.records_in == 0:
            if time.monotonic() > deadline:
                source = (f"the hardware at {hardware[0]}:{hardware[1]}" if hardware
                          else "the simulator")
                raise OpsError(f"no records from {source} within {wait:g} s")
            await asyncio.sleep(0.02)
        yield host
    finally:
        if sim is not None:
            sim.stop()
            try:
                await task
            except BaseException:
                pass
            sim.close()
        await host.stop()


def default_name(kind):
    return time.strftime(f"{kind}-%Y%m%d-%H%M%S.h5")


def check_outputs(out, plot):
    """Refuse unusable file names, and formats whose library is missing,
    before any work is done."""
    if files.format_of(out) == "hdf5":
        files.h5py_module()
    files.check_writable(out)
    if plot is not None:
        if not str(plot).lower().endswith(".png"):
            raise OpsError(f"{plot}: the plot is written as PNG; name it *.png")
        plots.figure_class()
        files.check_writable(plot)


def save(run, out, plot):
    """Data file first, then the plot; returns the paths written."""
    written = [files.write(run, out)]
    if plot is not None:
        written.append(plots.plot(run, plot))
    return written
