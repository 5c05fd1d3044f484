"""The archive of a running `vantor serve`: rows at the expected cadence,
logs, export read back with h5py and csv, a restart that continues the same
archive, and a database that cannot be used leaving the live path running."""
import csv
import json
import subprocess
import time
import urllib.request

import h5py
import numpy as np
import pytest

from tests.service_process import Service, settings_text, wait_for
from vantor.client import Client, ServiceError

SETTINGS = settings_text([3], "buffSize = 10\ntimeout = 0.5")


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as resp:
            return resp.status, resp.read()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read()


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("history")
    config = root / "site.toml"
    config.write_text(SETTINGS)
    return root, config


@pytest.fixture(scope="module")
def service(site):
    root, config = site
    with Service(root / "data", "--config", str(config)) as svc:
        svc.started = time.time()
        yield svc


def test_rows_land_at_their_cadence(service):
    client = Client(service.url)
    wait_for(lambda: len(client.board_history([0], since=-60)[0]["time"]) >= 4,
             what="four board reports")
    now = time.time()
    rates = client.history([1, "0.2"], since=now - 60, until=now + 60)
    assert set(rates) == {1, 3}
    for series in rates.values():
        steps = np.diff(series["time"])
        assert np.allclose(steps, 0.1, atol=1e-6)          # one window per 100 ms
        assert np.all(series["value"] > 0)
        assert abs(series["time"][-1] - now) < 5           # board time turned to unix time
    boards = client.board_history(quantity="temp1", since=now - 60)
    steps = np.diff(boards[0]["time"])
    assert len(steps) >= 2 and np.all((steps > 0.5) & (steps < 1.5))     # one report a second
    assert 20 < boards[0]["value"].mean() < 50
    status, body = get(f"{service.url}/api/history/counters?quantity=records_in&since=-30")
    counts = json.loads(body)["series"]["0"]["value"]
    assert status == 200 and len(counts) >= 2 and counts == sorted(counts)


def test_settings_changes_are_logged_with_their_interface(service):
    client = Client(service.url)
    client.configure(["0.1"], biasI=1.5e-5)
    log = wait_for(lambda: client.settings_log(since=-60), what="a logged change")
    change = log[0]
    assert (change["rank"], change["name"], change["field"], change["via"]) == \
        (2, "0.1", "biasI", "client")
    assert change["actor"] == {"token": None, "address": "127.0.0.1"}    # open on loopback
    assert change["old"] == pytest.approx(2e-5) and change["new"] == pytest.approx(1.5e-5)
    setpoints = wait_for(lambda: len(client.history([2], "biasI", since=-60)[2]["value"]) >= 2
                         and client.history([2], "biasI", since=-60)[2], what="set point row")
    assert setpoints["value"][-1] == pytest.approx(1.5e-5)


@pytest.mark.parametrize("fmt", ["h5", "csv"])
def test_export_reads_back(service, tmp_path, fmt):
    client = Client(service.url)
    until = time.time()
    since = until - 2
    wait_for(lambda: len(client.history([1], since=since, until=until)[1]["time"]) >= 15,
             what="two seconds archived")
    expected = client.history([1, 2], since=since, until=until)
    path = client.export(tmp_path / f"range.{fmt}", [1, "0.1"], since=since, until=until)
    if fmt == "h5":
        with h5py.File(path) as h5:
            np.testing.assert_array_equal(h5["units/1/time"][:], expected[1]["time"])
            np.testing.assert_allclose(h5["units/2/rate"][:], expected[2]["value"])
            assert h5["units/2"].attrs["name"] == "0.1"
    else:
        with open(path, newline="") as fh:
            assert fh.readline().startswith("# vantor archive export")
            rows = list(csv.DictReader(fh))
        times = [float(r["time"]) for r in rows if r["name"] == "0.0"]
        np.testing.assert_allclose(times, expected[1]["time"])


@pytest.mark.parametrize("query,message", [
    ("history?units=9", "9"),
    ("history?units=1&quantity=temperature", "quantity"),
    ("history?units=1&since=5&until=1", "before since"),
    ("history?units=1&resolution=-1", "resolution"),
    ("history", "units: missing"),
    ("history/boards?boards=7", "no board with mcuId 7"),
    ("export?units=1&format=xls", "format"),
    ("log/settings?limit=0", "limit"),
])
def test_bad_queries_name_what_to_fix(service, query, message):
    status, body = get(f"{service.url}/api/{query}")
    assert status == 400 and message in json.loads(body)["error"]


def test_restart_continues_the_archive(site, tmp_path):
    root, config = site
    data = tmp_path / "data"
    with Service(data, "--config", str(config)) as first:
        client = Client(first.url)
        wait_for(lambda: len(client.history([1], since=-30)[1]["time"]) >= 10, what="windows")
        before = client.history([1], since=-60)[1]["time"]
    with Service(data, "--config", str(config)) as second:
        client = Client(second.url)
        # more windows than the first run left: the second run's, added to them
        wait_for(lambda: len(client.history([1], since=-120)[1]["time"]) > len(before) + 10,
                 what="windows of the second run")
        times = client.history([1], since=-120)[1]["time"]
        assert set(before) <= set(times)


