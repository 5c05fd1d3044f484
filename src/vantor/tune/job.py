"""The tune job: sweep the units (all at once, as the hub's IV assembly
allows), reset those the sweep latched, judge every curve, and later, on
request, apply the proposed biases as one verified change per unit."""
import asyncio
import time

from vantor.host.app import ConfigureError, ConfigureTimeout
from vantor.host.latch_keeper import configure_each, reset_bias
from vantor.ops.iv import run_sweep

from .analysis import curves_of, judge

RESET_S = 0.3           # a latched unit's bias stays at zero this long
SETTLE_S = 5.0          # for the units' status to leave the sweep
SETTLE_POLL_S = 0.1
VIA = "tune"


async def _still_sweeping(host, ranks):
    """Whether any of `ranks` still reports the sweep.  Read a slice of units
    at a time, the loop getting a turn between two: every read of a unit's
    state works out the status words of all units, so a thousand units read
    one by one held the loop."""
    wanted = set(ranks)
    for part in host.unit_state_slices():
        if any(u["status"] == "IV" for u in part if u["rank"] in wanted):
            return True
        await asyncio.sleep(0)
    return False


async def _out_of_sweep(host, ranks, wait=SETTLE_S):
    """Until no unit reports the sweep any more (settings are refused meanwhile)."""
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline and await _still_sweeping(host, ranks):
        await asyncio.sleep(SETTLE_POLL_S)


def temperatures(host):
    return {str(b["mcuId"]): {"temp1": b["temp1"], "temp2": b["temp2"]}
            for b in host.boards_state()}


async def run_tune(job, host, ranks, plan, policy, offload, dark=None):
    """Sweep, reset and judge; sets job.tune and returns the sweep's Run."""
    def progress(done, total, note=""):
        job.report(done, total * 1.1, f"sweeping: {note}")

    run = await run_sweep(host, ranks, plan, progress=progress)
    job.message = "judging the curves"
    curves = curves_of(run)
    units, cpu = await offload.run(judge, curves, policy, dark)
    await _out_of_sweep(host, ranks)
    latched = {r: host.units[r - 1].configuration.get_c_value("biasI")
               for r, row in units.items() if row["switching_current"] is not None}
    job.message = f"resetting {len(latched)} units the sweep latched"
    failed = await reset_bias(host, latched, VIA, RESET_S)
    job.tune = {"units": units, "policy": policy.__dict__, "fit_cpu_s": cpu,
                "temperatures": temperatures(host), "finished": time.time(),
                "reset": sorted(latched), "reset_failed": failed,
                "sweep_s": run.attrs.get("duration_s")}
    return run


async def apply_tune(host, job, timeout=10.0, actor=None):
    """Sets every accepted unit's proposed bias (one verified change each,
    logged as "tune", with who asked for it: `actor`); returns {"applied": {rank: bias}, "failed": {rank:
    reason}, "unchanged": {rank: status}} and the calibrations to keep."""
    units = job.tune["units"]
    accepted = {r: row["proposed_bias"] for r, row in units.items()
                if row["status"] == "ok" and row["proposed_bias"] is not None}
    before = {r: host.units[r - 1].configuration.get_c_value("biasI") for r in accepted}
    groups = {}
    for r, bias in accepted.items():
        groups.setdefault(bias, []).append(r)
    results = await configure_each(host, accepted, VIA, timeout, actor=actor)
    applied, failed = {}, {}
    for ranks, res in zip(groups.values(), results):
        if isinstance(res, ConfigureTimeout):
            late = set(res.units)
            for r in ranks:
                if host.units[r - 1].label in late:
                    failed[r] = str(res)
                else:
                    applied[r] = host.units[r - 1].configuration.get_c_value("biasI")
        elif isinstance(res, ConfigureError):
            failed.update((r, str(res)) for r in ranks)
        elif isinstance(res, BaseException):
            raise res
        else:
            applied.update((r, host.units[r - 1].configuration.get_c_value("biasI"))
                           for r in ranks)
    now = time.time()
    calibrations = [{"time": now, "rank": r, "name": host.units[r - 1].label, "job": job.id,
                     "policy": job.tune["policy"], "previous_bias": before[r],
                     "bias": applied[r], "temperatures": job.tune["temperatures"],
                     **{k: units[r][k] for k in ("status", "switching_current", "plateau_onset",
                                                 "plateau_rate", "proposed_bias", "reason",
                                                 "plateau_flatness", "dark_rate", "dark_rise")}}
                    for r in sorted(applied)]
    unchanged = {r: row["status"] for r, row in units.items() if r not in accepted}
    return {"applied": applied, "failed": failed, "unchanged": unchanged}, calibrations
