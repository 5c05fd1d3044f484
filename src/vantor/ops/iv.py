"""IV sweeps through a running host: the sweep parameters and cuStatus 2 go
into the chosen units' cu_config records (under their locks); the workers
send the updates, follow the sweeps and publish points; the hub assembles the
curves and hands them out through streamIvData, which ends the wait."""
import asyncio
import math
import time
from dataclasses import dataclass

from vantor.wire import (CU_END_IV, CU_IV, CU_NORMAL, CU_TIMEOUT, CU_TIMEOUT_POWERED, IV_GRID_STEP,
                         STEP_S, f32, sweep_points)
from .channels import OpsError, check_ranks
from .run import Run, channel_of, created

GRID_STEP = IV_GRID_STEP
MAX_POINTS = 100000         # more points than this is a typing error, not a sweep
SWEEP_FIELDS = ("biasIStart", "biasIStop", "biasIStep", "biasSweepT")


class SweepTimeout(OpsError):
    """The sweep did not end in time; the units were asked to end it."""


@dataclass
class SweepPlan:
    """Sweep parameters to write; None keeps what the unit is configured with."""
    start: float = None      # amperes
    stop: float = None
    step: float = None
    point_steps: int = None  # 10 ms steps per point

    def changes(self):
        values = dict(zip(SWEEP_FIELDS, (self.start, self.stop, self.step, self.point_steps)))
        return {k: v for k, v in values.items() if v is not None}


def check_sweep(values, where="IV sweep"):
    """A sweep the hub can lay on its grid: 0 <= start <= stop, step > 0, a
    point of at least one step.  Returns the number of points."""
    start, stop, step, steps = (values[k] for k in SWEEP_FIELDS)
    for name, v in (("start", start), ("stop", stop), ("step", step)):
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v) \
                or abs(v) > 1.0:
            raise OpsError(f"{where}: {name} must be a current in amperes (|I| <= 1 A), got {v!r}")
    if not 0 <= start <= stop:
        raise OpsError(f"{where}: expected 0 <= start <= stop, got start {start:g} A, "
                       f"stop {stop:g} A")
    if not step > 0:
        raise OpsError(f"{where}: step must be > 0 A, got {step:g} A")
    if f32(step) < GRID_STEP:
        raise OpsError(f"{where}: step {step:g} A is finer than the hub's {GRID_STEP:g} A bins")
    if isinstance(steps, bool) or not isinstance(steps, int) or not 1 <= steps <= 4294967295:
        raise OpsError(f"{where}: point length must be 1 or more 10 ms steps, got {steps!r}")
    n = sweep_points(start, stop, step)
    if n > MAX_POINTS:
        raise OpsError(f"{where}: {n} points is more than {MAX_POINTS}; use a larger step")
    return n


def plan_points(settings, ranks, plan):
    """rank -> points of its sweep under `plan`, and the longest sweep's length
    in seconds; OpsError for a sweep the hub cannot lay on its grid."""
    points, longest = {}, 0.0
    for r in ranks:
        cu = settings.units()[r - 1]
        values = {**cu.configuration.as_dict(), **plan.changes()}
        points[r] = check_sweep(values, f"IV sweep of {describe(settings, r)}")
        longest = max(longest, points[r] * values["biasSweepT"] * STEP_S)
    return points, longest


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


def describe(settings, rank):
    return f"rank {rank} (unit {settings.units()[rank - 1].label})"


async def _settle(host, ranks, wait=1.0):
    """After asking units to end a sweep, the workers write CU_NORMAL once the
    unit is out of it; bring the settings object in line where that happened."""
    deadline = time.monotonic() + wait
    pending = set(ranks)
    while pending and host.block is not None:
        for r in sorted(pending):
            if host.block.read_config(r - 1)["cuStatus"] == CU_NORMAL:
                host.set_config(r, cuStatus=CU_NORMAL)
                pending.discard(r)
        if not pending or time.monotonic() > deadline:
            break
        await asyncio.sleep(0.05)
    return pending


