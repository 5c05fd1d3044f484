"""IV sweeps through a running host: the sweep parameters and cuStatus 2 go
into the chosen units' cu_config records (under their locks); the workers
send the updates, follow the sweeps and publish points; the hub assembles the
curves and hands them out through streamIvData, which ends the wait."""
import asyncio
import time
from dataclasses import dataclass

from vantor.wire import CU_END_IV, CU_IV, CU_NORMAL, CU_TIMEOUT, CU_TIMEOUT_POWERED, STEP_S
from .channels import OpsError, check_ranks
from .grid import GRID_STEP, SWEEP_FIELDS, check_sweep, grid_start
from .run import Run, channel_of, created
from .watch import RunWatch


class SweepTimeout(OpsError):
    """The sweep did not end in time; the units were asked to end it.  `run`
    holds the curves of the units that did complete (None when none did),
    each unit that did not named in its channel's `problem`."""

    def __init__(self, message, run=None):
        super().__init__(message)
        self.run = run


class SweepStopped(SweepTimeout):
    """The sweep was ended on request (`stop`) before every unit finished."""


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


def plan_points(settings, ranks, plan):
    """rank -> points of its sweep under `plan`, and the longest sweep's length
    in seconds; OpsError for a sweep the hub would not store as applied (off
    its 10 nA grid, descending) or outside the settings' limits."""
    points, longest = {}, 0.0
    origin = grid_start(settings, {r: plan.changes() for r in ranks})
    units = settings.units()
    for r in ranks:
        cu = units[r - 1]
        values = {**cu.configuration.as_dict(), **plan.changes()}
        points[r] = check_sweep(values, f"IV sweep of {describe(settings, r)}",
                                grid_start=origin, limits=settings.limits)
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
            if host.read_config(r)["cuStatus"] == CU_NORMAL:
                host.set_config(r, cuStatus=CU_NORMAL)
                pending.discard(r)
        if not pending or time.monotonic() > deadline:
            break
        await asyncio.sleep(0.05)
    return pending


async def run_sweep(host, ranks, plan=None, *, timeout=None, progress=None, poll=0.05, stop=None):
    """Sweep the units of `ranks` and return the curves as a Run of kind "iv".

    `progress(done, total, note)` is called while the units sweep.  On a time-out
    (or cancellation) the chosen units get their earlier sweep parameters back
    and are asked to end the sweep, and SweepTimeout is raised; setting the
    asyncio.Event `stop` does the same with SweepStopped.  Both carry the
    curves of the units that completed."""
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
    before = {r: host.units[r - 1].configuration for r in ranks}
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
    watch = RunWatch(host, ranks)
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
            stopped = stop is not None and stop.is_set()
            if stopped or time.monotonic() - started > timeout:
                partial = _partial(host, ranks, seen, results_before)
                run = partial and _as_run(host, ranks, partial, plan, watch,
                                          time.monotonic() - started, planned,
                                          problems=_problems(host, ranks, planned, seen))
                if stopped:
                    got = sum(min(seen(r), planned[r]) for r in ranks)
                    raise SweepStopped(f"IV sweep stopped at {got} of {total} points; the units "
                                       f"were asked to end the sweep.", run)
                raise SweepTimeout(_timeout_message(host, ranks, planned, seen, timeout), run)
            watch.poll()
            await asyncio.sleep(poll)
        result = _snapshot(stats.last_iv, ranks)
    except BaseException:
        # Every chosen unit goes back to its earlier sweep parameters and is
        # asked to end the sweep; a worker whose unit is not sweeping turns
        # that request into CU_NORMAL at its next message.
        watch.finish()
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
    return _as_run(host, ranks, result, plan, watch, time.monotonic() - started, planned)


def _partial(host, ranks, seen, results_before):
    """At a time-out: the hub's curves so far, of the units that took part.
    A unit that never started holds no point of this sweep (its bins may
    still hold an older sweep's, so it is left out)."""
    stats = host.stats
    if stats.iv_results > results_before and not stats.last_iv.get("running"):
        data = stats.last_iv
    elif host.hub is not None:
        data = host.hub.get_iv_data()      # still running: the bins filled so far
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


def _problems(host, ranks, planned, seen):
    problems = {}
    for r in ranks:
        n, status = seen(r), host.stats.units[r].status
        if n >= planned[r]:
            continue
        if n == 0:
            problems[r] = "did not sweep: sent no sweep point (does it apply updates?)"
        elif status == CU_IV:
            problems[r] = f"sweep unfinished: still sweeping at point {n} of {planned[r]}"
        elif status in (CU_TIMEOUT, CU_TIMEOUT_POWERED):
            problems[r] = f"sweep unfinished: went silent after point {n} of {planned[r]}"
    return problems


def _timeout_message(host, ranks, planned, seen, timeout):
    parts = []
    for r in ranks:
        n = seen(r)
        if n >= planned[r]:
            continue               # every point is in; only the unit's next window is not
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
            + ". The units were asked to end the sweep.")


def _as_run(host, ranks, result, plan, watch, duration, planned, problems=None):
    """The Run of a sweep; a unit with fewer points than planned says so."""
    grid = result["grid"]
    problems = dict(problems or {})
    channels = []
    for r in ranks:
        row, mon = result["counts"][r], result["monitorV"][r]
        keep = [k for k, c in enumerate(row) if c is not None]
        if r not in problems and len(keep) != planned[r]:
            problems[r] = f"{len(keep)} of {planned[r]} points"
        channels.append(channel_of(host.settings, r, {
            "biasI": [grid[k] for k in keep],
            "counts": [row[k] for k in keep],
            "monitorV": [mon[k] for k in keep],
        }, problems.get(r, "")))
    extra, counters, logs = watch.finish()
    wall = watch.wall
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
    attrs.update(extra)
    return Run("iv", attrs, channels, counters, logs)
