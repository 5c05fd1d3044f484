"""IV sweeps through the operator layer against the simulator on loopback:
the curves, their files and plots, and `vantor iv` with good and bad input."""
import asyncio
import contextlib
import os
import struct

import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("matplotlib")

from tests.wire import f32, unpack
from vantor import cli
from vantor.system import System
from vantor.host.settings import default_settings
from vantor.ops import files, plots
from vantor.ops.iv import SweepPlan, SweepTimeout, run_sweep
from vantor.sim import Faults, Simulator

PLAN = SweepPlan(start=0.0, stop=2.4e-5, step=2e-6, point_steps=3)   # 13 points, 0.4 s


@contextlib.asynccontextmanager
async def live_system(settings, faults=None):
    """Host and simulator on loopback; the host keeps every stream frame."""
    async with System(settings, seed=3, faults=faults) as system:
        frames = []
        system.host._path.tap = frames.append
        await system.wait_for_traffic()
        yield system.host, system.sim, frames


def sweep(settings, ranks, plan=PLAN, **kw):
    async def scenario():
        async with live_system(settings) as (host, sim, frames):
            run = await run_sweep(host, ranks, plan, **kw)
            backend = host._path.read_backend()
            configs = [host._path.read_config(r) for r in ranks]
        return run, sim, [unpack("stream_data", f) for f in frames], backend, configs
    return asyncio.run(scenario())


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


@pytest.fixture(scope="module")
def swept():
    settings = default_settings(1, 3, buffSize=20)
    return (settings, *sweep(settings, [1, 3]))


class TestCurves:
    def test_points_lie_on_the_commanded_bias_grid(self, swept):
        _, run, *_ = swept
        assert [ch.rank for ch in run.channels] == [1, 3]
        for ch in run.channels:
            assert ch.data["biasI"] == pytest.approx([k * 2e-6 for k in range(13)], abs=5e-9)
            assert ch.config["biasIStop"] == pytest.approx(2.4e-5) and ch.config["cuStatus"] == 0

    def test_counts_are_what_the_simulator_sent_for_each_point(self, swept):
        settings, run, sim, frames, backend, _ = swept
        for ch in run.channels:
            points = [f for f in frames if f["rank"] == ch.rank and f["cuStatus"] == 2]
            assert ch.data["counts"] == [p["counts"] for p in points]
            for p in points:
                end = round((p["timestamp"] - backend["TIMESTAMP"]) / 0.01)
                assert sim.counts_between((ch.mcuId, ch.cuId), end - 3, end) == (p["counts"], 3)
            assert ch.data["monitorV"] == pytest.approx([p["monitorV"] for p in points])

    def test_curve_has_the_simulated_sensor_shape(self, swept):
        _, run, sim, *_ = swept
        for ch in run.channels:
            response = sim.units[(ch.mcuId, ch.cuId)].response
            expected = [3 * response.rate(i) for i in ch.data["biasI"]]
            counts = ch.data["counts"]
            assert abs(sum(counts) - sum(expected)) < 5 * sum(expected) ** 0.5
            # a rise to a plateau: the top third of the sweep far above the bottom third
            assert sum(counts[-4:]) > 5 * max(sum(counts[:4]), 1)
            assert sum(counts[-4:]) == pytest.approx(sum(expected[-4:]), rel=0.3)
            # monitor voltage follows the bias: strictly rising along the sweep
            mon = list(ch.data["monitorV"])
            assert all(b > a for a, b in zip(mon, mon[1:]))

    def test_units_not_chosen_do_not_sweep(self, swept):
        _, run, sim, frames, _, configs = swept
        assert not [f for f in frames if f["rank"] == 2 and f["cuStatus"] == 2]
        assert sim.units[(0, 1)].sweeps_done == 0 and sim.units[(0, 0)].sweeps_done == 1
        assert [c["cuStatus"] for c in configs] == [0, 0]


