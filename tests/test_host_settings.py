"""Host settings: TOML schema, errors naming the key, the hub's object graph,
and the binary32 voltages a unit must echo."""
import ctypes
import math
import textwrap

import pytest

from tests.native import native_function
from tests.wire import pack, unpack
from vantor.functions import lanemath
from vantor.wire import config_voltages, current_to_voltage, echo_of, f32
from vantor.host.settings import (UNIT_DEFAULTS, SettingsError, default_settings, load_settings,
                                  parse_settings)

F = ctypes.c_float
c2v = native_function(lanemath, "currentToVoltageMultiplier", F, F, F, F, F)

GOOD = """
buffSize = 50
timeout = 0.5
maxFails = 3
[unit]
biasI = 1.0e-5
pgaGain = 2
[[mcu]]
mcuId = 7
  [[mcu.unit]]
  cuId = 3
  rank = 1
  inverted = 1
  [[mcu.unit]]
  cuId = 1
  rank = 2
  biasI = 3.0e-5
[[mcu]]
mcuId = 2
  [[mcu.unit]]
  cuId = 0
  rank = 3
"""


def write(tmp_path, text):
    path = tmp_path / "site.toml"
    path.write_text(textwrap.dedent(text))
    return path


class TestLoading:
    def test_file_builds_the_hub_schema(self, tmp_path):
        s = load_settings(write(tmp_path, GOOD))
        assert (s.buffSize, s.timeout, s.maxFails) == (50, 0.5, 3)
        assert list(s.devices) == [7, 2]
        assert list(s.devices[7].channels) == [3, 1]
        assert [cu.rank for cu in s.units()] == [1, 2, 3]
        cfg = s.devices[7].channels[1].configuration
        assert cfg.get_c_value("biasI") == f32(3e-5)
        assert cfg.pgaGain == 2 and cfg.biasSweepT == UNIT_DEFAULTS["biasSweepT"]
        assert s.devices[7].channels[3].configuration.inverted == 1

    def test_config_bytes_follow_the_record_layout(self, tmp_path):
        s = load_settings(write(tmp_path, GOOD))
        cfg = s.unit(7, 3).configuration
        rec = unpack("cu_config", cfg.to_bytes())
        assert rec == cfg.as_dict()
        assert cfg.to_bytes() == pack("cu_config", **cfg.as_dict())
        assert (rec["mcuId"], rec["cuId"]) == (7, 3)

    def test_default_matches_the_simulator_default(self):
        s = default_settings()
        assert len(s.devices) == 4 and all(len(m.channels) == 8 for m in s.devices.values())
        assert [cu.rank for cu in s.units()] == list(range(1, 33))
        assert s.unit(3, 7).rank == 32

    def test_replaced_configuration_is_a_new_object(self):
        cfg = default_settings(1, 1).unit(0, 0).configuration
        new = cfg.replaced(biasI=1e-6, cuStatus=2)
        assert cfg.biasI == f32(2e-5) and new.biasI == f32(1e-6) and new.cuStatus == 2
        with pytest.raises(SettingsError, match="^bogus: not a cu_config field$"):
            cfg.replaced(bogus=1)
        with pytest.raises(SettingsError, match="^cuStatus: expected an integer 0 to 255"):
            cfg.replaced(cuStatus=300)


@pytest.mark.parametrize("change, message", [
    (("buffSize = 50", "buffSize = 0"), r"buffSize: must not be 0"),
    (("buffSize = 50", "buffSize = -1"), r"buffSize: expected an integer 0 to 4294967295"),
    (("timeout = 0.5", "timeout = 0"), r"timeout: expected seconds > 0"),
    (("pgaGain = 2", "pgaGain = 256"), r"unit\.pgaGain: expected an integer 0 to 255"),
    (("pgaGain = 2", "pgaGian = 2"), r"unit\.pgaGian: unknown key"),
    (("biasI = 1.0e-5\n", 'biasI = "high"\n'), r"unit\.biasI: expected a number, got 'high'"),
    (("biasI = 3.0e-5", "biasI = 1e39"), r"mcu\[0\]\.unit\[1\]\.biasI: expected a finite binary32"),
    (("biasI = 3.0e-5", "biasI = nan"), r"mcu\[0\]\.unit\[1\]\.biasI: expected a finite"),
    (("inverted = 1", "inverted = true"), r"mcu\[0\]\.unit\[0\]\.inverted: expected a number"),
    (("rank = 2", "rank = 5"), r"mcu\[0\]\.unit\[1\]\.rank: expected 2"),
    (("cuId = 1", "cuId = 3"), r"mcu\[0\]\.unit\[1\]\.cuId: mcu 7, cu 3 appears twice"),
    (("mcuId = 2", "mcuId = 7"), r"mcu\[1\]\.mcuId: 7 appears twice"),
    (("  cuId = 0\n", "\n"), r"mcu\[1\]\.unit\[0\]\.cuId: missing"),
    (("maxFails = 3", "[backend]"), r"backend: unknown key"),
])
def test_bad_file_names_the_key(tmp_path, change, message):
    old, new = change
    assert old in GOOD
    with pytest.raises(SettingsError, match=message):
        load_settings(write(tmp_path, GOOD.replace(old, new, 1)))


@pytest.mark.parametrize("text, message", [
    ("buffSize = [", "not valid TOML"),
    ("buffSize = 5", r"mcu: expected at least one \[\[mcu\]\] table"),
    ("[[mcu]]\nmcuId = 0", r"mcu\[0\]\.unit: expected at least one"),
])
def test_structural_errors(tmp_path, text, message):
    with pytest.raises(SettingsError, match=message):
        load_settings(write(tmp_path, text))


def test_missing_file_is_a_settings_error(tmp_path):
    with pytest.raises(SettingsError, match="No such file"):
        load_settings(tmp_path / "absent.toml")


class TestBinary32:
    @pytest.mark.parametrize("rc, rp, rs, rb", [
        (10, 0, 5, 20), (10, 100, 5, 20), (5.0, 100.0, 50.0, 10000.0),
        (0.1, 3.3, 0.7, 1234.5), (1e-3, -1, 2, 3), (7.1, float("nan"), 1.1, 2.2),
    ])
    def test_factor_equals_the_native_one(self, rc, rp, rs, rb):
        mine, native = current_to_voltage(rc, rp, rs, rb), c2v(rc, rp, rs, rb)
        assert mine == native or (math.isnan(mine) and math.isnan(native))

    @pytest.mark.parametrize("inverted, sign", [(0, 1), (1, -1), (2, 1)])
    def test_voltages_carry_the_polarity(self, inverted, sign):
        cfg = default_settings(1, 1).unit(0, 0).configuration.replaced(inverted=inverted).as_dict()
        v = config_voltages(cfg)
        factor = current_to_voltage(5.0, 100.0, 50.0, 10000.0)
        assert v["biasV"] == f32(f32(f32(2e-5) * factor) * sign)
        assert v["biasVStep"] == f32(f32(factor * f32(1e-6)) * sign)
        assert echo_of(cfg)["biasV"] == v["biasV"]


def test_readme_example_parses():
    import pathlib
    import re
    import tomllib

    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    block = re.search(r"## Running.*?```toml\n(.*?)```", readme, re.S).group(1)
    s = parse_settings(tomllib.loads(block))
    assert [(cu.label, cu.rank) for cu in s.units()] == [("0.0", 1), ("0.1", 2)]
    assert s.unit(0, 1).configuration.powered == 0
