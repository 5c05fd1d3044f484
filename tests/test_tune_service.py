"""Tuning 64 simulated units through a real `vantor serve` and the client:
switching currents and plateau onsets against the per-unit truth of the
[sim] table, both policies, units that cannot be tuned named, biases applied
only on request and echoed, calibrations read back after a restart."""
import math
import subprocess
import sys

import pytest

from tests.service_process import Service, settings_text, vantor_env, wait_for
from vantor.client import Client, ServiceError
from vantor.wire import f32

BOARDS, PER_BOARD = 2, 32
STEP, WIDTH = 1e-6, 2e-6
SWEEP = dict(start=4e-6, stop=3.6e-5, step=STEP, point_steps=40)
DEAD, FLAT = "0.5", "1.7"


def truth(index):
    """(switching current, sigmoid midpoint) set for the unit of this index."""
    return 2.6e-5 + (index % 9) * 1e-6, 1.2e-5 + (index % 4) * 1e-6


def names(boards=BOARDS, per_board=PER_BOARD):
    return [f"{m}.{c}" for m in range(boards) for c in range(per_board)]


def site_text(boards=BOARDS, per_board=PER_BOARD):
    head = [f"[sim]\nlight = 2.0\nplateau_width = {WIDTH}\nswitching_spread = 0.0\n"
            f"dead = [\"{DEAD}\"]\nno_plateau = [\"{FLAT}\"]"]
    for i, name in enumerate(names(boards, per_board)):
        switching, midpoint = truth(i)
        head.append(f"[sim.unit.\"{name}\"]\nswitching_current = {switching!r}\n"
                    f"plateau_midpoint = {midpoint!r}")
    return settings_text([per_board] * boards, "\n".join(head))


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("tune")
    (root / "site.toml").write_text(site_text())
    return root


@pytest.fixture(scope="module")
def service(site):
    with Service(site / "data", "--config", str(site / "site.toml")) as svc:
        yield svc


@pytest.fixture(scope="module")
def client(service):
    return Client(service.url)


@pytest.fixture(scope="module")
def plateau_tune(client):
    return client.tune(list(range(1, 65)), policy="plateau", **SWEEP)


def test_the_simulator_shows_every_units_values(client):
    sim = client._get("/api/sim")
    assert sim["model"] == "sensor" and len(sim["units"]) == 64
    for i, unit in enumerate(sim["units"]):
        assert (unit["switching_current"], unit["plateau_midpoint"]) == truth(i)
    assert [u["name"] for u in sim["units"] if u["dead"]] == [DEAD]


def test_tune_finds_each_switching_current_and_onset(client, plateau_tune):
    onset_shift = WIDTH * math.log(9)
    assert set(plateau_tune) == set(range(1, 65))
    for i, name in enumerate(names()):
        row = plateau_tune[i + 1]
        if name in (DEAD, FLAT):
            continue
        switching, midpoint = truth(i)
        assert row["status"] == "ok", (name, row)
        assert abs(row["switching_current"] - switching) <= STEP, name
        assert abs(row["plateau_onset"] - (midpoint + onset_shift)) <= 2 * STEP, name
        assert row["plateau_rate"] == pytest.approx(4000, rel=0.1)
        # plateau policy: two steps above the onset, below switching
        assert row["proposed_bias"] == pytest.approx(
            min(row["plateau_onset"] + 2 * STEP, row["switching_current"] - STEP))
        assert row["proposed_bias"] < switching
    dead, flat = plateau_tune[names().index(DEAD) + 1], plateau_tune[names().index(FLAT) + 1]
    assert (dead["status"], flat["status"]) == ("dead", "no plateau")
    assert "no count" in dead["reason"] and "still rises" in flat["reason"]
    assert dead["proposed_bias"] is None and flat["proposed_bias"] is None


def test_a_tune_changes_nothing_until_applied(client, plateau_tune):
    assert {u["config"]["biasI"] for u in client.units()} == {f32(2e-5)}
    # the sweep latched the units: the tune set their bias to zero and back
    wait_for(lambda: {c["new"] for c in client.settings_log() if c["via"] == "tune"}
             == {0.0, f32(2e-5)}, 10, "the resets in the settings log")


