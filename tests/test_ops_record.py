"""Recordings through the operator layer against the simulator on loopback:
exact windows, files, the cap report, interruption and `vantor record`."""
import asyncio
import math
import os

import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("matplotlib")

from tests.service_process import vantor_env
from tests.test_ops_iv import live_system, png_size, vantor
from vantor.host.settings import default_settings
from vantor.ops import files, record, show
from vantor.ops.record import cap_message, run_recording
from vantor.sim import Faults

BUFF = 10
SECONDS = 1.5


def recording(ranks, seconds=SECONDS, *, fake=None, stop_after=None, units=3):
    settings = default_settings(1, units, buffSize=BUFF)

    async def scenario():
        async with live_system(settings) as (host, sim, _):
            if fake is not None:
                fake(host)
            await host.wait_for_windows(2.0)       # the host's first window began part way
            stop = asyncio.Event()
            if stop_after is not None:
                asyncio.get_running_loop().call_later(stop_after, stop.set)
            run = await run_recording(host, ranks, seconds, stop=stop)
            return run, sim
    return asyncio.run(scenario())


@pytest.fixture(scope="module")
def recorded():
    return recording([1, 3])


class TestRecording:
    def test_about_n_times_100_over_buffsize_points_per_channel(self, recorded):
        run, _ = recorded
        assert [ch.rank for ch in run.channels] == [1, 3]
        for ch in run.channels:
            assert abs(len(ch) - SECONDS * 100 / BUFF) <= 2, len(ch)
            t = list(ch.data["time"])
            assert all(b - a == pytest.approx(BUFF * 0.01) for a, b in zip(t, t[1:]))
        assert run.attrs["capped"] is False and run.attrs["interrupted"] is False
        assert run.attrs["recorded_s"] == pytest.approx(SECONDS, abs=0.2)

    def test_counts_are_exactly_what_the_simulator_sent(self, recorded):
        run, sim = recorded
        for ch in run.channels:
            # times count from the start; the boards' clock is that plus an offset
            ends = [round((t + run.attrs["board_time_at_start"]) / 0.01) for t in ch.data["time"]]
            assert all(end % BUFF == 0 for end in ends)
            for end, counts, received in zip(ends, ch.data["counts"], ch.data["received"]):
                total, n = sim.counts_between((ch.mcuId, ch.cuId), end - BUFF, end)
                assert counts == total * (BUFF // n) and received == n == BUFF

    def test_hdf5_holds_the_table_and_the_settings(self, recorded, tmp_path):
        run, _ = recorded
        path = files.write(run, tmp_path / "rec.h5")
        with h5py.File(path, "r") as f:
            entry = f["entry"]
            assert f.attrs["kind"] == "record" and entry.attrs["buffSize"] == BUFF
            assert entry.attrs["started"] == run.attrs["started"] and "created" in entry.attrs
            assert entry.attrs["listen_address"].startswith("127.0.0.1:")
            assert entry["counters/records_in"][()] > 0
            pll = entry["instrument/mcu_0/pll"]           # a board report at least once a second
            assert pll.attrs["NX_class"] == "NXlog" and set(pll["value"][()]) == {1.0}
            for ch in run.channels:
                g = entry[f"rank_{ch.rank}"]
                assert list(g["time"][()]) == ch.data["time"]
                assert list(g["counts"][()]) == ch.data["counts"]
                assert list(g["status"][()]) == [0] * len(ch)
                assert g.attrs["label"] == ch.label and g["time"].attrs["units"] == "s"

    def test_csv_and_show_summary(self, recorded, tmp_path):
        run, _ = recorded
        path = files.write(run, tmp_path / "rec.csv")
        lines = []
        plot = show.show(path, out=lines.append)
        lines = "\n".join(lines).splitlines()
        assert png_size(plot) == (1000, 700)
        assert "(complete)" in lines[0] and "window 0.1 s" in lines[0]
        row = next(line.split() for line in lines if line.split()[:2] == ["3", "0.2"])
        assert int(row[2]) == len(run.channel(3)) and row[3] == "0"
        assert int(row[5]) == sum(run.channel(3).data["counts"])

    def test_stop_event_ends_it_early_and_says_so(self):
        run, _ = recording([2], seconds=30, stop_after=0.5)
        assert run.attrs["interrupted"] is True and run.attrs["recorded_s"] < 1.5
        assert 3 <= len(run.channel(2)) <= 12


def test_a_silenced_unit_leaves_marked_gaps_that_show_reports(tmp_path):
    """Unit 0.1 is silent from 1 to 2 s of the simulator's time: its windows
    then are NaN rows marked silent, on the same clock as the other unit's."""
    settings = default_settings(1, 2, buffSize=BUFF, timeout=0.2)

    async def scenario():
        async with live_system(settings, Faults(silence={(0, 1): (101, 201)})) as (host, _, _):
            return await run_recording(host, [1, 2], 3.0)

    run = asyncio.run(scenario())
    one, two = run.channel(1), run.channel(2)
    assert list(two.data["time"]) == pytest.approx(list(one.data["time"]))
    status = list(two.data["status"])
    silent = [k for k, s in enumerate(status) if s == 100]
    assert 5 <= len(silent) <= 11 and silent == list(range(silent[0], silent[-1] + 1))
    assert all(math.isnan(two.data["counts"][k]) for k in silent)
    assert set(one.data["status"]) == {0} and not any(map(math.isnan, one.data["counts"]))
    lines = []
    show.show(files.write(run, tmp_path / "gap.h5"), out=lines.append, no_plot=True)
    text = "\n".join(lines)
    assert "(gaps in 1 channel)" in text and f"({len(silent)} windows, silent)" in text


def test_recording_cut_at_the_cap_is_reported(monkeypatch):
    """The hub's cap is 100,000,000 points; a hub that reports a table while the
    recording runs is exactly what a recording stopped at the cap looks like."""
    monkeypatch.setattr(record, "CAP", 4)
    table = {1: [{"time": 0.1 * k, "counts": k, "monitorV": 0.5} for k in range(4)],
             2: [{"time": 0.1, "counts": 7, "monitorV": 0.5}]}

    def fake(host):
        calls = []
        host._path.hub.getRecordData = lambda: table if len(calls.append(1) or calls) > 3 else {}

    run, _ = recording([1, 2], seconds=20, fake=fake)
    assert run.attrs["capped"] is True and run.attrs["capped_ranks"] == [1]
    assert run.attrs["recorded_s"] < 2
    assert list(run.channel(1).data["counts"]) == [0, 1, 2, 3]
    message = cap_message(run)
    assert "stopped by itself" in message and "rank 1 reached the cap of 4 points" in message


class TestCommand:
    def test_record_writes_file_and_plot(self, tmp_path, capsys):
        out = tmp_path / "run.h5"
        code = vantor("record", "--mcus", 2, "--units", 3, "--channels", "1,2,5", "--seconds",
                      1.5, "--quiet", "--out", out)
        assert code == 0
        assert "recorded 3 channel(s)" in capsys.readouterr().out
        with h5py.File(out, "r") as f:
            entry = f["entry"]
            assert [g for g in entry if g.startswith("rank")] == ["rank_1", "rank_2", "rank_5"]
            assert all(1 <= len(entry[g]["counts"]) <= 2 for g in entry if g.startswith("rank"))
        assert png_size(tmp_path / "run.png") == (1000, 700)

    @pytest.mark.parametrize("args, message", [
        (["--channels", "7", "--seconds", 1], "unknown channel 7"),
        (["--seconds", 1, "--out", "{tmp}/no/such/dir/r.h5"], "cannot write"),
        (["--seconds", 1, "--out", "{tmp}/r.parquet"], "Parquet is not supported"),
    ])
    def test_bad_input(self, tmp_path, capsys, args, message):
        args = [str(a).replace("{tmp}", str(tmp_path)) for a in args]
        if "--out" not in args:
            args += ["--out", str(tmp_path / "r.h5")]
        assert vantor("record", "--mcus", 1, "--units", 2, *args) == 2
        assert message in capsys.readouterr().err
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize("seconds", ["0", "-1", "nan"])
    def test_seconds_that_are_no_length_are_refused(self, seconds, capsys):
        with pytest.raises(SystemExit) as info:
            vantor("record", "--mcus", 1, "--units", 2, "--seconds", seconds)
        assert info.value.code == 2 and "expected seconds > 0" in capsys.readouterr().err

    def test_show_of_a_missing_or_foreign_file(self, tmp_path, capsys):
        assert vantor("show", tmp_path / "gone.h5") == 2
        (tmp_path / "other.csv").write_text("a,b\n1,2\n")
        assert vantor("show", tmp_path / "other.csv") == 2
        err = capsys.readouterr().err
        assert "no such file" in err and "not a vantor CSV file" in err


def test_record_and_show_as_typed_exit_statuses(tmp_path):
    """As a shell runs them: a recording with a silenced unit is saved and
    exits 1 naming it; show of that file exits 0 and of a missing one 2."""
    import subprocess
    import sys

    def vantor_cmd(*argv):
        return subprocess.run([sys.executable, "-m", "vantor", *map(str, argv)], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60,
                              env=vantor_env())

    done = vantor_cmd("record", "--no-server", "--mcus", 1, "--units", 2, "--seconds", 3,
                      "--silence", "0.1@0.3-2.0", "--out", "gap.csv", "--quiet")
    assert done.returncode == 1, done.stderr
    assert "unit 0.1 (rank 2):" in done.stderr and "without data (silent)" in done.stderr
    assert "unit 0.0" not in done.stderr and (tmp_path / "gap.png").exists()
    shown = vantor_cmd("show", "gap.csv", "--no-plot")
    assert shown.returncode == 0 and "rank 2 (0.1): no data from" in shown.stdout
    assert vantor_cmd("show", "gone.h5").returncode == 2
    refused = vantor_cmd("show", "gap.csv", "--open", "--no-plot")
    assert refused.returncode == 2 and "--open needs a plot" in refused.stderr


def test_a_unit_silent_before_the_start_has_its_first_rows_marked_silent():
    """Unit 0.1 falls silent 0.3 s into the simulator's time and stays so until
    2.5 s; the recording starts at about 0.8 s, when its silence was reported."""
    settings = default_settings(1, 2, buffSize=BUFF, timeout=0.2)

    async def scenario():
        async with live_system(settings, Faults(silence={(0, 1): (30, 250)})) as (host, _, _):
            for _ in range(100):
                if host.cu_status(2) == 100:
                    break
                await asyncio.sleep(0.05)
            return await run_recording(host, [1, 2], 2.5)

    run = asyncio.run(scenario())
    data = run.channel(2).data
    since_start = [s for t, s in zip(data["time"], data["status"]) if t >= 0]
    assert since_start[:3] == [100] * 3 and 0 in since_start[5:], since_start
    assert set(run.channel(1).data["status"]) == {0}
