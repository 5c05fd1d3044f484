"""ophyd-async devices over the EPICS records of `vantor serve --epics PREFIX`,
for Bluesky plans:

    from bluesky import RunEngine, plans as bp
    from ophyd_async.core import init_devices
    from vantor.ophyd import VantorUnit
    RE = RunEngine()
    with init_devices():
        u1 = VantorUnit("VANTOR:", 1)
    RE(bp.scan([u1], u1.bias, 0, 3e-5, 31))      # rate against bias in the documents

A move of `bias` puts `BIAS_SP` and completes once the unit echoes the new
bias (`BIAS_RBV`); a refused value fails the move.  Triggering the unit
waits for the first whole window after the trigger, so each reading's rate
was counted at the bias read with it.  Needs the bluesky extra:
pip install 'vantor[bluesky]'."""
import asyncio

try:
    from bluesky.protocols import Movable
    from ophyd_async.core import (AsyncStatus, StandardReadable, StandardReadableFormat,
                                  observe_value, wait_for_value)
    from ophyd_async.epics.core import epics_signal_r, epics_signal_rw
except ImportError:
    raise ImportError("vantor.ophyd needs the bluesky extra: pip install 'vantor[bluesky]'") \
        from None

from vantor.wire import f32

ECHO_TIMEOUT_S = 10.0        # the service waits 5 s for an echo, then says so on BIAS_SP
WINDOW_TIMEOUT_S = 30.0      # longest wait for a whole window (windows last buffSize x 10 ms)
WHOLE_WINDOWS = 2            # the window under way at a trigger may mix two biases


class VantorBias(StandardReadable, Movable):
    """A unit's bias current: reads the echoed value, moves through the set point."""

    def __init__(self, pv_prefix, name=""):
        with self.add_children_as_readables(StandardReadableFormat.HINTED_SIGNAL):
            self.readback = epics_signal_r(float, pv_prefix + "BIAS_RBV")
        with self.add_children_as_readables(StandardReadableFormat.CONFIG_SIGNAL):
            self.setpoint = epics_signal_rw(float, pv_prefix + "BIAS_SP")
        super().__init__(name=name)

    @AsyncStatus.wrap
    async def set(self, value):
        target = f32(float(value))
        await self.setpoint.set(float(value))     # waits for the put; refused: it fails
        # the echo is a voltage: the current it stands for may be an ulp off
        await wait_for_value(self.readback,
                             lambda echoed: abs(echoed - target) <= 1e-6 * abs(target),
                             timeout=ECHO_TIMEOUT_S)


class VantorUnit(StandardReadable):
    """One channel unit `{prefix}U{rank}:`: rate (hinted), monitor voltage,
    status and name; `bias` to move."""

    def __init__(self, prefix, rank, name="", protocol="pva"):
        pv_prefix = f"{protocol}://{prefix}U{rank}:"
        with self.add_children_as_readables(StandardReadableFormat.HINTED_SIGNAL):
            self.rate = epics_signal_r(float, pv_prefix + "RATE")
        with self.add_children_as_readables():
            self.monitor_v = epics_signal_r(float, pv_prefix + "MONV")
            self.status = epics_signal_r(str, pv_prefix + "STATUS")
            # read with the unit: a scan of [unit] over unit.bias reads the unit alone
            self.bias = VantorBias(pv_prefix)
        with self.add_children_as_readables(StandardReadableFormat.CONFIG_SIGNAL):
            self.unit_name = epics_signal_r(str, pv_prefix + "NAME")
        super().__init__(name=name or f"u{rank}")

    @AsyncStatus.wrap
    async def trigger(self):
        """Done once a whole window has been counted since the call."""
        seen = -1                   # observe_value gives the present value first
        async with asyncio.timeout(WINDOW_TIMEOUT_S):
            async for _ in observe_value(self.rate):
                seen += 1
                if seen >= WHOLE_WINDOWS:
                    return
