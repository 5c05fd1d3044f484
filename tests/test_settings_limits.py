"""Settings limits: values without physical sense refused naming the key, a
site's [limits] table, and the limits as data for the service."""
import json
import textwrap

import pytest

from vantor.host.limits import DEFAULT_LIMITS
from vantor.host.settings import SettingsError, default_settings, load_settings, parse_settings

SITE = """
buffSize = 50
[limits]
biasI = [0.0, 5.0e-4]
buffSize = [10, 1000]
[unit]
biasI = 3.0e-4
[[mcu]]
mcuId = 0
  [[mcu.unit]]
  cuId = 0
  rank = 1
"""


def load(tmp_path, text):
    path = tmp_path / "site.toml"
    path.write_text(textwrap.dedent(text))
    return load_settings(path)


@pytest.mark.parametrize("top, unit, message", [
    ({}, {"biasI": 2.0}, r"mcu\[0\]\.unit\[0\]\.biasI: 2 A is outside the limits 0 to 0\.0001 A"),
    ({}, {"biasI": -1e-6}, r"\.biasI: -1e-06 A is outside"),
    ({}, {"biasIStart": -1e-6}, r"\.biasIStart: -1e-06 A is outside"),
    ({}, {"powered": 7}, r"\.powered: 7 is outside the limits 0 to 2"),
    ({}, {"biasIStep": 0.0}, r"\.biasIStep: 0 A is outside the limits 1e-08 to"),
    ({}, {"biasSweepT": 0}, r"\.biasSweepT: 0 steps of 10 ms is outside"),
    ({}, {"resistorBias": 0.0}, r"\.resistorBias: 0 Ohm is outside"),
    ({"buffSize": 400000}, {}, r"^buffSize: 400000 steps of 10 ms is outside"),
    ({"timeout": 7200.0}, {}, r"^timeout: 7200 s is outside"),
])
def test_values_outside_the_limits_are_refused_naming_the_key(top, unit, message):
    doc = {**top, "mcu": [{"mcuId": 0, "unit": [{"cuId": 0, "rank": 1, **unit}]}]}
    with pytest.raises(SettingsError, match=message):
        parse_settings(doc)


def test_a_site_widens_and_narrows_its_limits(tmp_path):
    s = load(tmp_path, SITE)
    assert s.unit(0, 0).configuration.biasI == pytest.approx(3e-4)
    assert s.limits["biasI"] == (0.0, 5e-4) and s.limits["buffSize"] == (10, 1000)
    assert s.limits["biasIStop"] == DEFAULT_LIMITS["biasIStop"]
    with pytest.raises(SettingsError, match=r"buffSize: 5 steps of 10 ms is outside the limits 10 to 1000 steps"):
        load(tmp_path, SITE.replace("buffSize = 50", "buffSize = 5"))
    # a narrowed limit also catches the built-in default it no longer admits
    with pytest.raises(SettingsError, match=r"unit\.biasI \(built-in default\): 2e-05 A"):
        load(tmp_path, SITE.replace("biasI = [0.0, 5.0e-4]", "biasI = [0.0, 1e-5]")
             .replace("biasI = 3.0e-4\n", ""))


@pytest.mark.parametrize("line, message", [
    ("bogus = [0, 1]", r"limits\.bogus: unknown key"),
    ("biasI = 3", r"limits\.biasI: expected \[min, max\] as two numbers"),
    ("biasI = [1e-3, 0.0]", r"limits\.biasI: min 0\.001 is above max 0\.0"),
    ("powered = [0, 300]", r"limits\.powered: the field holds 0 to 255 only"),
    ("biasSweepT = [1.5, 10]", r"limits\.biasSweepT: expected whole numbers"),
])
def test_unusable_limits_table(tmp_path, line, message):
    with pytest.raises(SettingsError, match=message):
        load(tmp_path, SITE.replace("biasI = [0.0, 5.0e-4]", line))


def test_changes_at_run_time_obey_the_same_limits():
    s = default_settings(1, 1)
    cfg = s.unit(0, 0).configuration
    assert cfg.replaced(biasI=5e-5).biasI == pytest.approx(5e-5)
    with pytest.raises(SettingsError, match=r"^biasI: 2 A is outside"):
        cfg.replaced(biasI=2.0)
    with pytest.raises(SettingsError, match=r"^powered: 7 is outside"):
        cfg.replaced(powered=7)
    assert s.check("biasSweepT", 20) == 20
    with pytest.raises(SettingsError, match=r"^biasIStep: 0 A is outside"):
        s.check("biasIStep", 0.0)


def test_limits_as_json_data():
    table = json.loads(json.dumps(default_settings(1, 1).limits_table()))
    assert table["biasI"] == {"min": 0.0, "max": 1e-4, "type": "float", "unit": "A"}
    assert table["powered"]["type"] == "int" and set(table) == set(DEFAULT_LIMITS)
