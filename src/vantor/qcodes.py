"""A QCoDeS instrument over a running `vantor serve` (through vantor.client):

    from vantor.qcodes import Vantor
    from qcodes.dataset import LinSweep, dond
    v = Vantor("vantor")                       # or Vantor("vantor", url="http://host:8765")
    dond(LinSweep(v.units[0].bias, 0, 3e-5, 11), v.units[0].rate)

One channel per unit: `bias` (A; a set returns once the unit echoes it),
`rate` (counts/s of the first whole window at the present bias), `monitor_v`
(V), `status`, and the latest IV sweep as `iv_rate` with setpoints `iv_bias`.
Needs the qcodes extra: pip install 'vantor[qcodes]'."""
import time

import numpy as np

try:
    from qcodes.instrument import ChannelList, Instrument, InstrumentChannel
    from qcodes.parameters import ParameterWithSetpoints
    from qcodes.validators import Arrays, Numbers
except ImportError:
    raise ImportError("vantor.qcodes needs the qcodes extra: pip install 'vantor[qcodes]'") \
        from None

import vantor
from vantor.client import Client

WHOLE_WINDOWS = 2           # the window under way at a change mixes old and new bias
WAIT_S = 60.0               # longest wait for such a window


class VantorUnit(InstrumentChannel):
    """One channel unit of the service."""

    def __init__(self, parent, name, state, bias_limits):
        super().__init__(parent, name)
        self.rank = state["rank"]
        self.unit_name = state["name"]
        self._first_window = 0      # `windows` count from which rates are at the set bias
        low, high = bias_limits
        self.bias = self.add_parameter(
            "bias", unit="A", label=f"bias current {self.unit_name}",
            get_cmd=lambda: self._state()["config"]["biasI"], set_cmd=self._set_bias,
            vals=Numbers(low, high))
        self.rate = self.add_parameter("rate", unit="counts/s",
                                       label=f"count rate {self.unit_name}",
                                       get_cmd=self._rate)
        self.monitor_v = self.add_parameter("monitor_v", unit="V", label="monitor voltage",
                                            get_cmd=lambda: self._state()["monitorV"])
        self.status = self.add_parameter("status", get_cmd=lambda: self._state()["status"])
        self.iv_bias = self.add_parameter(
            "iv_bias", unit="A", label="IV sweep bias current",
            get_cmd=lambda: self._iv()["biasI"], vals=Arrays(shape=(self._iv_length,)))
        self.iv_rate = self.add_parameter(
            "iv_rate", ParameterWithSetpoints, unit="counts/s", label="IV sweep count rate",
            setpoints=(self.iv_bias,), get_cmd=lambda: self._iv()["rate"],
            vals=Arrays(shape=(self._iv_length,)))

    @property
    def client(self):
        return self.parent.client

    def _state(self):
        return self.client.unit(self.rank)

    def _set_bias(self, value):
        self.client.configure([self.rank], biasI=float(value))
        self._first_window = self._state()["windows"] + WHOLE_WINDOWS

    def _rate(self):
        deadline = time.monotonic() + WAIT_S
        state = self._state()
        while state["windows"] < self._first_window:
            if time.monotonic() > deadline:
                raise TimeoutError(f"unit {self.unit_name}: no whole window at the new bias "
                                   f"within {WAIT_S:g} s (status {state['status']})")
            time.sleep(0.05)
            state = self._state()
        return state["rate"]

    def _iv(self):
        curve = self.client.latest_iv().get(self.rank)
        if curve is None:
            raise ValueError(f"unit {self.unit_name} has no IV sweep yet (run one: "
                             f"Client.iv or the dashboard)")
        return {key: np.asarray(curve[key], dtype=float) for key in ("biasI", "rate")}

    def _iv_length(self):
        return len(self._iv()["biasI"])


class Vantor(Instrument):
    """Every unit of a running `vantor serve` as a channel (`units`, in rank order)."""

    def __init__(self, name, url=None, token=None, **kwargs):
        super().__init__(name, **kwargs)
        self.client = Client(url, token)
        limits = self.client.limits().get("biasI", {"min": 0.0, "max": 1e-4})
        units = ChannelList(self, "units", VantorUnit)
        for state in self.client.units():
            channel = VantorUnit(self, f"u{state['rank']}", state,
                                 (limits["min"], limits["max"]))
            units.append(channel)
            self.add_submodule(channel.short_name, channel)
        self.units = self.add_submodule("units", units.to_channel_tuple())
        self.connect_message()

    def get_idn(self):
        return {"vendor": "vantor", "model": "vantor serve", "serial": self.client.url,
                "firmware": vantor.__version__ if hasattr(vantor, "__version__") else None}

    def close(self):
        self.client.close()
        super().close()
