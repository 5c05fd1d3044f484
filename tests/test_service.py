"""`vantor serve` end to end: real HTTP, the WebSocket and the Python client
against the service running the simulator in its own process."""
import concurrent.futures
import json
import signal
import struct
import threading
import tomllib
import urllib.request

import numpy as np
import pytest

from tests.service_process import Service, settings_text, wait_for
from vantor.client import Client, ServiceError

h5py = pytest.importorskip("h5py")

SETTINGS = settings_text([3, 3], "buffSize = 10\ntimeout = 0.5")
IGNORING = "1.2"          # a unit that never applies updates


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    root = tmp_path_factory.mktemp("service")
    config = root / "site.toml"
    config.write_text(SETTINGS)
    with Service(root / "data", "--config", str(config), "--ignore-updates", IGNORING) as svc:
        svc.config = config
        yield svc


@pytest.fixture
def client(service):
    return Client(service.url)


def raw(url, method="GET", body=None, headers=None):
    """(status, decoded JSON answer) of one HTTP request; a body goes as JSON
    unless `headers` say otherwise."""
    headers = dict(headers or {})
    if body is not None:
        headers.setdefault("Content-Type", "application/json")
    req = urllib.request.Request(url, data=body, method=method, headers=headers)
    try:
        with urllib.request.urlopen(req, timeout=30) as resp:
            return resp.status, json.loads(resp.read())
    except urllib.error.HTTPError as exc:
        return exc.code, json.loads(exc.read())


class TestUnits:
    def test_every_unit_with_its_state_and_configuration(self, client):
        units = client.units()
        assert [u["rank"] for u in units] == list(range(1, 7))
        one = client.unit("1.1")
        assert (one["rank"], one["name"], one["mcuId"], one["cuId"]) == (5, "1.1", 1, 1)
        assert set(one["config"]) >= {"biasI", "biasIStart", "resistorBias", "cuStatus", "powered"}
        assert client.unit(5)["config"] == one["config"]
        assert [b["mcuId"] for b in client.boards()] == [0, 1]

    @pytest.mark.parametrize("method, path, status", [
        ("GET", "/api/nothing", 404), ("DELETE", "/api/units", 405),
        ("GET", "/api/settings", 405)])
    def test_unknown_routes_and_methods_answer_json(self, service, method, path, status):
        code, answer = raw(service.url + path, method)
        assert code == status and path in answer["error"]

    def test_unknown_unit_is_404(self, service):
        status, body = raw(service.url + "/api/units/7.7")
        assert status == 404 and "7.7" in body["error"]