class TestFiles:
    def test_hdf5_reads_back_with_h5py_to_the_same_numbers(self, swept, tmp_path):
        _, run, *_ = swept
        path = files.write(run, tmp_path / "iv.h5")
        with h5py.File(path, "r") as f:
            entry = f["entry"]
            assert f.attrs["kind"] == "iv" and entry.attrs["buffSize"] == 20
            assert [g for g in entry if g.startswith("rank")] == ["rank_1", "rank_3"]
            assert entry.attrs["source"] == "simulator" and "listen_address" in entry.attrs
            assert entry["counters/records_in"][()] > 0
            # boards report once a second: the temperatures of those heard during the sweep
            assert ("instrument" in entry) == bool(run.logs)
            for ch in run.channels:
                g = entry[f"rank_{ch.rank}"]
                assert list(g["biasI"][()]) == ch.data["biasI"]
                assert list(g["counts"][()]) == ch.data["counts"]
                assert list(g["monitorV"][()]) == pytest.approx(ch.data["monitorV"], rel=1e-7)
                assert (g.attrs["biasIStep"], g.attrs["biasSweepT"]) == (ch.config["biasIStep"], 3)
                assert (g.attrs["mcuId"], g.attrs["cuId"]) == (ch.mcuId, ch.cuId)
        assert os.listdir(tmp_path) == ["iv.h5"]     # no temporary file left beside it

    @pytest.mark.parametrize("name", ["iv.h5", "iv.csv"])
    def test_read_gives_back_what_was_written(self, swept, tmp_path, name):
        _, run, *_ = swept
        back = files.read(files.write(run, tmp_path / name))
        assert back.kind == "iv" and back.attrs["grid_size"] == run.attrs["grid_size"]
        for a, b in zip(run.channels, back.channels):
            assert (a.rank, a.label, a.config["biasIStart"]) == (b.rank, b.label, b.config["biasIStart"])
            assert list(b.data["biasI"]) == a.data["biasI"]
            assert list(b.data["counts"]) == a.data["counts"]

    def test_plot_is_a_png_of_the_expected_size(self, swept, tmp_path):
        _, run, *_ = swept
        path = plots.plot(run, tmp_path / "iv.png")
        assert png_size(path) == (1000, 700)


def test_unit_ignoring_updates_times_out_and_keeps_its_settings():
    settings = default_settings(1, 2, buffSize=20)

    async def scenario():
        async with live_system(settings, Faults(ignore_updates={(0, 1)})) as (host, sim, _):
            with pytest.raises(SweepTimeout) as info:
                await run_sweep(host, [1, 2], PLAN, timeout=1.5)
            return info.value, [cu.configuration for cu in settings.units()]

    error, configs = asyncio.run(scenario())
    message = str(error)
    assert "timed out after 1.5 s" in message and "rank 2 (unit 0.1) sent no sweep point" in message
    assert "rank 1" not in message
    # the unit that swept keeps its whole curve; the other is named, without points
    done, ignored = error.run.channels
    assert len(done) == 13 and not done.problem
    assert len(ignored) == 0 and ignored.problem.startswith("did not sweep")
    # the sweep parameters are back as configured, and nothing asks for a sweep
    assert [(c.cuStatus, c.biasIStop, c.biasSweepT) for c in configs] == [(0, f32(4e-5), 10)] * 2


def vantor(*argv):
    return cli.main([str(a) for a in argv])


SMALL = ["--mcus", 1, "--units", 3, "--quiet", "--no-server"]
SWEEP = ["--start", 0, "--stop", 1e-5, "--step", 2e-6, "--point-steps", 2]


