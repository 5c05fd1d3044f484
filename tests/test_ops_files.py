"""Run files and plots read the way other people's tools read them: NeXus
HDF5 through h5py, CSV through the csv module, PNGs by their bytes; gaps in
recordings, overwriting, and the checks of sweep values and channel lists."""
import csv
import math
import os
import random
import struct

import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("matplotlib")

from vantor.host.settings import default_settings
from vantor.ops import files, plots, show
from vantor.ops.channels import OpsError, parse_channels
from vantor.ops.grid import check_sweep, grid_start
from vantor.ops.run import (STATUS_MISSING, STATUS_OK, STATUS_SILENT, Log, Run, channel_of,
                            created, gaps, mark_gaps, short_windows)

STARTED = 1765260000.25


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def iv_run(n, *, problem_rank=None):
    settings = default_settings(math.ceil(n / 8), min(n, 8))
    rng = random.Random(n)
    channels = []
    for r in range(1, n + 1):
        if r == problem_rank:
            channels.append(channel_of(settings, r, {"biasI": [], "counts": [], "monitorV": []},
                                       "did not sweep (it ignores updates?)"))
            continue
        bias = [k * 1e-6 for k in range(21)]
        counts = [rng.randint(0, 50) + int(2000 / (1 + math.exp(-(b - 1e-5) / 2e-6))) for b in bias]
        channels.append(channel_of(settings, r, {"biasI": bias, "counts": counts,
                                                 "monitorV": [b * 1.5e4 + 0.1 for b in bias]}))
    attrs = {"started": STARTED, "created": created(STARTED), "duration_s": 2.5, "buffSize": 100,
             "sweep_start": 0.0, "sweep_stop": 2e-5, "sweep_step": 1e-6, "sweep_point_steps": 10,
             "hardware": "10.0.0.7:5000", "settings_source": settings.source}
    logs = {"mcu_0/temp1": Log([0.5, 1.5], [35.0, 35.25], "unknown"),
            "mcu_0/pll": Log([0.5, 1.5], [1, 0], "1")}
    return Run("iv", attrs, channels, {"dropped": 3, "late": 1, "duplicated": 0,
                                       "sync_failed": 2}, logs)


def record_run(n=3):
    """Windows of 1 s at 1..8 s; rank 2 is silent from 3 to 5 s, rank 3 misses 8 s."""
    settings = default_settings(1, n, buffSize=100)
    channels = []
    for r in range(1, n + 1):
        times = [t for t in range(1, 9) if not (r == 2 and 3 <= t <= 5) and not (r == 3 and t == 8)]
        # rank 1's window at 4 s lost 40 of its 100 records
        points = [(float(t), 100 * r + t, 0.25, 60 if (r, t) == (1, 4) else 100) for t in times]
        silences = [(4.2, STATUS_SILENT)] if r == 2 else []
        channels.append(channel_of(settings, r, mark_gaps(points, 1.0, first=1.0, last=8.0,
                                                          silences=silences)))
    attrs = {"started": STARTED, "created": created(STARTED), "requested_s": 8.0,
             "recorded_s": 8.0, "buffSize": 100, "settings_source": settings.source}
    return Run("record", attrs, channels)


class TestGaps:
    def test_silence_and_missing_windows_become_nan_rows_with_their_status(self):
        run = record_run()
        two, three = run.channel(2), run.channel(3)
        assert list(two.data["time"]) == [float(t) for t in range(1, 9)]
        assert [math.isnan(c) for c in two.data["counts"]] == [False, False, True, True, True,
                                                               False, False, False]
        assert list(two.data["status"]) == [0, 0, 100, 100, 100, 0, 0, 0]
        assert gaps(two) == [(3.0, 5.0, 3, STATUS_SILENT)]
        assert gaps(three) == [(8.0, 8.0, 1, STATUS_MISSING)]
        assert gaps(run.channel(1)) == []
        # a window short of records is measured, but says so
        assert list(run.channel(1).data["received"]) == [100, 100, 100, 60, 100, 100, 100, 100]
        assert list(two.data["received"])[2:5] == [0, 0, 0]
        assert short_windows(run, run.channel(1)) == [3] and short_windows(run, two) == []

    def test_a_unit_silent_from_the_start_and_one_with_no_points(self):
        cols = mark_gaps([(3.0, 5, 0.1, 100)], 1.0, first=1.0, last=4.0)
        assert cols["time"] == [1.0, 2.0, 3.0, 4.0]
        assert cols["status"] == [STATUS_MISSING, STATUS_MISSING, STATUS_OK, STATUS_MISSING]
        empty = mark_gaps([], 0.5, first=1.0, last=2.0, silences=[(1.2, 200)])
        assert empty["time"] == [1.0, 1.5, 2.0] and empty["status"] == [200] * 3


