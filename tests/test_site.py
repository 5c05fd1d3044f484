"""`vantor site` end to end on loopback: a real nats-server with JetStream,
nodes publishing on it as `vantor serve --node` does, and the site as a
process, read through its HTTP API."""
import asyncio
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from vantor.site import protocol

from .servers import NatsServer, free_port, nats_binary
from .service_process import vantor_env, wait_for
from .site_peers import BusNode, SiteProcess, window_rows

pytest.importorskip("nats")


def _fresh_stream(url):
    """Each test starts without the stream and the site's consumer a test
    before left on the session's server."""
    async def drop():
        import nats
        from nats.js.errors import NotFoundError
        nc = await nats.connect(url)
        try:
            await nc.jetstream().delete_stream(protocol.STREAM)
        except NotFoundError:
            pass
        await nc.close()
    asyncio.run(drop())


@pytest.fixture
def bus(nats_server):
    _fresh_stream(nats_server.url)
    return nats_server


@pytest.fixture
def nodes(bus):
    made = []

    def make(name, **kwargs):
        node = BusNode(bus.url, name, **kwargs)
        made.append(node)
        return node
    yield make
    for node in made:
        node.close()


@pytest.fixture
def sites():
    made = []

    def make(*args, **kwargs):
        site = SiteProcess(*args, **kwargs)
        made.append(site)
        return site
    yield make
    for site in made:
        _, _, err = site.stop(signal.SIGKILL)
        if err:
            print(f"vantor site {' '.join(site.args)} said:\n{err}")     # shown on failure


def archived(site, names, since, until):
    """{name: [window times]} of the site's archive at full resolution."""
    found = site.get(f"/api/history?units={','.join(names)}&since={since}&until={until}"
                     f"&resolution=0")
    return {name: entry["time"] for name, entry in found["series"].items()}


def wait_units(site, count):
    """Until the site knows `count` units from the nodes' snapshots (a node's
    heartbeat may come before its snapshot)."""
    wait_for(lambda: len(site.get("/api/units")["units"]) == count, what=f"{count} units")


def sent_times(node, rank):
    return [t for r, t in node.sent if r == rank]


