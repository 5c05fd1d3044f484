"""Alarms of a running `vantor serve`, raised and cleared by the simulator's
faults and a killed worker process, acknowledged through the API, the client
and the CLI, sent on the live stream and to the command hook, and scraped
from /metrics."""
import json
import os
import signal
import subprocess
import sys
import time
import urllib.request

import pytest
from prometheus_client.parser import text_string_to_metric_families

from tests.service_process import Service, settings_text, wait_for
from vantor.client import Client, ServiceError

SETTINGS = settings_text([2, 2], """
buffSize = 10
timeout = 0.5

[alarms]
temp1_max = 30.0          # the simulator's boards run near 35
loss_percent = 2.0
disk_min_mb = 1e9         # more than any test machine has free
hook = [{python!r}, "-c", "import sys; open({out!r}, 'a').write(sys.stdin.read())"]
""")


def find(client, condition, subject=None, state=None):
    return [a for a in client.alarms() if a["condition"] == condition
            and (subject is None or a["subject"] == subject)
            and (state is None or a["state"] == state)]


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    root = tmp_path_factory.mktemp("alarms")
    hook_out = root / "hook.jsonl"
    config = root / "site.toml"
    config.write_text(SETTINGS.format(python=sys.executable, out=str(hook_out)))
    with Service(root / "data", "--config", str(config), "--worker-processes", "2",
                 "--silence", "0.1@2-4", "--ignore-updates", "1.1", "--pll-unlocked", "1",
                 "--drop", "0.1") as svc:
        svc.hook_out = hook_out
        yield svc


@pytest.fixture
def client(service):
    return Client(service.url)


def logged(client, alarm_id):
    return [t for t in client.alarm_log(since=-120) if t["id"] == alarm_id]


def hook_calls(service):
    if not service.hook_out.exists():
        return []
    return [json.loads(line) for line in service.hook_out.read_text().splitlines()]


def test_silence_raises_clears_and_is_acknowledged(service, client):
    cleared = wait_for(lambda: find(client, "silent", "unit 0.1", "cleared"),
                       what="silence raised and cleared")[0]
    acked = client.ack(cleared["id"], "cable reseated")
    assert acked["state"] == "cleared" and not acked["shown"]
    assert not find(client, "silent", "unit 0.1")
    log = wait_for(lambda: len(logged(client, cleared["id"])) == 3 and
                   logged(client, cleared["id"]), what="three logged transitions")
    assert [t["transition"] for t in reversed(log)] == ["raised", "cleared", "acknowledged"]
    assert log[0]["comment"] == "cable reseated"
    calls = wait_for(lambda: [c for c in hook_calls(service) if c["id"] == cleared["id"]
                              and c["transition"] == "acknowledged"] and
                     [c for c in hook_calls(service) if c["id"] == cleared["id"]],
                     what="hook calls")
    assert [c["transition"] for c in calls] == ["raised", "cleared", "acknowledged"]
    assert calls[0]["subject"] == "unit 0.1" and calls[0]["state"] == "active"


def test_board_conditions(client):
    pll = wait_for(lambda: find(client, "pll"), what="PLL alarm")
    assert [a["subject"] for a in pll] == ["board 1"] and pll[0]["state"] == "active"
    temps = wait_for(lambda: len(find(client, "temperature")) == 2 and
                     find(client, "temperature"), what="temperature alarms")
    assert {a["subject"] for a in temps} == {"board 0 temp1", "board 1 temp1"}
    assert all(a["value"] > 30 for a in temps)


def test_datagram_loss(client):
    loss = wait_for(lambda: find(client, "loss"), what="loss alarm")[0]
    assert loss["value"] > 2.0 and "datagrams lost" in loss["message"]


def test_free_disk_space(service, client):
    alarm = wait_for(lambda: find(client, "disk"), what="disk alarm")[0]
    assert alarm["subject"] == service.args[service.args.index("--data") + 1]
    assert "MB free, below 1000000000 MB" in alarm["message"]


def test_a_unit_that_ignores_updates(client):
    with pytest.raises(ServiceError, match="1.1"):
        client.configure(["1.1"], biasI=1.5e-5, timeout=1)
    alarm = wait_for(lambda: find(client, "verification", "unit 1.1"), what="verification")[0]
    assert "does not follow its settings" in alarm["message"]
    assert not find(client, "verification", "unit 1.0")