class TestSettings:
    def test_change_is_verified_by_the_units_echo_and_saved(self, client, service):
        target = f32(1.25e-5)
        units = client.configure([1, "1.0"], biasI=1.25e-5)
        assert [u["rank"] for u in units] == [1, 4]
        assert all(u["config"]["biasI"] == target for u in units)
        saved = tomllib.loads(service.config.read_text())
        tables = [u for m in saved["mcu"] for u in m["unit"]]
        assert tables[0]["biasI"] == target and tables[3]["biasI"] == target
        client.configure([1], biasI=1.5e-5)
        backups = list(service.config.parent.glob("site.toml.*.bak"))
        assert backups, "the previous settings file is kept as a backup"
        assert any(tomllib.loads(b.read_text())["mcu"][0]["unit"][0].get("biasI") == target
                   for b in backups)

    def test_a_unit_that_does_not_follow_is_named(self, client):
        with pytest.raises(ServiceError) as err:
            client.configure([2, IGNORING], timeout=1.0, triggerV=0.12)
        assert err.value.status == 504 and IGNORING in str(err.value)
        assert "0.1" not in str(err.value).split("did not")[0]

    @pytest.mark.parametrize("body, status, words", [
        ({"units": [99], "settings": {"biasI": 1e-5}}, 400, "99"),
        ({"units": ["9.9"], "settings": {"biasI": 1e-5}}, 400, "9.9"),
        ({"units": [], "settings": {"biasI": 1e-5}}, 400, "no unit"),
        ({"units": [1], "settings": {"biasJ": 1e-5}}, 400, "biasJ"),
        ({"units": [1], "settings": {"mcuId": 3}}, 400, "mcuId"),
        ({"units": [1], "settings": {"biasI": 2.0}}, 400, "biasI"),
        ({"units": [1], "settings": {"biasI": -1e-5}}, 400, "biasI"),
        ({"units": [1], "settings": {"powered": 7}}, 400, "powered"),
        ({"units": [1], "settings": {"biasI": "x"}}, 400, "biasI"),
        ({"units": [1, 2], "settings": {"biasI": 1e-5, "pgaGain": 300}}, 400, "pgaGain"),
        ({"settings": {"biasI": 1e-5}}, 400, "units"),
        ({"units": [1], "settings": {}}, 400, "settings"),
    ])
    def test_bad_requests_name_the_problem_and_change_nothing(self, service, client, body,
                                                              status, words):
        before = [u["config"] for u in client.units()]
        code, answer = raw(service.url + "/api/settings", "POST", json.dumps(body).encode())
        assert code == status and words in answer["error"]
        assert [u["config"] for u in client.units()] == before

    @pytest.mark.parametrize("payload, status, words", [
        (b'{"units": [1], "settings": {"biasI": NaN}}', 400, "NaN"),
        (b'{"units": [1], "settings": {"biasI": Infinity}}', 400, "Infinity"),
        (b'{"units": [1], "settings":', 400, "JSON"),
        (b'[1, 2]', 400, "object"),
        (b'{"units": [1], "settings": {"biasI": 1e-5}, "pad": "' + b"x" * 70000 + b'"}', 413,
         "limit"),
    ])
    def test_malformed_bodies(self, service, client, payload, status, words):
        before = client.unit(1)["config"]
        code, answer = raw(service.url + "/api/settings", "POST", payload)
        assert code == status and words in answer["error"]
        assert client.unit(1)["config"] == before

    def test_limits_are_served(self, client):
        limits = client.limits()
        assert limits["biasI"]["max"] >= 4e-5 and limits["biasI"]["min"] <= 0


class TestJobs:
    def test_sweep_of_two_units_while_the_others_record_without_a_gap(self, client):
        recording = client.submit_acquire([3, 5, 6], seconds=1.5)
        curves = client.iv([1, "1.0"], start=0, stop=1e-5, step=1e-6, point_steps=2)
        assert sorted(curves) == [1, 4]
        for curve in curves.values():
            assert np.allclose(curve["biasI"], np.arange(11) * 1e-6, atol=5e-9)
            assert len(curve["counts"]) == len(curve["monitorV"]) == 11
        client.wait(recording)
        data = client.result(recording)
        for rank in (3, 5, 6):
            t = data[rank]["time"]
            assert len(t) >= 12 and np.all(np.isfinite(data[rank]["counts"]))
            assert np.allclose(np.diff(t), 0.1, atol=1e-6), f"rank {rank} has a gap"
        latest = client.latest_iv()
        assert sorted(latest)[:2] == [1, 4] and latest[1]["params"]["step"] == pytest.approx(1e-6)

    def test_queued_job_reports_its_place_and_cancels(self, client):
        long = client.submit_iv([2], start=0, stop=4e-5, step=1e-6, point_steps=20)
        queued = client.submit_iv([3], start=0, stop=1e-5, step=1e-6, point_steps=2)
        assert client.job(queued)["queue_position"] == 1
        assert client.cancel(queued)["state"] == "cancelled"
        wait_for(lambda: client.unit(2)["status"] == "IV", 10, "unit 2 sweeping")
        with pytest.raises(ServiceError, match="IV sweep") as err:
            client.configure([2], biasI=1e-5)
        assert err.value.status == 400
        client.cancel(long)
        with pytest.raises(ServiceError) as err:
            client.wait(long)
        assert err.value.job["state"] == "cancelled"
        assert client.unit(2)["config"]["cuStatus"] in (0, 3)   # asked to end the sweep

    def test_a_unit_that_ignores_the_sweep_leaves_the_others_curves(self, client):
        job = client.submit_iv([5, IGNORING], start=0, stop=4e-6, step=1e-6, point_steps=2,
                               timeout=3)
        with pytest.raises(ServiceError) as err:
            client.wait(job)
        assert err.value.job["state"] == "failed" and IGNORING in err.value.job["error"]
        result = client.result(job)
        assert len(result[5]["counts"]) == 5 and not result[5]["problem"]
        assert len(result[6]["counts"]) == 0 and result[6]["problem"]

    def test_acquisition_file_opens_with_h5py(self, client, tmp_path):
        job = client.submit_acquire(["0.0"], seconds=0.5)
        client.wait(job)
        path = client.download(job, tmp_path / "run.h5")
        with h5py.File(path) as f:
            counts = [d for name, d in _datasets(f) if name.endswith("counts")]
        assert counts and len(counts[0]) >= 3
        # Two downloads at once: the file is written once and both get it whole.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            paths = list(pool.map(lambda n: client.download(job, tmp_path / f"run{n}.csv"),
                                  (1, 2)))
        texts = [p.read_text() for p in paths]
        assert "counts" in texts[0] and texts[0] == texts[1]

    @pytest.mark.parametrize("path, body, words", [
        ("/api/jobs/iv", {"units": [1], "start": 0, "stop": 1e-5, "step": 1.5e-8}, "grid"),
        ("/api/jobs/iv", {"units": [], "start": 0}, "no unit"),
        ("/api/jobs/iv", {"units": [1], "step": "x"}, "step"),
        ("/api/jobs/acquire", {"units": [1], "seconds": -1}, "seconds"),
        ("/api/jobs/acquire", {"units": [1]}, "seconds"),
        ("/api/jobs/acquire", {"units": [1], "seconds": 1, "extra": 2}, "extra"),
    ])
    def test_bad_jobs_are_refused(self, service, path, body, words):
        code, answer = raw(service.url + path, "POST", json.dumps(body).encode())
        assert code == 400 and words in answer["error"]

    def test_unknown_job(self, service):
        code, answer = raw(service.url + "/api/jobs/999")
        assert code == 404 and "999" in answer["error"]


