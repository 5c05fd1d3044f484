"""A site of three real nodes: `vantor serve --node` processes with their
simulators and `vantor site`, on a real nats-server, used through the
site's HTTP API and the client as an operator would."""
import signal
import time

import pytest

from vantor.client import Client
from vantor.wire import f32

from .service_process import Service, wait_for
from .site_peers import SiteProcess
from .test_site import _fresh_stream
from .test_site_node import get

pytest.importorskip("nats")

NODES = ("alpha", "beta", "gamma")
UNITS_PER_NODE = 2


@pytest.fixture(scope="module")
def site(nats_server_process, tmp_path_factory):
    bus = nats_server_process.start()
    _fresh_stream(bus.url)
    nodes = {}
    try:
        for name in NODES:
            data = tmp_path_factory.mktemp(name)
            nodes[name] = Service(data, "--bus", bus.url, "--node", name, "--mcus", "1",
                                  "--units", str(UNITS_PER_NODE))
        site = SiteProcess("--bus", bus.url, "--data", str(tmp_path_factory.mktemp("site")),
                           "--heartbeat-timeout", "3")
        site.nodes = nodes
        yield site
        site.stop(signal.SIGKILL)
    finally:
        for node in nodes.values():
            node.stop()


def node_unit(node, rank):
    return [u for u in get(node.url, "/api/units")["units"] if u["rank"] == rank][0]


def node_jobs(node, kind):
    return [j for j in get(node.url, "/api/jobs")["jobs"] if j["kind"] == kind]


def test_every_nodes_units_appear_at_the_site_under_its_name(site):
    # a unit is named by rank until its node's snapshot names it MCU.CU
    units = wait_for(lambda: len(found := site.get("/api/units")["units"]) ==
                     len(NODES) * UNITS_PER_NODE and all("." in u["name"] for u in found)
                     and found, 60, "every node's units, named")
    by_node = {}
    for unit in units:
        by_node.setdefault(unit["node"], []).append(unit["name"])
    assert sorted(by_node) == list(NODES)
    assert by_node["beta"] == ["beta/0.0", "beta/0.1"]
    wait_for(lambda: sorted(n["node"] for n in site.get("/api/nodes")["nodes"]
                            if n["state"] == "ok") == list(NODES), 30, "three nodes heard")


def test_a_bias_set_through_the_site_reaches_its_node_verified(site):
    wait_for(lambda: len(site.get("/api/units")["units"]) == 6, 60, "every node's units")
    before = {name: node_unit(node, 2)["config"]["biasI"] for name, node in site.nodes.items()}
    client = Client(site.url)
    assert [u["unit"] for u in client.configure(["beta/2"], biasI=1.25e-5)] == ["beta/2"]
    assert node_unit(site.nodes["beta"], 2)["config"]["biasI"] == f32(1.25e-5)
    for name in ("alpha", "gamma"):                     # the others untouched
        assert node_unit(site.nodes[name], 2)["config"]["biasI"] == before[name]
    status, refused = site.post("/api/settings", {"units": ["gamma/1"],
                                                  "settings": {"biasI": 1.0}})
    assert status == 400 and "biasI" in refused["error"]
    assert node_unit(site.nodes["gamma"], 1)["config"]["biasI"] == before["gamma"]


def test_an_iv_sweep_through_the_site_runs_on_its_node(site):
    status, job = site.post("/api/jobs/iv", {"units": ["gamma/1"], "start": 0.0,
                                             "stop": 2e-6, "step": 1e-6, "point_steps": 5})
    assert status == 202, job
    gamma = site.nodes["gamma"]
    done = wait_for(lambda: [j for j in node_jobs(gamma, "iv")
                             if j["state"] in ("done", "failed")], 60, "the sweep done on gamma")
    assert done[0]["state"] == "done" and done[0]["units"] == [1]
    for name in ("alpha", "beta"):
        assert not node_jobs(site.nodes[name], "iv")


def test_a_killed_node_is_an_alarm_at_the_site(site):
    site.nodes["alpha"].stop(signal.SIGKILL)
    killed = time.monotonic()
    wait_for(lambda: [a for a in site.get("/api/alarms")["alarms"]
                      if a["id"] == "node-lost:alpha" and a["state"] == "active"], 30,
             "the node-lost alarm")
    # not before its time-out of 3 s from the last heartbeat (sent every second)
    assert time.monotonic() - killed >= 1.9
    states = {n["node"]: n["state"] for n in site.get("/api/nodes")["nodes"]}
    assert states == {"alpha": "lost", "beta": "ok", "gamma": "ok"}
