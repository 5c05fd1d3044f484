"""The whole running system: the host and, unless it faces hardware, the
simulator standing in for the electronics.  One lifecycle for the command
line, the service, the operator commands and the tests:

    async with System(settings) as system:
        system.host.snapshot()
"""
import asyncio

from vantor.host.app import Host, default_listen


class NoTraffic(RuntimeError):
    """No record arrived within the wait of `System.wait_for_traffic`."""


class System:
    def __init__(self, settings, *, hardware=None, listen=None, faults=None, seed=1,
                 worker_processes=0, transport="ipc", sim_options=None, drive_sim=True):
        self.settings = settings
        self.hardware = hardware
        self.host = Host(settings, listen=listen or default_listen(hardware), hardware=hardware,
                         worker_processes=worker_processes, transport=transport)
        self.faults, self.seed = faults, seed
        self.sim_options = sim_options or {}
        self.drive_sim = drive_sim     # False: the caller steps the simulator (tests)
        self.sim = None
        self._sim_task = None

    @property
    def source(self):
        """Where the traffic comes from, for titles and messages."""
        if self.hardware:
            return f"the hardware at {self.hardware[0]}:{self.hardware[1]}"
        return "the simulator"

    async def start(self):
        from vantor.sim import Simulator

        await self.host.start()
        try:
            if self.hardware is None:
                self.sim = await Simulator(self.settings, self.host.address, seed=self.seed,
                                           faults=self.faults, **self.sim_options).start()
                if self.drive_sim:
                    self._sim_task = asyncio.create_task(self.sim.run())
        except BaseException:
            await self.stop()
            raise
        return self

    async def stop(self):
        """The simulator first (no traffic into a host being taken apart), then the host."""
        if self.sim is not None:
            self.sim.stop()
            if self._sim_task is not None:
                await asyncio.gather(self._sim_task, return_exceptions=True)
                self._sim_task = None
            self.sim.close()
        await self.host.stop()

    async def wait_for_traffic(self, wait=5.0):
        """Returns once the host has taken in a record; NoTraffic after `wait` s."""
        if not await self.host.wait_for_records(wait):
            raise NoTraffic(f"no records from {self.source} within {wait:g} s")

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.stop()