def test_windows_of_two_nodes_reach_the_archive_and_the_units_under_their_names(
        bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    a, b = nodes("cryo-a", ranks=[1, 2, 3]), nodes("cryo-b", ranks=[1, 2])
    a.state(parts=2)           # a large snapshot comes in parts
    b.state()
    start = time.time() - 60
    a.windows(20, start=start)
    b.windows(20, start=start + 0.05)
    wait_for(lambda: {n["node"] for n in site.get("/api/nodes")["nodes"]} == {"cryo-a", "cryo-b"},
             what="both nodes at the site")
    units = wait_for(lambda: [u for u in site.get("/api/units")["units"]
                              if u.get("window_time") is not None]
                     if len(site.get("/api/units")["units"]) == 5 else None,
                     what="five units with windows")
    names = sorted((u["unit"], u["name"]) for u in units)
    assert names == [("cryo-a/1", "cryo-a/0.0"), ("cryo-a/2", "cryo-a/0.1"),
                     ("cryo-a/3", "cryo-a/0.2"), ("cryo-b/1", "cryo-b/0.0"),
                     ("cryo-b/2", "cryo-b/0.1")]
    # the same rank at two nodes keeps its own history
    wanted = ["cryo-a/1", "cryo-b/1", "cryo-a/0.2"]
    got = wait_for(lambda: (lambda h: h if all(len(h.get(n, [])) == 20 for n in
                                               ("cryo-a/1", "cryo-b/1", "cryo-a/3")) else None)(
        archived(site, wanted, start - 1, start + 10)), what="every window archived")
    assert got["cryo-a/1"] == pytest.approx(sent_times(a, 1))
    assert got["cryo-b/1"] == pytest.approx(sent_times(b, 1))
    assert got["cryo-a/3"] == pytest.approx(sent_times(a, 3))
    one = site.get("/api/units/cryo-b/0.1")
    assert (one["node"], one["rank"], one["rate"]) == ("cryo-b", 2, 1000.0)


def test_a_bare_rank_is_refused_with_two_nodes_and_taken_with_one(bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    a = nodes("alpha")
    a.state()
    wait_for(lambda: site.get("/api/nodes")["nodes"], what="alpha at the site")
    status, answer = site.post("/api/settings", {"units": [2], "settings": {"biasI": 1e-5}})
    assert status == 200 and a.requests[-1] == ("settings", {"units": [2], "settings":
                                                            {"biasI": 1e-5}})
    nodes("beta").state()
    wait_for(lambda: len(site.get("/api/nodes")["nodes"]) == 2, what="beta at the site")
    status, answer = site.post("/api/settings", {"units": ["2"], "settings": {"biasI": 1e-5}})
    assert status == 400
    assert "alpha, beta" in answer["error"] and "NODE/2" in answer["error"]


def test_commands_reach_the_node_that_owns_the_units_and_answer_as_it_did(
        bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    a, b = nodes("north"), nodes("south")
    for node in (a, b):
        node.state()
    wait_units(site, 8)
    b.answers["settings"] = (200, {"units": [{"rank": 3}], "verified": True})
    b.answers["iv"] = (409, {"error": "unit 3 is busy with job 7"})
    status, answer = site.post("/api/settings", {"units": ["south/3", "south/0.0"],
                                                 "settings": {"biasI": 2e-5}, "timeout": 3})
    assert (status, answer) == (200, {"units": [{"rank": 3, "node": "south", "unit": "south/3"}],
                                      "verified": True, "node": "south"})
    assert b.requests == [("settings", {"units": [3, "0.0"], "settings": {"biasI": 2e-5},
                                        "timeout": 3})]
    assert a.requests == []
    status, answer = site.post("/api/jobs/iv", {"units": ["south/3"]})
    assert status == 409 and answer["error"] == "unit 3 is busy with job 7"
    status, _ = site.post("/api/jobs/south/7/cancel", {})
    assert status == 200 and b.requests[-1] == ("cancel", {"job": "7"})
    status, _ = site.post("/api/alarms/north/silent:2/ack", {"comment": "known"})
    assert status == 200 and a.requests[-1] == ("ack", {"alarm": "silent:2", "comment": "known"})


@pytest.mark.parametrize("body, words", [
    ({"units": ["east/1"], "settings": {}}, "no node 'east'"),
    ({"units": ["north/99"], "settings": {}}, "has no rank 99"),
    ({"units": ["north/1.x"], "settings": {}}, "expected NODE/RANK"),
])
def test_names_the_site_cannot_place_are_refused_in_one_line(bus, nodes, sites, tmp_path,
                                                             body, words):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    nodes("north").state()
    wait_for(lambda: site.get("/api/units")["units"], what="north's units")
    status, answer = site.post("/api/settings", body)
    assert status in (400, 404) and words in answer["error"]


def test_a_node_whose_heartbeat_stops_is_an_alarm_until_it_is_heard_again(
        bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path), "--heartbeat-timeout", "1")
    node = nodes("cryo-1", heartbeat_s=0.2)
    wait_for(lambda: [n for n in site.get("/api/nodes")["nodes"] if n["state"] == "ok"],
             what="the node heard")
    node.beating = False
    stopped = time.monotonic()
    alarm = wait_for(lambda: [a for a in site.get("/api/alarms")["alarms"]
                              if a["id"] == "node-lost:cryo-1" and a["state"] == "active"],
                     what="the node-lost alarm")[0]
    # raised after its time-out (1 s), well before a generous bound on a loaded machine
    assert 0.9 <= time.monotonic() - stopped < 15
    assert "cryo-1" in alarm["message"]
    assert site.get("/api/nodes")["nodes"][0]["state"] == "lost"
    node.beating = True
    wait_for(lambda: [a for a in site.get("/api/alarms")["alarms"]
                      if a["id"] == "node-lost:cryo-1" and a["state"] == "cleared"],
             what="the alarm cleared")
    log = wait_for(lambda: site.get("/api/log/alarms")["transitions"], what="alarm log")
    assert {t["state"] for t in log if t["id"] == "node-lost:cryo-1"} >= {"active", "cleared"}
    metrics = _metrics(site)
    assert metrics['vantor_site_nodes_lost_total'] == 1.0
    assert metrics['vantor_site_node_up{node="cryo-1"}'] == 1.0
    # lost again, and the site killed: started again, it still shows the node lost
    node.beating = False
    wait_for(lambda: any(t["id"] == "node-lost:cryo-1" and t["state"] == "active" for t in
                         site.get("/api/log/alarms")["transitions"][:1]), what="lost, logged")
    site.stop(signal.SIGKILL)
    site = sites("--bus", bus.url, "--data", str(tmp_path), "--heartbeat-timeout", "1")
    assert site.get("/api/nodes")["nodes"][0]["state"] == "lost"
    assert [a["state"] for a in site.get("/api/alarms")["alarms"]
            if a["id"] == "node-lost:cryo-1"] == ["active"]
    node.beating = True
    wait_for(lambda: site.get("/api/nodes")["nodes"][0]["state"] == "ok", what="heard again")


def _metrics(site):
    with urllib.request.urlopen(site.url + "/metrics", timeout=10) as answer:
        text = answer.read().decode()
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in text.splitlines() if line and not line.startswith("#")}


def test_the_site_killed_and_started_again_backfills_without_a_gap(bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node = nodes("n1", ranks=[1, 2])
    node.state()
    start = time.time() - 120
    node.windows(10, start=start)
    wait_for(lambda: len(archived(site, ["n1/1"], start - 1, start + 60).get("n1/1", [])) == 10,
             what="the first windows archived")
    site.stop(signal.SIGKILL)
    node.windows(30, start=start + 1)           # sent while no site reads
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node.windows(10, start=start + 4)
    got = wait_for(lambda: (lambda h: h if len(h.get("n1/2", [])) == 50 else None)(
        archived(site, ["n1/2"], start - 1, start + 60)), what="every window after the restart")
    assert got["n1/2"] == pytest.approx(sorted(sent_times(node, 2)))
    assert wait_for(lambda: site.get("/api/status")["archive"]["pending"] == 0,
                    what="nothing pending in the stream")


def test_the_bus_away_for_ten_seconds_loses_no_window(bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node = nodes("n1", ranks=[1])
    start = time.time() - 120
    node.windows(5, start=start)
    wait_for(lambda: archived(site, ["n1/1"], start - 1, start + 60).get("n1/1"),
             what="the first windows archived")
    bus.stop(signal.SIGKILL)
    time.sleep(10)                              # the outage itself, not a wait for a result
    bus.start()
    node.windows(20, start=start + 1)
    got = wait_for(lambda: (lambda h: h if len(h.get("n1/1", [])) == 25 else None)(
        archived(site, ["n1/1"], start - 1, start + 60)), timeout=60,
        what="every window after the outage")
    assert got["n1/1"] == pytest.approx(sorted(sent_times(node, 1)))


@pytest.mark.parametrize("data, kind", [
    (b"\x00garbage", "windows"),
    (protocol.encode_windows("other", 1.0, []), "windows"),     # another node's name
    (b"{not json", "state"),
    (b'{"units": [{"name": "x"}]}', "state"),
    (b'{"alarm": 5}', "alarms"),
    (protocol.encode_windows("n1", 1.0, window_rows([2 ** 31], 1.0)), "windows"),   # no rank
])
def test_malformed_messages_are_counted_and_never_stop_the_archive(
        bus, nodes, sites, tmp_path, data, kind):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node = nodes("n1", ranks=[1])
    start = time.time() - 30
    node.windows(2, start=start)
    node.raw(kind, data)
    node.windows(2, start=start + 1)
    wait_for(lambda: len(archived(site, ["n1/1"], start - 1, start + 60).get("n1/1", [])) == 4,
             what="the windows around the malformed message")
    metrics = wait_for(lambda: (lambda m: m if m.get('vantor_site_malformed_total{path="archive"}')
                                == 1.0 else None)(_metrics(site)), what="counted once")
    assert metrics['vantor_site_malformed_total{path="live"}'] == 1.0
    assert site.proc.poll() is None


def test_an_unreachable_bus_is_one_line_and_a_failed_start(tmp_path):
    done = subprocess.run([sys.executable, "-m", "vantor", "site", "--bus",
                           f"nats://127.0.0.1:{free_port()}", "--http", "127.0.0.1:0",
                           "--data", str(tmp_path)], capture_output=True, text=True,
                          env=vantor_env(), timeout=60)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "cannot connect" in done.stderr


def _drop_consumer(url):
    async def drop():
        import nats
        from vantor.site.archive import DURABLE
        nc = await nats.connect(url)
        await nc.jetstream().delete_consumer(protocol.STREAM, DURABLE)
        await nc.close()
    asyncio.run(drop())


def test_sqlite_and_postgresql_archives_answer_the_same_history(bus, nodes, sites, tmp_path,
                                                                postgres_url):
    a, b = nodes("a", ranks=[1, 2]), nodes("b", ranks=[1])
    start = time.time() - 600
    a.windows(150, start=start, step=1.0)        # minutes' worth: minute aggregates too
    b.windows(150, start=start + 0.5, step=1.0)
    names = ["a/1", "a/2", "b/1"]
    answers = {}
    for store, extra in (("sqlite", []), ("postgresql", ["--archive", postgres_url])):
        site = sites("--bus", bus.url, "--data", str(tmp_path / store), *extra)
        wait_for(lambda: len(site.get("/api/nodes")["nodes"]) == 2, what="both nodes heard")
        wait_for(lambda: all(len(v) == 150 for v in archived(
            site, names, start - 1, start + 200).values()) and len(archived(
                site, names, start - 1, start + 200)) == 3, what=f"{store}: every window")
        answers[store] = [site.get(f"/api/history?units={','.join(names)}&since={start - 1}"
                                   f"&until={start + 200}&resolution={resolution}")
                          for resolution in (0, 60)]
        site.stop()
        _drop_consumer(bus.url)               # the next site reads the stream from its start
    assert answers["sqlite"] == answers["postgresql"]
    full, minutes = answers["sqlite"]
    assert full["series"]["b/1"]["time"] == pytest.approx(sent_times(b, 1))
    assert sum(minutes["series"]["a/2"]["n"]) == 150


@pytest.mark.parametrize("password, works", [("wrong", False), ("secret", True)])
def test_bus_credentials_come_from_the_bus_table(tmp_path, password, works):
    if nats_binary() is None:
        pytest.skip("nats-server is not installed")
    server = NatsServer(nats_binary(), config='authorization { users = [ '
                                              '{ user: "site", password: "secret" } ] }\n')
    server.start()
    config = tmp_path / "site.toml"
    config.write_text(f'[bus]\nurl = "{server.url}"\nuser = "site"\npassword = "{password}"\n')
    try:
        if works:
            site = SiteProcess("--config", str(config), "--data", str(tmp_path))
            assert site.get("/api/nodes") == {"nodes": []}
            assert site.stop()[0] == 0
            return
        done = subprocess.run([sys.executable, "-m", "vantor", "site", "--config", str(config),
                               "--http", "127.0.0.1:0", "--data", str(tmp_path)],
                              capture_output=True, text=True, env=vantor_env(), timeout=60)
        assert done.returncode == 2
        assert done.stderr.count("\n") == 1 and "refused our credentials" in done.stderr
        assert "secret" not in done.stderr and "wrong" not in done.stderr
    finally:
        server.close()


def test_the_client_takes_node_qualified_names(bus, nodes, sites, tmp_path):
    from vantor.client import Client
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    a, b = nodes("north", ranks=[1, 2]), nodes("south", ranks=[1, 2])
    for node in (a, b):
        node.state()
        node.answers["settings"] = (200, {"units": [{"rank": 1, "name": "0.0"}],
                                          "verified": True})
    start = time.time() - 30
    a.windows(3, start=start)
    client = Client(site.url)
    wait_units(site, 4)
    assert client.unit("south/0.1")["unit"] == "south/2"
    changed = client.configure(["north/1", "south/0.0"], biasI=1e-5)
    assert sorted(u["node"] for u in changed) == ["north", "south"]
    assert a.requests[-1][1]["units"] == [1] and b.requests[-1][1]["units"] == ["0.0"]
    def north_1():
        found = client.history(["north/1"], since=start - 1, until=start + 10, resolution=0)
        return found["north/1"] if len(found.get("north/1", {}).get("time", [])) == 3 else None
    found = wait_for(north_1, what="north/1's three windows in the history")
    assert list(found["time"]) == pytest.approx(sent_times(a, 1))
    done = subprocess.run([sys.executable, "-m", "vantor", "set", "north/2,south/1", "biasI=1e-5",
                           "--server", site.url], capture_output=True, text=True,
                          env=vantor_env(), timeout=60)
    assert done.returncode == 0, done.stderr
    assert "on north/0.0, south/0.0" in done.stdout
    assert b.requests[-1] == ("settings", {"units": [1], "settings": {"biasI": 1e-5},
                                           "timeout": 5.0})
    done = subprocess.run([sys.executable, "-m", "vantor", "status", "--server", site.url],
                          capture_output=True, text=True, env=vantor_env(), timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert "2 nodes, 4 units, 0 lost" in lines[1]
    assert [line.split()[:2] for line in lines[2:4]] == [["north", "ok"], ["south", "ok"]]
    assert sorted(line.split()[0] for line in lines[6:]) == ["north/1", "north/2", "south/1",
                                                             "south/2"]


def test_the_live_stream_names_units_by_node_and_tells_of_a_lost_node(bus, nodes, sites,
                                                                       tmp_path):
    import aiohttp
    site = sites("--bus", bus.url, "--data", str(tmp_path), "--heartbeat-timeout", "1")
    a, b = nodes("a", ranks=[1, 2]), nodes("b", ranks=[1])
    wait_for(lambda: len(site.get("/api/nodes")["nodes"]) == 2, what="both nodes")

    async def follow():
        seen, events = set(), []
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(site.url.replace("http", "ws") + "/api/live?rate=10") \
                    as ws:
                hello = await ws.receive_json(timeout=10)
                assert hello["type"] == "hello" and len(hello["nodes"]) == 2
                a.windows(1)
                b.windows(1)
                b.beating = False
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline and not (
                        len(seen) == 3 and any(e.get("id") == "node-lost:b" for e in events)):
                    msg = await ws.receive_json(timeout=10)
                    if msg["type"] == "records":
                        seen |= {(r["unit"], r["node"], r["rank"]) for r in msg["records"]}
                    elif msg["type"] == "event":
                        events.append(msg["event"])
        return seen, events
    seen, events = asyncio.run(follow())
    assert seen == {("a/1", "a", 1), ("a/2", "a", 2), ("b/1", "b", 1)}
    lost = [e for e in events if e.get("id") == "node-lost:b"]
    assert lost[0]["state"] == "active" and lost[0]["kind"] == "alarm"


def test_the_site_asks_for_a_token_as_vantor_serve_does(bus, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path), "--auth", "always")
    request = urllib.request.Request(site.url + "/api/nodes")
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request, timeout=10)
    assert refused.value.code == 401
    token = (tmp_path / "token").read_text().strip()
    request.add_header("Authorization", f"Bearer {token}")
    with urllib.request.urlopen(request, timeout=10) as answer:
        assert answer.status == 200


def test_settings_changes_of_a_node_are_logged_under_its_names(bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node = nodes("n7", ranks=[1, 2])
    node.windows(1)
    node.raw("events", protocol.encode_json({"node": "n7", "time": time.time(), "event": {
        "kind": "settings", "time": time.time(), "via": "api", "actor": None,
        "changes": [{"rank": 2, "name": "0.1", "field": "biasI", "old": 1e-5, "new": 2e-5}]}}))
    changes = wait_for(lambda: site.get("/api/log/settings")["changes"], what="the change logged")
    assert [(c["node"], c["rank"], c["unit"], c["name"], c["new"]) for c in changes] == [
        ("n7", 2, "n7/2", "n7/0.1", 2e-5)]


def test_the_postgresql_archive_restarted_loses_no_window(bus, nodes, sites, tmp_path,
                                                          postgres_server, postgres_url):
    site = sites("--bus", bus.url, "--data", str(tmp_path), "--archive", postgres_url)
    node = nodes("n1", ranks=[1, 2])
    start = time.time() - 60
    node.windows(5, start=start)
    wait_for(lambda: len(archived(site, ["n1/1"], start - 1, start + 30).get("n1/1", [])) == 5,
             what="the first windows archived")
    postgres_server.restart()            # the site's connections break under it
    node.windows(10, start=start + 1)
    got = wait_for(lambda: (lambda h: h if len(h.get("n1/2", [])) == 15 else None)(
        archived(site, ["n1/2"], start - 1, start + 30)), timeout=60,
        what="every window after the database came back")
    assert got["n1/2"] == pytest.approx(sorted(sent_times(node, 2)))


def test_random_bytes_on_every_subject_never_stop_the_site(bus, nodes, sites, tmp_path):
    import random
    rng = random.Random(5)
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node = nodes("n1", ranks=[1, 2, 3])
    good = {"windows": protocol.encode_windows("n1", 1.0, window_rows([1, 2, 3], 1.0)),
            "state": protocol.encode_json({"node": "n1", "time": 1.0, "units": [{"rank": 1}]}),
            "alarms": protocol.encode_json({"node": "n1", "time": 1.0, "transition": "raised",
                                            "alarm": {"id": "x", "time": 1.0}}),
            "events": protocol.encode_json({"node": "n1", "time": 1.0, "event": {
                "kind": "settings", "changes": [{"rank": 1}]}})}
    sent = 0
    for _ in range(60):
        kind = rng.choice(sorted(good))
        data = bytearray(good[kind])
        for _ in range(rng.randint(1, 6)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        node.raw(kind, bytes(data[:rng.randint(1, len(data))]))
        sent += 1
    start = time.time() - 30
    node.windows(3, start=start)
    wait_for(lambda: len(archived(site, ["n1/3"], start - 1, start + 30).get("n1/3", [])) == 3,
             what="windows after the noise archived")
    assert site.proc.poll() is None
    assert site.get("/api/status")["malformed"] >= 1
    code, _, err = site.stop()
    assert code == 0 and "Traceback" not in err, err


def test_messages_handed_out_again_are_not_archived_twice(bus, nodes, sites, tmp_path):
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node = nodes("n1", ranks=[1])
    start = time.time() - 60
    node.windows(8, start=start)
    wait_for(lambda: len(archived(site, ["n1/1"], start - 1, start + 30).get("n1/1", [])) == 8,
             what="the windows archived")
    site.stop(signal.SIGKILL)
    _drop_consumer(bus.url)        # as if none of it had been acked: all of it comes again
    site = sites("--bus", bus.url, "--data", str(tmp_path))
    node.windows(2, start=start + 1)
    got = wait_for(lambda: (lambda h: h if len(h.get("n1/1", [])) >= 10 else None)(
        archived(site, ["n1/1"], start - 1, start + 30)), what="the new windows archived")
    assert got["n1/1"] == pytest.approx(sorted(sent_times(node, 1)))