class TestHdf5:
    def test_nexus_layout_that_viewers_follow(self, tmp_path):
        run = iv_run(12)
        path = files.write(run, tmp_path / "iv.h5")
        with h5py.File(path, "r") as f:
            assert f.attrs["NX_class"] == "NXroot" and f.attrs["default"] == "entry"
            entry = f["entry"]
            assert entry.attrs["NX_class"] == "NXentry"
            assert entry.attrs["hardware"] == "10.0.0.7:5000"
            assert entry["program_name"].attrs["version"]
            assert entry["start_time"][()].decode().startswith("2025-12-09T06:00:00.25")
            names = [k for k in entry if k.startswith("rank_")]
            assert names == sorted(names) == [f"rank_{r:02d}" for r in range(1, 13)]
            default = entry[entry.attrs["default"]]
            assert default.attrs["NX_class"] == "NXdata"
            signal, axis = default.attrs["signal"], default.attrs["axes"]
            assert (signal, axis) == ("rate", "biasI") and default[signal].shape == default[axis].shape
            assert default["rate_errors"].shape == default[signal].shape
            for g in (entry[n] for n in names):
                assert all("units" in d.attrs for d in g.values())
                assert g["counts"].attrs["point_length_s"] == pytest.approx(0.1)
                assert g.attrs["biasSweepT"] == 10 and g.attrs["biasI"].dtype == "float32"
            assert entry["counters/dropped"][()] == 3 and entry["counters/sync_failed"][()] == 2
            log = entry["instrument/mcu_0/temp1"]
            assert log.attrs["NX_class"] == "NXlog" and list(log["value"][()]) == [35.0, 35.25]
            assert log["time"].attrs["units"] == "s" and "start" in log["time"].attrs

    @pytest.mark.parametrize("make", [lambda: iv_run(3, problem_rank=2), record_run])
    def test_a_nexus_reader_finds_and_accepts_the_plot_data(self, tmp_path, make):
        nxdata = pytest.importorskip("silx.io.nxdata")
        with h5py.File(files.write(make(), tmp_path / "run.h5"), "r") as f:
            default = nxdata.get_default(f)
            assert default is not None and default.signal.name.endswith("/rate")
            assert default.errors is not None and len(default.axes) == 1
            groups = [g for g in f["entry"].values() if g.attrs.get("NX_class") == "NXdata"]
            assert len(groups) == 3 and all(nxdata.is_valid_nxdata(g) for g in groups)

    def test_rate_and_poisson_errors_follow_the_counts(self, tmp_path):
        run = iv_run(2)
        with h5py.File(files.write(run, tmp_path / "iv.h5"), "r") as f:
            g = f["entry/rank_1"]
            counts = g["counts"][()]
            assert list(g["rate"][()]) == pytest.approx(counts / 0.1)
            assert list(g["rate_errors"][()]) == pytest.approx(counts ** 0.5 / 0.1)

    def test_recording_time_is_relative_to_a_stated_utc_start(self, tmp_path):
        run = record_run()
        with h5py.File(files.write(run, tmp_path / "rec.h5"), "r") as f:
            g = f["entry/rank_2"]
            assert g.attrs["axes"] == "time" and g["time"].attrs["units"] == "s"
            assert g["time"].attrs["start"] == "2025-12-09T06:00:00.250000Z"
            assert list(g["status"][()]) == [0, 0, 100, 100, 100, 0, 0, 0]
            assert math.isnan(g["counts"][2]) and g["counts"][5] == 206
            assert g["counts"].attrs["window_s"] == pytest.approx(1.0)

    @pytest.mark.parametrize("name", ["iv.h5", "iv.csv"])
    def test_read_gives_back_what_was_written(self, tmp_path, name):
        run = iv_run(3, problem_rank=2)
        back = files.read(files.write(run, tmp_path / name))
        assert back.kind == "iv" and back.attrs["sweep_step"] == 1e-6
        assert back.counters == run.counters
        assert list(back.logs["mcu_0/pll"].value) == [1, 0]
        for a, b in zip(run.channels, back.channels):
            assert (a.rank, a.label, a.problem) == (b.rank, b.label, b.problem)
            assert b.config == a.config                  # binary32 settings exactly
            for col in ("biasI", "counts"):
                assert list(b.data[col]) == list(a.data[col])
            assert list(b.data["monitorV"]) == pytest.approx(a.data["monitorV"], rel=1e-7)

    @pytest.mark.parametrize("name", ["rec.h5", "rec.csv"])
    def test_recording_read_back_keeps_gaps(self, tmp_path, name):
        back = files.read(files.write(record_run(), tmp_path / name))
        ch = back.channel(2)
        assert list(ch.data["status"]) == [0, 0, 100, 100, 100, 0, 0, 0]
        assert [math.isnan(c) for c in ch.data["counts"]][2:5] == [True] * 3
        assert list(ch.data["time"]) == [float(t) for t in range(1, 9)]
        assert list(back.channel(1).data["received"])[3] == 60

    def test_a_recording_written_before_windows_were_counted_reads_as_unknown(self, tmp_path):
        path = files.write(record_run(), tmp_path / "rec.csv")
        lines = open(path).read().splitlines()
        lines[0] = lines[0].replace(" 3", " 2")
        old = [line.rsplit(",", 1)[0] if not line.startswith("#") else line for line in lines]
        (tmp_path / "old.csv").write_text("\n".join(old) + "\n")
        back = files.read(tmp_path / "old.csv")
        assert all(math.isnan(n) for n in files._column(back.channel(1), "received"))
        assert list(back.channel(2).data["status"]) == [0, 0, 100, 100, 100, 0, 0, 0]

    def test_files_of_the_first_layout_still_read(self, tmp_path):
        path = tmp_path / "old.h5"
        with h5py.File(path, "w") as f:
            f.attrs.update(kind="iv", format_version=1, buffSize=20)
            for rank in (2, 10):
                g = f.create_group(f"rank_{rank}")
                g.attrs.update(rank=rank, mcuId=0, cuId=rank - 1, label=f"0.{rank - 1}",
                               biasSweepT=3)
                g["biasI"], g["counts"], g["monitorV"] = [0.0, 1e-6], [4, 9], [0.0, 0.015]
        run = files.read(path)
        assert [ch.rank for ch in run.channels] == [2, 10] and run.attrs["buffSize"] == 20
        assert list(run.channel(10).data["counts"]) == [4, 9]
        assert run.channel(2).config["biasSweepT"] == 3