def test_a_corrupt_archive_leaves_the_service_live(site, tmp_path):
    root, config = site
    data = tmp_path / "data"
    data.mkdir()
    (data / "archive.sqlite").write_bytes(b"not a database at all " * 100)
    with Service(data, "--config", str(config)) as svc:
        client = Client(svc.url)
        wait_for(lambda: all(u["windows"] > 0 for u in client.units()), what="live windows")
        with pytest.raises(ServiceError) as info:
            client.history([1])
        assert info.value.status == 503 and "not a database" in str(info.value)
        alarm = [a for a in client.alarms() if a["condition"] == "archive"]
        assert alarm and "archiving is off, live data goes on" in alarm[0]["message"]
        status, _ = get(f"{svc.url}/metrics")
        assert status == 200
    _, _, err = svc.stop()
    assert "not a database" in err


def test_a_full_archive_raises_an_alarm_and_live_goes_on(site, tmp_path):
    root, config = site
    small = tmp_path / "small.toml"
    small.write_text(config.read_text() + "\n[archive]\nmax_size_mb = 0.06\n")
    with Service(tmp_path / "data", "--config", str(small)) as svc:
        client = Client(svc.url)
        alarm = wait_for(lambda: [a for a in client.alarms() if a["condition"] == "archive"],
                         timeout=60, what="archive alarm")[0]
        assert "database or disk is full" in alarm["message"]
        windows = client.unit(1)["windows"]
        wait_for(lambda: client.unit(1)["windows"] > windows + 10, what="live windows")


@pytest.fixture
def read_only_dir(tmp_path):
    """A directory on a file system mounted read-only (needs mount rights)."""
    mount = tmp_path / "ro"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        (mount / "data").mkdir()
        subprocess.run(["mount", "-o", "remount,ro", str(mount)], check=True)
        yield mount / "data"
    finally:
        subprocess.run(["umount", str(mount)], check=True)


def test_a_read_only_data_directory_leaves_the_service_live(site, read_only_dir):
    root, config = site
    with Service(read_only_dir, "--config", str(config)) as svc:
        client = Client(svc.url)
        wait_for(lambda: all(u["windows"] > 0 for u in client.units()), what="live windows")
        alarm = [a for a in client.alarms() if a["condition"] == "archive"]
        assert alarm and "Read-only file system" in alarm[0]["message"]
        with pytest.raises(ServiceError, match="cannot write in"):
            client.history([1])
        job = client.submit_acquire([1], 0.2)          # jobs run on without their records
        done = client.wait(job)
        assert "could not be kept" in done["message"] and len(client.result(job)[1]["time"])


@pytest.fixture
def database(postgres_server, monkeypatch):
    """URL of a fresh database without the password, which the service finds
    in PGPASSWORD, as libpq reads it."""
    from tests.servers import PG_PASSWORD

    name = postgres_server.create_database()
    monkeypatch.setenv("PGPASSWORD", PG_PASSWORD)
    yield postgres_server.url(name, password=False)
    postgres_server.drop_database(name)


def test_a_database_archive_answers_over_http(site, database, tmp_path):
    import psycopg

    root, config = site
    with Service(tmp_path / "data", "--config", str(config), "--archive", database) as svc:
        client = Client(svc.url)
        times = wait_for(lambda: client.history([3], since=-30)[3]["time"][20:].tolist(),
                         what="windows")
        since, until = times[0], times[-1]          # windows already in the database
        status, body = get(f"{svc.url}/api/history?units=1,0.2&since={since!r}"
                           f"&until={until!r}&resolution=0")
        assert status == 200
        series = json.loads(body)["series"]
        assert set(series) == {"1", "3"} and series["3"]["name"] == "0.2"
        with psycopg.connect(database) as db:
            stored = [t for (t,) in db.execute(
                "SELECT t FROM vantor.windows WHERE rank = 3 AND t >= %s AND t <= %s "
                "ORDER BY t", (since, until))]
        assert series["3"]["time"] == stored == times
        assert np.allclose(np.diff(stored), 0.1, atol=1e-6)
        status, body = get(f"{svc.url}/api/alarms")
        assert json.loads(body)["archive"]["path"] == database
    assert not (tmp_path / "data" / "archive.sqlite").exists()


def test_refused_database_credentials_leave_the_service_live(site, database, tmp_path,
                                                             monkeypatch):
    root, config = site
    monkeypatch.setenv("PGPASSWORD", "not-the-password")
    with Service(tmp_path / "data", "--config", str(config), "--archive", database) as svc:
        client = Client(svc.url)
        wait_for(lambda: all(u["windows"] > 0 for u in client.units()), what="live windows")
        with pytest.raises(ServiceError) as info:
            client.history([1])
        assert info.value.status == 503 and "password authentication failed" in str(info.value)
    _, _, err = svc.stop()
    lines = [x for x in err.splitlines() if "password authentication failed" in x]
    assert lines and all(database in x for x in lines) and "not-the-password" not in err
    assert "archiving is off, live data goes on" in lines[0]
