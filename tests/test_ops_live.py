"""The live view's keys and the sweep it starts, and the progress bar on a pipe."""
import asyncio
import io
import os
import subprocess
import sys

import pytest

pytest.importorskip("h5py")
pytest.importorskip("matplotlib")

from tests.service_process import vantor_env
from tests.test_ops_iv import live_system, png_size
from vantor.host.settings import default_settings
from vantor.host.view import Keys, LiveView
from vantor.ops import files
from vantor.ops.live import LiveSweep
from vantor.ops.progress import Progress



class Pipe(io.StringIO):
    def isatty(self):
        return False


def test_keys_stay_off_without_a_terminal_and_dispatch_presses():
    pressed = []
    keys = Keys({"s": lambda: pressed.append("s"), "q": lambda: pressed.append("q")},
                view_out=Pipe(), stdin=Pipe())
    assert not keys.active
    with keys:                      # no terminal: nothing is touched
        keys.press("xSq s")
    assert pressed == ["s", "q", "s"]


def test_s_in_the_live_view_sweeps_every_unit_and_saves_it(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    settings = default_settings(1, 2, buffSize=20)
    for cu in settings.units():
        cu.configuration = cu.configuration.replaced(biasIStop=6e-6, biasSweepT=2)

    async def scenario():
        async with live_system(settings) as (host, sim, _):
            view = LiveView(host, "test", out=Pipe())
            sweep = LiveSweep(host, view.notes)
            assert "s = IV sweep" in view.frame()
            Keys({"s": sweep.start}, view.out).press("s")
            sweep.start()                   # a second press while it runs is answered
            answered = view.frame().splitlines()[-1]
            await asyncio.wait_for(sweep.task, 10)
            said = await sweep.close()
            return answered, view.frame(), said, [u.sweeps_done for u in sim.units.values()]

    answered, frame, said, sweeps = asyncio.run(scenario())
    assert sweeps == [1, 1]
    assert answered.startswith("IV sweep already running") and "q ends it" in answered
    assert "IV sweep saved: iv-" in frame.splitlines()[-1] and said.startswith("IV sweep saved")
    (data,) = [n for n in os.listdir(tmp_path) if n.endswith(".h5")]
    run = files.read(data)
    assert [len(ch) for ch in run.channels] == [7, 7]
    assert png_size(data[:-3] + ".png") == (1000, 700)


def test_progress_on_a_pipe_prints_a_line_per_tenth():
    out = Pipe()
    bar = Progress("IV sweep", out=out)
    for done in range(0, 101, 5):
        bar.update(done, 100, f"{done}/100 points")
    bar.finish()
    lines = out.getvalue().splitlines()
    assert len(lines) == 11 and lines[-1].endswith("100/100 points")
    assert "[###############...............]  50.0%" in lines[5]
    quiet = Pipe()
    Progress("x", out=quiet, quiet=True).update(1, 2)
    assert quiet.getvalue() == ""


SWEEP_CONFIG = """
buffSize = 20
[unit]
biasIStop = 2.0e-5
biasIStep = 1.0e-6
biasSweepT = {steps}
[[mcu]]
mcuId = 0
  [[mcu.unit]]
  cuId = 0
  rank = 1
  [[mcu.unit]]
  cuId = 1
  rank = 2
"""


def run_vantor(tmp_path, point_steps, *argv):
    config = tmp_path / "site.toml"
    config.write_text(SWEEP_CONFIG.format(steps=point_steps))
    return subprocess.run([sys.executable, "-m", "vantor", "run", "--no-view", "--config",
                           str(config), *map(str, argv)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60, env=vantor_env())


@pytest.mark.parametrize("point_steps, seconds, code, said, points", [
    (2, 3, 0, "IV sweep saved: iv-", [21, 21]),          # 0.4 s: done long before the end
    (20, 2, 1, "IV sweep incomplete: IV sweep stopped at", None),   # 4.2 s: stopped at the end
])
def test_sweep_after_is_saved_or_stopped_with_what_completed(tmp_path, point_steps, seconds,
                                                             code, said, points):
    done = run_vantor(tmp_path, point_steps, "--sweep-after", 0.3, "--seconds", seconds)
    assert done.returncode == code, done.stderr
    assert said in done.stdout
    (data,) = [n for n in os.listdir(tmp_path) if n.endswith(".h5")]
    run = files.read(tmp_path / data)
    if points:
        assert [len(ch) for ch in run.channels] == points and not run.incomplete
    else:
        assert [ch.problem.startswith("sweep unfinished") for ch in run.channels] == [True, True]
        assert all(3 <= len(ch) < 21 for ch in run.channels)
