"""The latch watch at work in the host: fed every stream batch, it tells
the status word ("latched"), publishes latch events and, where the settings
ask for it, recovers a latched unit (bias to zero, wait, bias back: each a
verified change logged as "latch")."""
import asyncio
import logging
import time

from .latch import LatchWatch, RecoveryPlan

log = logging.getLogger("vantor.host.latch")
VIA = "latch"


async def reset_bias(host, biases, via, wait, timeout=5.0):
    """Lower each unit's bias to zero, wait `wait` s and set `biases[rank]`
    again: a latched sensor recovers only below its re-trapping current.
    Both steps are verified changes; returns the names that did not follow."""
    from .app import ConfigureTimeout

    if not biases:
        return []
    ranks, failed = sorted(biases), []
    try:
        await host.configure(ranks, {"biasI": 0.0}, via=via, timeout=timeout)
    except ConfigureTimeout as exc:
        failed += exc.units
    await asyncio.sleep(wait)
    results = await configure_each(host, biases, via, timeout)
    failed += [u for res in results if isinstance(res, ConfigureTimeout) for u in res.units]
    return sorted(set(failed))


async def configure_each(host, biases, via, timeout=5.0, actor=None):
    """Sets biasI of each rank to `biases[rank]`, one verified change per
    distinct value; returns what each change ended with (ranks, or the
    exception) in the order of the values."""
    groups = {}
    for rank, bias in biases.items():
        groups.setdefault(bias, []).append(rank)
    return await asyncio.gather(*(host.configure(ranks, {"biasI": bias}, via=via,
                                                 timeout=timeout, actor=actor)
                                  for bias, ranks in groups.items()), return_exceptions=True)


class LatchKeeper:
    def __init__(self, host, options, clock=time.monotonic):
        self.host, self.options = host, options
        self.watch = LatchWatch(options, len(host.units))
        self.plan = RecoveryPlan(options, clock)
        self.recovering = {}       # rank -> task
        self.recoveries = 0

    def batch(self, windows):
        """One decoded batch of the read model."""
        if not self.options.enabled:
            return
        recs = windows.rows
        for rank, latched in self.watch.feed(recs["rank"], recs["counts"], recs["monitorV"],
                                             recs["cuStatus"]):
            self._changed(rank, latched)

    def events(self, rank):
        return int(self.watch.events[rank])

    def _publish(self, rank, **fields):
        self.host.publish_event({"kind": "latch", "rank": rank,
                                 "name": self.host.units[rank - 1].label, "time": time.time(),
                                 **fields})

    def _changed(self, rank, latched):
        name = self.host.units[rank - 1].label
        now = time.time()
        old, new = ("ok", "latched") if latched else ("latched", "ok")
        self.host.publish_event({"kind": "status", "rank": rank, "name": name, "old": old,
                                 "new": new, "time": now})
        self._publish(rank, latched=latched, events=self.events(rank),
                      windows=self.host.unit_state(rank)["windows"])
        if not latched or not self.options.recover or rank in self.recovering:
            return
        decision = self.plan.decide(rank)
        if decision == "recover":
            task = asyncio.get_running_loop().create_task(self._recover(rank))
            self.recovering[rank] = task
            task.add_done_callback(lambda _t, r=rank: self.recovering.pop(r, None))
        elif decision == "relatched":
            log.warning("unit %s latched again at once after its recovery: left at zero bias",
                        name)
            task = asyncio.get_running_loop().create_task(self._leave_at_zero(rank))
            self.recovering[rank] = task
            task.add_done_callback(lambda _t, r=rank: self.recovering.pop(r, None))
        else:
            log.warning("unit %s latched: %d recoveries within the hour, none more", name,
                        self.options.max_per_hour)
            self._publish(rank, action="limit", max_per_hour=self.options.max_per_hour)

    async def _recover(self, rank):
        bias = self.host.units[rank - 1].configuration.get_c_value("biasI")
        name = self.host.units[rank - 1].label
        log.warning("unit %s latched: recovering (bias to zero for %g s, then %g A again)",
                    name, self.options.recover_wait, bias)
        failed = await reset_bias(self.host, {rank: bias}, VIA, self.options.recover_wait)
        self.plan.restored_now(rank)
        self.recoveries += 1
        self._publish(rank, action="recovered" if not failed else "failed", bias=bias)

    async def _leave_at_zero(self, rank):
        from .app import ConfigureTimeout

        bias = self.host.units[rank - 1].configuration.get_c_value("biasI")
        try:
            await self.host.configure([rank], {"biasI": 0.0}, via=VIA)
        except ConfigureTimeout:
            pass
        self._publish(rank, action="left at zero", bias=bias)

    async def close(self):
        for task in list(self.recovering.values()):
            task.cancel()
        await asyncio.gather(*self.recovering.values(), return_exceptions=True)
