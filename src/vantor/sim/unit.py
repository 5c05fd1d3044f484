"""One simulated channel unit: its applied settings, sensor response, IV sweep."""
import math

from vantor.wire import (CU_END_IV, CU_IV, CU_MESSAGE, CU_NORMAL, CU_UPDATE, CU_UPDATE_FIELDS,
                         ECHO_FIELDS, STEP_S, f32, sweep_points)

MAX_SWEEP_POINTS = 100000


def poisson(rng, lam):
    """Poisson variate; exact (Knuth) for small means, normal beyond."""
    if lam <= 0:
        return 0
    if lam > 60:
        return max(0, int(round(rng.gauss(lam, math.sqrt(lam)))))
    limit, k, p = math.exp(-lam), 0, rng.random()
    while p > limit:
        k += 1
        p *= rng.random()
    return k


class Response:
    """Counts per 10 ms step versus bias current: a smooth rise to a plateau,
    no switching (the simulator without a [sim] table; see sensor.Sensor)."""
    latched = False

    def __init__(self, plateau=20.0, midpoint=1.5e-5, width=3.0e-6):
        self.plateau, self.midpoint, self.width = plateau, midpoint, width

    def rate(self, current):
        x = (abs(current) - self.midpoint) / self.width
        return self.plateau / (1.0 + math.exp(-max(-60.0, min(60.0, x))))

    step = rate

    def describe(self):
        return {"plateau_rate": self.plateau / STEP_S, "plateau_midpoint": self.midpoint,
                "plateau_width": self.width, "switching_current": None,
                "retrap_current": None, "dark_rate": 0.0, "dead": False,
                "no_plateau": False, "latched": False}


class SimUnit:
    def __init__(self, mcu_id, cu_id, echo, to_voltage, response, rng,
                 monitor_gain=0.8, ignores_updates=False):
        self.mcuId, self.cuId = mcu_id, cu_id
        self.pair = (mcu_id, cu_id)
        self.settings = {name: echo[name] for name in ECHO_FIELDS}
        self.to_voltage = to_voltage
        self.response, self.rng = response, rng
        self.monitor_gain = monitor_gain
        self.ignores_updates = ignores_updates
        self.cuError = 0
        self.pending = None
        self.sweep = None          # [voltages, point index, steps into the point]
        self.silent = False
        self.updates_received = 0
        self.updates_applied = 0
        self.sweeps_done = 0
        self.total_counts = 0
        self.records_sent = 0

    def receive_update(self, data):
        """An update record for this unit; it takes effect from the next step."""
        self.updates_received += 1
        if not self.ignores_updates:
            self.pending = dict(zip(CU_UPDATE_FIELDS, CU_UPDATE.unpack_from(data)))

    def _apply(self, update):
        status = update["cuStatus"]
        self.settings.update({k: update[k] for k in ECHO_FIELDS if k != "cuStatus"})
        self.updates_applied += 1
        if status == CU_IV:
            if self.sweep is None:
                self._start_sweep()
        elif status == CU_END_IV or status == CU_NORMAL:
            self.sweep = None
            self.settings["cuStatus"] = CU_NORMAL
        else:
            self.sweep = None
            self.settings["cuStatus"] = status

    def _start_sweep(self):
        s = self.settings
        start, stop, step = s["biasVStart"], s["biasVStop"], s["biasVStep"]
        if step != 0 and (stop - start) / step >= 0:
            n = min(MAX_SWEEP_POINTS, sweep_points(start, stop, step))
        else:
            n = 1
        voltages = [f32(start + f32(k * step)) for k in range(n)]
        self.sweep = [voltages, 0, 0]
        s["cuStatus"] = CU_IV

    def _sweep_voltage(self):
        """Voltage of the current sweep step, advancing the sweep; None once it is over."""
        voltages, point, steps = self.sweep
        if steps >= max(1, self.settings["biasSweepT"]):
            point, steps = point + 1, 0
        if point >= len(voltages):
            self.sweep = None
            self.sweeps_done += 1
            self.settings["cuStatus"] = CU_NORMAL
            return None
        self.sweep[1:] = [point, steps + 1]
        return voltages[point]

    def step(self, sequence):
        """The unit's cu_message for one 10 ms step."""
        if self.pending is not None:
            update, self.pending = self.pending, None
            self._apply(update)
        bias = self.settings["biasV"]
        if self.sweep is not None:
            swept = self._sweep_voltage()
            if swept is not None:
                bias = swept
        current = bias / self.to_voltage if self.to_voltage else 0.0
        response = self.response
        counts = poisson(self.rng, response.step(current))
        # A latched sensor is resistive: its monitor sits at the latched level.
        level = math.copysign(response.latched_voltage, bias) if response.latched \
            else self.monitor_gain * bias
        monitor = f32(level + self.rng.gauss(0.0, 1e-3))
        s = self.settings
        return CU_MESSAGE.pack(
            self.mcuId, self.cuId, s["cuStatus"], self.cuError, s["prescale"], s["pgaGain"],
            sequence, counts, monitor, s["triggerV"], bias, s["latchV"], s["latchFLow"],
            s["latchFHigh"], s["unlatchT"], s["biasVStart"], s["biasVStop"], s["biasVStep"],
            s["biasSweepT"]), counts