def worker_pids(service):
    children = open(f"/proc/{service.proc.pid}/task/{service.proc.pid}/children").read().split()
    return [int(p) for p in children if b"spawn_main" in _cmdline(p)]


def _cmdline(pid):
    """A child's command line; empty for one that ended meanwhile."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as fh:
            return fh.read()
    except FileNotFoundError:
        return b""


def test_a_killed_worker_process(service, client):
    pids = wait_for(lambda: len(worker_pids(service)) == 2 and worker_pids(service),
                    what="two worker processes")
    os.kill(pids[0], signal.SIGKILL)
    alarm = wait_for(lambda: find(client, "worker"), what="worker alarm")[0]
    assert "died" in alarm["message"]
    wait_for(lambda: find(client, "worker", state="cleared"), what="worker restarted")


def test_ack_from_the_command_line(service, client):
    alarm = wait_for(lambda: find(client, "pll", state="active"), what="PLL alarm")[0]
    cli = [sys.executable, "-m", "vantor"]
    done = subprocess.run(cli + ["ack", alarm["id"], "-m", "on it", "--server", service.url],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert f"alarm {alarm['id']} acknowledged" in done.stdout and "still shown" in done.stdout
    listed = subprocess.run(cli + ["alarms", "--server", service.url],
                            capture_output=True, text=True, timeout=60)
    line = [ln for ln in listed.stdout.splitlines() if ln.split()[:1] == [alarm["id"]]][0]
    assert "acknowledged" in line and "on it" in line
    missing = subprocess.run(cli + ["ack", "99999", "--server", service.url],
                             capture_output=True, text=True, timeout=60)
    assert missing.returncode == 2 and "no alarm with id '99999'" in missing.stderr


@pytest.mark.parametrize("path,body,status,message", [
    ("/api/alarms/99999/ack", {}, 404, "no alarm with id"),
    ("/api/alarms/1/ack", {"comment": 5}, 400, "comment: expected text"),
    ("/api/alarms/1/ack", {"note": "x"}, 400, "note: unknown key"),
])
def test_bad_acknowledgements(service, path, body, status, message):
    req = urllib.request.Request(service.url + path, data=json.dumps(body).encode(),
                                 method="POST", headers={"Content-Type": "application/json"})
    with pytest.raises(urllib.error.HTTPError) as info:
        urllib.request.urlopen(req, timeout=30)
    assert info.value.code == status and message in json.loads(info.value.read())["error"]


def test_transitions_reach_the_live_stream(client):
    alarm = wait_for(lambda: find(client, "temperature", state="active"), what="alarm")[0]
    with client.live(rate=1) as live:
        client.ack(alarm["id"], "seen live")
        deadline = time.monotonic() + 20
        for message in live:
            events = message.get("events") or [message.get("event") or {}]
            mine = [e for e in events if e.get("kind") == "alarm"
                    and e["alarm"]["id"] == alarm["id"]]
            if mine:
                assert mine[0]["alarm"]["transition"] == "acknowledged"
                break
            assert time.monotonic() < deadline, "no alarm event on the live stream"


def test_metrics_carry_units_boards_and_alarms(service, client):
    wait_for(lambda: find(client, "pll"), what="PLL alarm")
    with urllib.request.urlopen(service.url + "/metrics", timeout=30) as resp:
        assert resp.headers["Content-Type"].startswith("text/plain")
        text = resp.read().decode()
    samples = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            samples.setdefault(s.name, []).append((s.labels, s.value))
    rates = {(l["rank"], l["unit"]): v for l, v in samples["vantor_unit_rate"]}
    assert set(rates) >= {("1", "0.0"), ("4", "1.1")} and rates[("1", "0.0")] > 0
    pll = {l["mcu"]: v for l, v in samples["vantor_board_pll_locked"]}
    assert pll == {"0": 1.0, "1": 0.0}
    assert samples["vantor_dropped_total"][0][1] > 0
    shown = [l for l, _ in samples["vantor_alarm"] if l["condition"] == "pll"]
    assert shown and shown[0]["subject"] == "board 1"
    assert samples["vantor_archive_ok"][0][1] == 1.0