def _datasets(group, prefix=""):
    for name, item in group.items():
        if hasattr(item, "keys"):
            yield from _datasets(item, f"{prefix}{name}/")
        else:
            yield f"{prefix}{name}", item[()]


class TestLive:
    def test_two_clients_see_changing_rates_and_events(self, service):
        wait_for(lambda: all(u["windows"] for u in Client(service.url).units()), 20,
                 "every unit's first window")
        got = {}

        def listen(key, **kw):
            with Client(service.url).live(**kw) as stream:
                messages = []
                for message in stream:
                    messages.append(message)
                    if len(messages) >= 8:
                        break
                got[key] = messages

        threads = [threading.Thread(target=listen, args=("summary",), kwargs={"rate": 10}),
                   threading.Thread(target=listen, args=("records",),
                                    kwargs={"rate": 10, "mode": "records", "units": [1, "1.0"]})]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        summary, records = got["summary"], got["records"]
        assert summary[0]["type"] == "hello" and len(summary[0]["snapshot"]["units"]) == 6
        updates = [m for m in summary[1:] if m["type"] == "summary"]
        assert any(m["units"] for m in updates), "rates change at least once a window"
        seen = {r["rank"] for m in records if m["type"] == "records" for r in m["records"]}
        assert seen == {1, 4}

    @pytest.mark.parametrize("query", ["rate=0", "rate=x", "mode=raw", "units=0.9"])
    def test_bad_options(self, service, query):
        code, answer = raw(f"{service.url}/api/live?{query}")
        assert code == 400 and answer["error"]


def test_restart_restores_settings_and_sigterm_stops_cleanly(tmp_path):
    data = tmp_path / "data"
    with Service(data, "--mcus", "1", "--units", "2") as svc:
        Client(svc.url).configure(["0.1"], biasI=1.75e-5, pgaGain=3)
        status, out, err = svc.stop(signal.SIGTERM)
    assert status == 0 and "stopped" in out and "Traceback" not in err
    with Service(data, "--mcus", "1", "--units", "2") as svc:
        config = Client(svc.url).unit(2)["config"]
        assert (config["biasI"], config["pgaGain"]) == (f32(1.75e-5), 3)
        assert "settings from" in "".join(svc.lines)