class TestCsv:
    def test_plain_csv_reader_sees_units_and_stored_precision(self, tmp_path):
        path = files.write(iv_run(2), tmp_path / "iv.csv")
        text = open(path).read()
        assert '"biasI": 2e-05' in text and "0.10000000149" not in text
        rows = list(csv.reader(line for line in text.splitlines() if not line.startswith("#")))
        assert rows[0] == ["rank", "mcuId", "cuId", "biasI (A)", "counts", "monitorV (V)"]
        assert rows[1][5] == "0.1"                       # binary32 0.1, not 0.10000000149011612
        assert len(rows) == 1 + 2 * 21

    def test_recording_csv_marks_rows_without_data(self, tmp_path):
        path = files.write(record_run(), tmp_path / "rec.csv")
        rows = [r for r in csv.reader(l for l in open(path) if not l.startswith("#"))]
        assert rows[0][3:] == ["time (s since started)", "counts", "monitorV (V)", "status",
                               "received (records)"]
        silent = [r for r in rows[1:] if r[0] == "2" and r[6] == "100"]
        assert [r[3] for r in silent] == ["3.0", "4.0", "5.0"] and {r[4] for r in silent} == {"nan"}


class TestOverwrite:
    @pytest.mark.parametrize("name", ["x.h5", "x.csv"])
    def test_existing_file_is_kept_unless_forced(self, tmp_path, name):
        path = tmp_path / name
        path.write_text("precious")
        with pytest.raises(OpsError, match="already exists; choose another name or use --force"):
            files.write(iv_run(2), path)
        assert path.read_text() == "precious"
        files.write(iv_run(2), path, force=True)
        assert files.read(path).kind == "iv"
        assert sorted(os.listdir(tmp_path)) == [name]

    def test_a_plot_replaces_only_its_own_run_s_plot(self, tmp_path):
        first, second = iv_run(2), iv_run(2)
        second.attrs["started"] += 60
        png = tmp_path / "iv.png"
        plots.plot(first, png)
        plots.plot(first, png)                   # the same run drawn again
        with pytest.raises(OpsError, match="already exists"):
            plots.plot(second, png)
        assert plots.drawn_from(png) == plots.identity(first)
        plots.plot(second, png, force=True)
        assert plots.drawn_from(png) == plots.identity(second)


