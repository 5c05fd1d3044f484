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


def test_an_access_security_file_limits_writes_to_its_users(tmp_path, pva):
    import getpass
    from tests import epics_ports
    from tests.service_process import Service, settings_text, wait_for

    acf = tmp_path / "vantor.acf"
    acf.write_text('UAG(operators) { someone_else }\n'
                   'ASG(DEFAULT) { RULE(1, READ) }\n'
                   'ASG(BIAS) {\n  RULE(1, READ)\n  RULE(1, WRITE) { UAG(operators) }\n}\n')
    path = tmp_path / "site.toml"
    path.write_text(settings_text([2], head=f'[epics]\nprefix = "TA:"\nwrites = true\n'
                                            f'access_security = "{acf}"\n'))
    with Service(tmp_path / "data", "--config", str(path), env=epics_ports.SERVER_ENV) as svc:
        wait_for(lambda: all(u["windows"] for u in Client(svc.url).units()), 20, "windows")
        assert pv("TA:U1:BIAS_SP").write_access is False       # we are not an operator
        acf.write_text(acf.read_text().replace("someone_else", getpass.getuser()))
    path.write_text(path.read_text().replace('"TA:"', '"TB:"'))
    with Service(tmp_path / "data", "--config", str(path), env=epics_ports.SERVER_ENV) as svc:
        wait_for(lambda: all(u["windows"] for u in Client(svc.url).units()), 20, "windows")
        channel = pv("TB:U1:BIAS_SP")
        assert channel.write_access is True
        assert channel.put(1.5e-5, wait=True, timeout=5) == 1
        wait_for(lambda: Client(svc.url).unit(1)["config"]["biasI"] == pytest.approx(1.5e-5),
                 5, "the change")
