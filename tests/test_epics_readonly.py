"""vantor serve --epics without --epics-writes: every record reads, no put
is taken (its own module: one IOC per test run's ports at a time)."""
import time

import pytest

from tests.test_epics import pv, pva, start      # noqa: F401  (pva is a fixture)
from vantor.client import Client


def test_writes_are_refused_unless_enabled(tmp_path, pva):
    svc = start(tmp_path, "TR:")
    try:
        client = Client(svc.url)
        before = client.unit(1)["config"]["biasI"]
        channel = pv("TR:U1:BIAS_SP")
        assert channel.write_access is False and channel.read_access is True
        with pytest.raises(Exception):
            pva.put("TR:U1:BIAS_SP", 1e-5, timeout=5)
        time.sleep(0.3)
        assert client.unit(1)["config"]["biasI"] == before
        assert pva.get("TR:U1:RATE", timeout=5) >= 0
    finally:
        assert svc.stop()[0] == 0