async def run_sweep(host, ranks, plan=None, *, timeout=None, progress=None, poll=0.05):
    """Sweep the units of `ranks` and return the curves as a Run of kind "iv".

    `progress(done, total, note)` is called while the units sweep.  On a time-out
    (or cancellation) the chosen units get their earlier sweep parameters back
    and are asked to end the sweep, and SweepTimeout is raised."""
    settings, stats = host.settings, host.stats
    if host.hub is None or host.block is None:
        raise OpsError("the host is not running")
    ranks = check_ranks(settings, list(ranks))
    plan = plan or SweepPlan()
    busy = [r for r in ranks if stats.units[r].status == CU_IV]
    if busy:
        raise OpsError(f"an IV sweep is already running on {', '.join(describe(settings, r) for r in busy)}")
    planned, expected_s = plan_points(settings, ranks, plan)
    if timeout is None:
        timeout = 2 * expected_s + 10.0
    total = sum(planned.values())
    before = {r: settings.units()[r - 1].configuration for r in ranks}
    base = {r: stats.units[r].iv_points for r in ranks}
    results_before = stats.iv_results
    seen = lambda r: stats.units[r].iv_points - base[r]

    def through():
        # Units learn from the hub's batches, which lag its IV result by up
        # to one batch; the result itself says no sweep runs any more, and a
        # point seen from every chosen unit says each of them took part.
        return (stats.iv_results > results_before and not stats.last_iv.get("running")
                and all(seen(r) > 0 for r in ranks))

    hub = host.hub
    wall = time.time()
    started = time.monotonic()
    try:
        for r in ranks:
            host.set_config(r, cuStatus=CU_IV, **plan.changes())
        while not through():
            if host.hub is not hub:
                raise OpsError("the host stopped during the IV sweep")
            if progress is not None:
                got = sum(min(seen(r), planned[r]) for r in ranks)
                progress(got, total, f"{got}/{total} points")
            if time.monotonic() - started > timeout:
                raise SweepTimeout(_timeout_message(host, ranks, planned, seen, timeout))
            await asyncio.sleep(poll)
        result = _snapshot(stats.last_iv, ranks)
    except BaseException:
        # Every chosen unit goes back to its earlier sweep parameters and is
        # asked to end the sweep; a worker whose unit is not sweeping turns
        # that request into CU_NORMAL at its next message.
        if host.block is not None:
            for r in ranks:
                old = before[r]
                host.set_config(r, cuStatus=CU_END_IV,
                                **{k: old.get_c_value(k) for k in SWEEP_FIELDS})
            await _settle(host, ranks)
        raise
    # The worker wrote CU_NORMAL into the shared record when the sweep ended;
    # the settings object still says 2.
    for r in ranks:
        host.set_config(r, cuStatus=CU_NORMAL)
    if progress is not None:
        progress(total, total, f"{total}/{total} points")
    return _as_run(host, ranks, result, plan, wall, time.monotonic() - started)


def _timeout_message(host, ranks, planned, seen, timeout):
    parts = []
    for r in ranks:
        n = seen(r)
        if n == 0:
            parts.append(f"{describe(host.settings, r)} sent no sweep point (it did not take up "
                         f"the sweep: does it apply updates?)")
        elif host.stats.units[r].status == CU_IV:
            parts.append(f"{describe(host.settings, r)} still sweeping at point {n} of {planned[r]}")
        elif host.stats.units[r].status in (CU_TIMEOUT, CU_TIMEOUT_POWERED):
            parts.append(f"{describe(host.settings, r)} went silent after point {n} of {planned[r]}")
    if not parts:
        parts.append("every unit finished, but the hub reported no IV result "
                     "(another unit is still sweeping?)")
    return (f"IV sweep timed out after {timeout:.1f} s: " + "; ".join(parts)
            + ". The units were asked to end the sweep; nothing was written.")


def _as_run(host, ranks, result, plan, wall, duration):
    grid = result["grid"]
    channels = []
    for r in ranks:
        row, mon = result["counts"][r], result["monitorV"][r]
        keep = [k for k, c in enumerate(row) if c is not None]
        channels.append(channel_of(host.settings, r, {
            "biasI": [grid[k] for k in keep],
            "counts": [row[k] for k in keep],
            "monitorV": [mon[k] for k in keep],
        }))
    attrs = {
        "started": wall,
        "created": created(wall),
        "duration_s": duration,
        "timestamp_started": float(result["timestamp_started"] or 0.0),
        "grid_start": grid[0] if grid else 0.0,
        "grid_step": GRID_STEP,
        "grid_size": len(grid),
        "buffSize": host.settings.buffSize,
        "settings_source": host.settings.source,
    }
    for name, value in zip(("sweep_start", "sweep_stop", "sweep_step", "sweep_point_steps"),
                           (plan.start, plan.stop, plan.step, plan.point_steps)):
        if value is not None:
            attrs[name] = value
    return Run("iv", attrs, channels)