def test_ctrl_c_after_a_download_stops_the_service_and_its_helper_quietly(tmp_path):
    with Service(tmp_path / "data", "--mcus", "1", "--units", "1") as svc:
        client = Client(svc.url)
        job = client.submit_acquire([1], seconds=0.3)
        client.wait(job)
        client.download(job, tmp_path / "run.csv")       # starts the helper process
        status, out, err = svc.stop(signal.SIGINT, group=True)
    assert status in (0, 130) and "Traceback" not in err, err


def test_off_loopback_every_request_needs_the_token(tmp_path):
    data = tmp_path / "data"
    with Service(data, "--http", "0.0.0.0:0", "--mcus", "1", "--units", "1") as svc:
        url = svc.url.replace("0.0.0.0", "127.0.0.1")
        token = (data / "token").read_text().strip()
        assert (data / "token").stat().st_mode & 0o777 == 0o600
        assert raw(url + "/api/status")[0] == 401
        assert raw(url + "/api/status", headers={"Authorization": "Bearer nope"})[0] == 403
        code, body = raw(url + "/api/settings", "POST",
                         b'{"units": [1], "settings": {"biasI": 1e-5}}')
        assert code == 401
        assert raw(url + "/api/status", headers={"Authorization": f"Bearer {token}"})[0] == 200
        assert Client(url, token=token).unit(1)["config"]["biasI"] == f32(2e-5)


def vantor(*args):
    import subprocess
    import sys
    return subprocess.run([sys.executable, "-m", "vantor", *args], capture_output=True,
                          text=True, timeout=120)


class TestCommandLine:
    def test_set_and_status(self, service, client):
        done = vantor("set", "2,1.1", "biasI=1.1e-5", "--server", service.url)
        assert done.returncode == 0 and "0.1, 1.1" in done.stdout, done.stderr
        assert client.unit("1.1")["config"]["biasI"] == f32(1.1e-5)
        shown = vantor("status", "--server", service.url)
        assert shown.returncode == 0 and "mcu   1" in shown.stdout
        assert len([l for l in shown.stdout.splitlines() if l.split()[1:2] == ["0.2"]]) == 1

    @pytest.mark.parametrize("args, words", [
        (["set", "9", "biasI=1e-5"], "9"),
        (["set", "1", "biasI"], "FIELD=VALUE"),
        (["set", "1", "biasI=abc"], "biasI"),
        (["set", "", "biasI=1e-5"], "empty"),
    ])
    def test_set_refuses_with_one_line(self, service, args, words):
        done = vantor(*args, "--server", service.url)
        assert done.returncode == 2 and words in done.stderr
        assert "Traceback" not in done.stderr and len(done.stderr.strip().splitlines()) == 1

    def test_iv_runs_on_the_service_and_saves_here(self, service, tmp_path):
        out = tmp_path / "iv.h5"
        done = vantor("iv", "--server", service.url, "--channels", "0.0,3", "--start", "0",
                      "--stop", "4e-6", "--step", "1e-6", "--point-steps", "2",
                      "--out", str(out), "--quiet")
        assert done.returncode == 0, done.stderr
        assert service.url in done.stdout and out.exists() and out.with_suffix(".png").exists()

    def test_vantor_record_waits_behind_a_running_acquisition_and_ends_nothing(
            self, service, client, tmp_path):
        """The hub holds one recording: `vantor record` while the service
        records waits its turn, and both recordings keep all they recorded."""
        first = client.submit_acquire(["0.0"], seconds=3)
        wait_for(lambda: client.job(first)["state"] == "running", 10, "the first acquisition")
        out = tmp_path / "second.csv"
        done = vantor("record", "--server", service.url, "--channels", "0.1", "--seconds", "1",
                      "--out", str(out), "--no-plot", "--quiet")
        assert done.returncode == 0, done.stderr
        job = client.job(first)
        assert job["state"] == "done" and job["finished"] is not None
        kept = client.result(first)[1]
        assert len(kept["time"]) >= 25 and not kept["problem"]      # 3 s of 0.1 s windows
        assert np.all(kept["received"][kept["status"] == 0] == 10)  # every window whole
        second = [line for line in out.read_text().splitlines() if not line.startswith("#")]
        assert len(second) >= 1 + 8

    def test_no_service_answering_is_said(self, tmp_path):
        done = vantor("status", "--server", "http://127.0.0.1:9")
        assert done.returncode == 1 and "no vantor service answers" in done.stderr