def test_units_count_again_after_a_tune(client, plateau_tune):
    """The sweep latched the units; the tune's reset frees them, which the
    watch sees with the next window that reaches the hub (a window of 1 s and
    the one still on its way)."""
    def free():
        return [(u["name"], u["status"]) for u in client.units()
                if u["status"] not in ("ok", "update")]
    wait_for(lambda: not free(), 5.0, "every unit counting again")


def test_applying_sets_the_proposed_biases_and_keeps_the_calibration(client, plateau_tune):
    job = client.submit_tune(list(range(1, 65)), policy="fraction", fraction=0.8, **SWEEP)
    client.wait(job)
    rows = client.tune_result(job)["units"]
    before = client.calibrations()
    applied = client.apply_tune(job)
    ok = [r for r, row in rows.items() if row["status"] == "ok"]
    assert len(ok) == 62 and applied["stored"] and sorted(map(int, applied["applied"])) == ok
    units = {u["rank"]: u for u in client.units()}
    for r in ok:
        assert rows[r]["proposed_bias"] == pytest.approx(0.8 * rows[r]["switching_current"])
        assert units[r]["config"]["biasI"] == f32(rows[r]["proposed_bias"])
    skipped = {units[r]["name"]: row["status"] for r, row in rows.items() if r not in ok}
    assert skipped == {DEAD: "dead", FLAT: "no plateau"}
    assert units[names().index(DEAD) + 1]["config"]["biasI"] == f32(2e-5)

    def logged():      # newest last; the archive writes once a second
        last = {c["rank"]: c for c in reversed(client.settings_log(limit=500))
                if c["via"] == "tune" and c["field"] == "biasI"}
        return all(r in last and last[r]["new"] == f32(rows[r]["proposed_bias"]) for r in ok) \
            and last
    changes = wait_for(logged, 10, "the applied biases in the settings log")
    # who applied them is named, as for any other settings change
    assert {changes[r]["actor"]["address"] for r in ok} == {"127.0.0.1"}
    kept = client.calibrations()
    assert len(kept) == len(before) + 62 and {c["job"] for c in kept[:62]} == {job["id"]}
    first = client.calibrations(units=[ok[0]])[0]
    assert first["bias"] == f32(rows[ok[0]]["proposed_bias"])
    assert first["policy"]["name"] == "fraction" and set(first["temperatures"]) == {"0", "1"}
    with pytest.raises(ServiceError) as again:
        client.apply_tune(job)
    assert again.value.status == 409 and "applied already" in str(again.value)
    history = client._get(f"/api/history?units={ok[0]}&quantity=biasI&since=-600")
    assert history["series"][str(ok[0])]["calibrations"][-1]["job"] == job["id"]


def test_the_command_reports_the_yield_and_plots(service, plateau_tune, tmp_path, client):
    job = [j for j in client.jobs() if j["kind"] == "tune"][0]
    png = tmp_path / "tune.png"
    out = subprocess.run([sys.executable, "-m", "vantor", "tune", "--server", service.url,
                          "--job", job["id"], "--report", "--plot", str(png)],
                         capture_output=True, text=True, env=vantor_env(), timeout=120)
    assert out.returncode == 0, out.stderr
    assert "62 of 64 units ok" in out.stdout
    assert "o ok 62  D dead 1" in out.stdout and "P no plateau 1" in out.stdout
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("body, status, named", [
    ({"units": [1], "policy": "middle"}, 400, "policy"),
    ({"units": [1], "fraction": 1.5}, 400, "fraction"),
    ({"units": [1], "start": 3e-5, "stop": 1e-5}, 400, "descending"),
    ({"units": [99]}, 400, "99"),
    ({"units": [1], "dark_job": "nope"}, 400, "dark_job"),
])
def test_bad_tunes_are_refused_naming_the_field(client, body, status, named):
    with pytest.raises(ServiceError) as err:
        client._post("/api/jobs/tune", body)
    assert err.value.status == status and named in str(err.value)


def test_calibrations_read_back_after_a_restart(site, service, client, plateau_tune):
    kept = client.calibrations()
    assert kept
    service.stop()
    with Service(site / "data", "--config", str(site / "site.toml")) as again:
        back = Client(again.url)
        assert back.calibrations() == kept
        # the applied biases were written to the settings file as well
        units = {u["rank"]: u for u in back.units()}
        assert all(units[c["rank"]]["config"]["biasI"] == c["bias"] for c in kept[:62])
