"""One IV sweep through the running host: the sweep parameters and cuStatus 2
go into the chosen units' cu_config records (under their locks); the workers
send the updates, follow the sweeps and publish points; the hub assembles the
curves and hands them out through streamIvData, which ends the wait.

Whatever ends the sweep early (a time-out, a stop request, cancellation),
every chosen unit gets its earlier sweep parameters back and is asked to end
the sweep.  What the sweep produced is a `SweepOutcome`; turning it into a
run with files is the operator commands' job (vantor.ops.iv)."""
import asyncio
import time
from dataclasses import dataclass, field

from vantor.wire import CU_END_IV, CU_IV, CU_NORMAL, SWEEP_FIELDS


@dataclass
class SweepOutcome:
    ended: str                   # "done", "timeout" or "stopped"
    result: dict = None          # grid, counts/monitorV per rank, timestamp_started; None: no curve
    seen: dict = field(default_factory=dict)      # rank -> sweep points the host saw
    status: dict = field(default_factory=dict)    # rank -> cuStatus when the sweep ended
    elapsed: float = 0.0


def _snapshot(data, ranks):
    """Copy what we need now: the hub rewrites its cached result's start time
    when the next sweep begins."""
    counts, monitor = data["counts"], data["monitorV"]
    return {
        "grid": list(counts["biasI"]),
        "counts": {r: list(counts[r]) for r in ranks},
        "monitorV": {r: list(monitor[r]) for r in ranks},
        "timestamp_started": data.get("timestamp_started"),
    }


async def run_sweep(control, ranks, changes, planned, *, timeout, progress=None, stop=None,
                    poll=0.05):
    """Sweep `ranks` with the sweep fields `changes` (the rest as configured);
    `planned` is rank -> points each unit makes.  `progress(done, total,
    note)` is called every `poll` seconds while the units sweep."""
    path, model = control.path, control.model
    total = sum(planned.values())
    before = {r: control.units[r - 1].configuration for r in ranks}
    base = {r: int(model.iv_points[r]) for r in ranks}
    results_before = model.iv_results

    def seen(r):
        return int(model.iv_points[r]) - base[r]

    def through():
        # Units learn from the hub's batches, which lag its IV result by up
        # to one batch; the result itself says no sweep runs any more, and a
        # point seen from every chosen unit says each of them took part.
        return (model.iv_results > results_before and not model.last_iv.get("running")
                and all(seen(r) > 0 for r in ranks))

    def outcome(ended, result):
        return SweepOutcome(ended, result, {r: seen(r) for r in ranks},
                            {r: model.cu_status(r) for r in ranks}, time.monotonic() - started)

    hub = path.hub
    started = time.monotonic()
    try:
        for r in ranks:
            control.set_config(r, cuStatus=CU_IV, **changes)
        while not through():
            if path.hub is not hub:
                raise RuntimeError("the host stopped during the IV sweep")
            if progress is not None:
                got = sum(min(seen(r), planned[r]) for r in ranks)
                progress(got, total, f"{got}/{total} points")
            stopped = stop is not None and stop.is_set()
            if stopped or time.monotonic() - started > timeout:
                ended = outcome("stopped" if stopped else "timeout",
                                _partial(path, model, ranks, seen, results_before))
                await _restore(control, ranks, before)
                return ended
            await asyncio.sleep(poll)
        result = _snapshot(model.last_iv, ranks)
    except BaseException:
        if path.block is not None:
            await _restore(control, ranks, before)
        raise
    # The worker wrote CU_NORMAL into the shared record when the sweep ended;
    # the settings object still says 2.
    for r in ranks:
        control.set_config(r, cuStatus=CU_NORMAL)
    if progress is not None:
        progress(total, total, f"{total}/{total} points")
    return outcome("done", result)


def _partial(path, model, ranks, seen, results_before):
    """When the sweep ends early: the hub's curves so far, of the units that
    took part.  A unit that never started holds no point of this sweep (its
    bins may still hold an older sweep's, so it is left out)."""
    if model.iv_results > results_before and not model.last_iv.get("running"):
        data = model.last_iv
    elif path.hub is not None:
        data = path.hub.get_iv_data()      # still running: the bins filled so far
    else:
        return None
    took_part = [r for r in ranks if seen(r) > 0]
    if not took_part:
        return None
    result = _snapshot(data, took_part)
    for r in ranks:
        if r not in took_part:
            result["counts"][r] = result["monitorV"][r] = []
    return result


async def _restore(control, ranks, before):
    """Every chosen unit goes back to its earlier sweep parameters and is asked
    to end the sweep; a worker whose unit is not sweeping turns that request
    into CU_NORMAL at its next message."""
    for r in ranks:
        old = before[r]
        control.set_config(r, cuStatus=CU_END_IV, **{k: old.get_c_value(k) for k in SWEEP_FIELDS})
    await _settle(control, ranks)


async def _settle(control, ranks, wait=1.0):
    """After asking units to end a sweep, the workers write CU_NORMAL once the
    unit is out of it; bring the settings object in line where that happened."""
    deadline = time.monotonic() + wait
    pending = set(ranks)
    path = control.path
    while pending and path.block is not None:
        for r in sorted(pending):
            if path.read_config(r)["cuStatus"] == CU_NORMAL:
                control.set_config(r, cuStatus=CU_NORMAL)
                pending.discard(r)
        if not pending or time.monotonic() > deadline:
            break
        await asyncio.sleep(0.05)
    return pending