class TestCommand:
    def test_iv_writes_data_and_plot_and_show_reads_them(self, tmp_path, capsys):
        out = tmp_path / "run.h5"
        assert vantor("iv", "--channels", "1,0.2", *SWEEP, *SMALL, "--out", out) == 0
        said = capsys.readouterr().out
        assert "2 channel(s), 12 points" in said and str(tmp_path / "run.png") in said
        with h5py.File(out, "r") as f:
            assert len(f["entry/rank_3/counts"]) == 6 and "rank_2" not in f["entry"]
        assert vantor("show", out) == 0                 # draws its own plot again
        os.unlink(tmp_path / "run.png")
        capsys.readouterr()
        assert vantor("show", out) == 0
        shown = capsys.readouterr().out
        assert "IV sweep" in shown and png_size(tmp_path / "run.png") == (1000, 700)
        assert [line.split()[:3] for line in shown.splitlines() if line.split()[:1] in (["1"], ["3"])] \
            == [["1", "0.0", "6"], ["3", "0.2", "6"]]

    def test_a_unit_ignoring_updates_leaves_the_others_curves_saved(self, tmp_path, capsys):
        out = tmp_path / "part.h5"
        code = vantor("iv", *SWEEP, *SMALL, "--ignore-updates", "0.1", "--timeout", 1.5,
                      "--out", out)
        err = capsys.readouterr().err
        assert code == 1 and "timed out" in err and "rank 2 (unit 0.1) sent no sweep point" in err
        assert "Saved the 2 complete curve(s)" in err
        with h5py.File(out, "r") as f:
            entry = f["entry"]
            assert [len(entry[f"rank_{r}/counts"]) for r in (1, 2, 3)] == [6, 0, 6]
            assert entry["rank_2"].attrs["problem"].startswith("did not sweep")
        assert sorted(os.listdir(tmp_path)) == ["part.h5", "part.png"]

    def test_files_are_kept_unless_forced(self, tmp_path, capsys):
        out = tmp_path / "iv.h5"
        out.write_text("another sweep")
        assert vantor("iv", *SWEEP, *SMALL, "--out", out) == 2
        assert "already exists" in capsys.readouterr().err and out.read_text() == "another sweep"
        assert vantor("iv", *SWEEP, *SMALL, "--out", out, "--force", "--no-plot") == 0
        assert files.read(out).kind == "iv"

    @pytest.mark.parametrize("args, message", [
        (["--channels", "9"], "unknown channel 9: the settings have ranks 1 to 3"),
        (["--channels", "2-5"], "unknown channels 4, 5"),
        (["--channels", "0.7"], "unknown channel 0.7"),
        (["--channels", "x"], "expected ranks"),
        (["--start", 2e-5, "--stop", 1e-5], "expected 0 <= start <= stop"),
        (["--step", 0], "step must be > 0"),
        (["--step", 1e-9], "finer than the hub's"),
        (["--step", 1.5e-8], "does not land on the hub's 10 nA grid"),
        (["--channels", 1, "--start", 1.5e-8], "nearest valid: 1e-08 A or 2e-08 A"),
        (["--start", -1e-5], "currents are magnitudes"),
        (["--start", 2e-5, "--stop", 1e-5], "cannot hold a descending sweep"),
        (["--stop", 1.0], "outside the limits"),
        (["--channels", ""], "the list is empty"),
        (["--worker-processes", 4], "more than the 3 units"),
        (["--point-steps", 0], "point length must be 1 or more"),
        (["--out", "{tmp}/missing/x.h5"], "cannot write"),
        (["--out", "{tmp}/file.txt/x.h5"], "cannot write"),
        (["--out", "{tmp}/folder.h5"], "it is a directory"),
        (["--out", "{tmp}/x.parquet"], "Parquet is not supported"),
        (["--out", "{tmp}/x.xlsx"], "unknown file type .xlsx"),
        (["--out", "{tmp}/x.h5", "--plot", "{tmp}/x.jpg"], "name it *.png"),
    ])
    def test_bad_input_is_refused_before_anything_starts(self, tmp_path, capsys, args, message):
        (tmp_path / "file.txt").write_text("")
        (tmp_path / "folder.h5").mkdir()
        args = [str(a).replace("{tmp}", str(tmp_path)) for a in args]
        if "--out" not in args:
            args += ["--out", str(tmp_path / "x.h5")]
        assert vantor("iv", *SMALL, *args) == 2
        assert message in capsys.readouterr().err
        assert sorted(os.listdir(tmp_path)) == ["file.txt", "folder.h5"]
