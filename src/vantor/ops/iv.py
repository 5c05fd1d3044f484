"""IV sweeps as the operator commands and jobs run them: the plan checked
against the hub's grid and the settings' limits, the sweep itself run by the
host (`Host.sweep`), and what it produced turned into a Run with the data
path's counters and the boards' series beside the curves."""
from dataclasses import dataclass

from vantor.host.app import HostBusy
from vantor.wire import CU_IV, SILENCE_CODES, STEP_S
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


def describe(settings, rank):
    return f"rank {rank} (unit {settings.units()[rank - 1].label})"


async def run_sweep(host, ranks, plan=None, *, timeout=None, progress=None, poll=0.05, stop=None):
    """Sweep the units of `ranks` and return the curves as a Run of kind "iv".

    `progress(done, total, note)` is called while the units sweep.  On a time-out
    (or cancellation) the chosen units get their earlier sweep parameters back
    and are asked to end the sweep, and SweepTimeout is raised; setting the
    asyncio.Event `stop` does the same with SweepStopped.  Both carry the
    curves of the units that completed."""
    if not host.running:
        raise OpsError("the host is not running")
    settings = host.settings
    ranks = check_ranks(settings, list(ranks))
    plan = plan or SweepPlan()
    planned, expected_s = plan_points(settings, ranks, plan)
    if timeout is None:
        timeout = 2 * expected_s + 10.0
    total = sum(planned.values())
    watch = RunWatch(host, ranks)

    def report(done, of, note):
        watch.poll()
        if progress is not None:
            progress(done, of, note)

    try:
        outcome = await host.sweep(ranks, plan.changes(), planned, timeout=timeout,
                                   progress=report, stop=stop, poll=poll)
    except HostBusy as exc:
        watch.finish()
        raise OpsError(str(exc)) from None
    except BaseException:
        watch.finish()
        raise
    if outcome.ended == "done":
        return _as_run(host, ranks, outcome.result, plan, watch, outcome.elapsed, planned)
    problems = _problems(host, ranks, planned, outcome)
    run = outcome.result and _as_run(host, ranks, outcome.result, plan, watch, outcome.elapsed,
                                     planned, problems=problems)
    if run is None:
        watch.finish()
    if outcome.ended == "stopped":
        got = sum(min(outcome.seen[r], planned[r]) for r in ranks)
        raise SweepStopped(f"IV sweep stopped at {got} of {total} points; the units "
                           f"were asked to end the sweep.", run)
    raise SweepTimeout(_timeout_message(host, ranks, planned, outcome, timeout), run)


def _problems(host, ranks, planned, outcome):
    problems = {}
    for r in ranks:
        n, status = outcome.seen[r], outcome.status[r]
        if n >= planned[r]:
            continue
        if n == 0:
            problems[r] = "did not sweep: sent no sweep point (does it apply updates?)"
        elif status == CU_IV:
            problems[r] = f"sweep unfinished: still sweeping at point {n} of {planned[r]}"
        elif status in SILENCE_CODES:
            problems[r] = f"sweep unfinished: went silent after point {n} of {planned[r]}"
    return problems


def _timeout_message(host, ranks, planned, outcome, timeout):
    parts = []
    for r in ranks:
        n, status = outcome.seen[r], outcome.status[r]
        if n >= planned[r]:
            continue               # every point is in; only the unit's next window is not
        if n == 0:
            parts.append(f"{describe(host.settings, r)} sent no sweep point (it did not take up "
                         f"the sweep: does it apply updates?)")
        elif status == CU_IV:
            parts.append(f"{describe(host.settings, r)} still sweeping at point {n} of {planned[r]}")
        elif status in SILENCE_CODES:
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
