"""Bluesky and QCoDeS against vantor serve: a RunEngine scan of one unit's
bias over the EPICS records (ophyd-async, pvAccess), and a QCoDeS dond over
the client into a temporary database, each read back."""
import importlib.util

import numpy as np
import pytest

from tests import epics_ports
from tests.service_process import Service, settings_text, wait_for
from vantor.client import Client
from vantor.wire import f32

SETTINGS = settings_text([2, 2], head="buffSize = 10\n")      # 0.1 s windows


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("lab")
    (tmp / "site.toml").write_text(SETTINGS)
    args = ["--config", str(tmp / "site.toml")]
    if importlib.util.find_spec("softioc") is not None:
        args += ["--epics", "TL:", "--epics-writes"]
    with Service(tmp / "data", *args, env=epics_ports.SERVER_ENV) as svc:
        wait_for(lambda: all(u["windows"] for u in Client(svc.url).units()), 20, "windows")
        yield svc


def test_bluesky_scan_of_a_units_bias(service):
    pytest.importorskip("softioc")
    bp = pytest.importorskip("bluesky.plans")
    from bluesky import RunEngine
    from ophyd_async.core import init_devices
    from vantor.ophyd import VantorUnit

    RE = RunEngine({})
    with init_devices():
        u1 = VantorUnit("TL:", 1)
    docs = []
    RE(bp.scan([u1], u1.bias, 0, 3e-5, 7), lambda name, doc: docs.append((name, doc)))
    events = [doc["data"] for name, doc in docs if name == "event"]
    stop = [doc for name, doc in docs if name == "stop"][0]
    assert stop["exit_status"] == "success" and len(events) == 7
    bias = np.array([e["u1-bias-readback"] for e in events])
    rate = np.array([e["u1-rate"] for e in events])
    assert np.array_equal(bias, [f32(x) for x in np.linspace(0, 3e-5, 7)])
    assert rate[-1] > rate[0] and np.all(np.isfinite(rate))    # the response rises with bias
    descriptor = [doc for name, doc in docs if name == "descriptor"][0]
    assert descriptor["data_keys"]["u1-rate"]["units"] == "cts/s"
    assert Client(service.url).unit(1)["config"]["biasI"] == f32(3e-5)


def test_qcodes_dond_into_a_temporary_database(service, tmp_path):
    pytest.importorskip("qcodes")
    from qcodes.dataset import (LinSweep, dond, initialise_or_create_database_at, load_by_id,
                                load_or_create_experiment)
    from vantor.qcodes import Vantor

    initialise_or_create_database_at(tmp_path / "lab.db")
    load_or_create_experiment("bias", sample_name="sim")
    v = Vantor("vantor_test", url=service.url)
    try:
        dataset, *_ = dond(LinSweep(v.units[1].bias, 0, 3e-5, 11), v.units[1].rate,
                           show_progress=False)
        data = load_by_id(dataset.run_id).get_parameter_data()
        rate = data["vantor_test_u2_rate"]
        assert np.allclose(rate["vantor_test_u2_bias"], np.linspace(0, 3e-5, 11))
        assert len(rate["vantor_test_u2_rate"]) == 11 and rate["vantor_test_u2_rate"][-1] > \
            rate["vantor_test_u2_rate"][0]
        assert v.units[1].bias() == f32(3e-5) and v.units[1].status() in ("ok", "update")
        with pytest.raises(ValueError):
            v.units[1].bias(1.0)                 # outside the service's limits
        Client(service.url).iv([2], start=0, stop=4e-6, step=1e-6, point_steps=5)
        assert len(v.units[1].iv_rate()) == len(v.units[1].iv_bias()) == 5
    finally:
        v.close()