class TestPlots:
    @pytest.mark.parametrize("make, n, size", [
        (iv_run, 2, (1000, 700)), (record_run, 3, (1000, 700)),
        (iv_run, 40, (1920, 1170)), (lambda n: iv_run(n, problem_rank=3), 33, (1920, 1170)),
    ])
    def test_png_of_the_expected_size(self, tmp_path, make, n, size):
        assert png_size(plots.plot(make(n), tmp_path / "p.png")) == size


class TestShow:
    def test_summary_reports_gaps_and_writes_the_plot(self, tmp_path):
        path = files.write(record_run(), tmp_path / "rec.h5")
        lines = []
        plot = show.show(path, out=lines.append)
        text = "\n".join(lines)
        assert "(gaps in 2 channels)" in text and "(complete)" not in text
        assert "rank 2 (0.1): no data from 2.00 to 5.00 s (3 windows, silent)" in text
        assert "rank 3 (0.2): no data from 7.00 to 8.00 s (1 window, missing)" in text
        assert png_size(plot) == (1000, 700)
        show.show(path, out=lines.append)        # its own plot is drawn again

    def test_incomplete_sweep_names_the_unit(self, tmp_path):
        path = files.write(iv_run(3, problem_rank=2), tmp_path / "iv.h5")
        text = show.summary(files.read(path))
        assert "(incomplete: 1 of 3 channel(s))" in text
        assert "rank 2 (0.1): did not sweep" in text

    @pytest.mark.parametrize("kw, message", [
        ({"open_plot": True, "no_plot": True}, "--open needs a plot"),
        ({"plot": "x.jpg"}, r"name it \*\.png"),
    ])
    def test_refused_options(self, tmp_path, kw, message):
        path = files.write(iv_run(2), tmp_path / "iv.h5")
        with pytest.raises(OpsError, match=message):
            show.show(path, out=lambda _: None, **kw)


@pytest.mark.parametrize("text", ["", "  "])
def test_an_empty_channel_list_is_refused(text):
    with pytest.raises(OpsError, match="the list is empty"):
        parse_channels(text, default_settings(1, 3))
    assert parse_channels("all", default_settings(1, 3)) == [1, 2, 3]


SWEEP = {"biasIStart": 0.0, "biasIStop": 1e-7, "biasIStep": 2e-8, "biasSweepT": 3}


class TestSweepGrid:
    @pytest.mark.parametrize("change, message", [
        ({"biasIStep": 1.5e-8}, r"step 1\.5e-08 A does not land .* nearest valid: 1e-08 A or 2e-08 A"),
        ({"biasIStart": 1.5e-8}, r"start 1\.5e-08 A does not land .* nearest valid: 1e-08 A or 2e-08 A"),
        ({"biasIStep": 4e-9}, r"finer than the hub's 1e-08 A bins; nearest valid: 1e-08 A"),
        ({"biasIStart": 2e-7}, r"descending sweep"),
        ({"biasIStep": -2e-8}, r"descending sweep"),
        ({"biasIStart": -1e-8}, r"currents are magnitudes"),
        ({"biasSweepT": 0}, r"point length must be 1 or more"),
    ])
    def test_sweeps_the_hub_would_store_wrongly_are_refused(self, change, message):
        with pytest.raises(OpsError, match=message):
            check_sweep({**SWEEP, **change})

    def test_binary32_values_on_the_grid_pass(self):
        from vantor.host.settings import f32
        assert check_sweep({**SWEEP, "biasIStart": f32(1.5e-5), "biasIStop": f32(3e-5),
                            "biasIStep": f32(1.5e-6)}) == 11

    def test_the_grid_begins_at_the_smallest_start_of_any_unit(self):
        settings = default_settings(1, 2)
        settings.units()[1].configuration = settings.units()[1].configuration.replaced(
            biasIStart=5e-9)
        origin = grid_start(settings, {1: {"biasIStart": 1e-6}})
        assert origin == pytest.approx(5e-9)
        with pytest.raises(OpsError, match=r"nearest valid: 9\.95e-07 A or 1\.005e-06 A"):
            check_sweep({**SWEEP, "biasIStart": 1e-6, "biasIStop": 2e-6}, grid_start=origin)

    def test_limits_of_the_settings_apply(self):
        with pytest.raises(OpsError, match=r"biasIStop 0\.001 is outside the limits 0 to 0\.0001"):
            check_sweep({**SWEEP, "biasIStop": 1e-3}, limits=default_settings(1, 1).limits)
