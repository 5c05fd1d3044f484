"""The optional parts stay optional: the service imports none of the extras'
libraries, each extra's module says in one line what to install when its
library is missing, and [epics] is read with the other settings tables."""
import subprocess
import sys

import pytest

from tests.service_process import settings_text, vantor_env
from vantor.host.settings import SettingsError, load_settings

EXTRA_LIBRARIES = ("softioc", "ophyd_async", "bluesky", "qcodes", "epics", "p4p")


def python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=vantor_env(), timeout=60)


def test_the_service_imports_no_extra():
    done = python("import sys, vantor.cli, vantor.service.app, vantor.service.command, "
                  "vantor.client, vantor.epics.server; "
                  f"print([m for m in {EXTRA_LIBRARIES!r} if m in sys.modules])")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@pytest.mark.parametrize("module, blocked, extra", [
    ("vantor.ophyd", "ophyd_async", "bluesky"), ("vantor.qcodes", "qcodes", "qcodes")])
def test_a_missing_extra_is_named(module, blocked, extra):
    done = python(f"import sys; sys.modules[{blocked!r}] = None; import {module}")
    last = done.stderr.strip().splitlines()[-1]
    assert done.returncode == 1 and f"pip install 'vantor[{extra}]'" in last


def test_serve_without_the_epics_extra_says_so_in_one_line(tmp_path):
    done = python("import sys; sys.modules['softioc'] = None; from vantor.cli import main; "
                  f"sys.exit(main(['serve', '--data', {str(tmp_path)!r}, '--epics', 'X:']))")
    assert done.returncode == 2
    assert done.stderr.strip() == ("vantor serve: EPICS records need the epics extra: "
                                   "pip install 'vantor[epics]'")


@pytest.mark.parametrize("table, words", [
    ('[epics]\nprefix = "A B"\n', "epics.prefix"),
    ('[epics]\nwrites = "yes"\n', "epics.writes"),
    ('[epics]\nport = 5064\n', "epics.port: unknown key"),
    ('[epics]\naccess_security = "/nonexistent.acf"\n', "epics.access_security"),
])
def test_bad_epics_settings_name_the_key(tmp_path, table, words):
    path = tmp_path / "site.toml"
    path.write_text(settings_text([1], head=table))
    with pytest.raises(SettingsError, match=words):
        load_settings(path)


def test_epics_table_and_command_line(tmp_path):
    acf = tmp_path / "site.acf"
    acf.write_text("ASG(DEFAULT) { RULE(1, READ) }\n")
    path = tmp_path / "site.toml"
    path.write_text(settings_text([1], head=f'[epics]\naccess_security = "{acf}"\n'))
    options = load_settings(path).epics
    assert (options.prefix, options.writes, options.access_security) == ("VANTOR:", False,
                                                                         str(acf))
    assert options.with_command_line("LAB:", True).prefix == "LAB:"
    assert not load_settings(tmp_path / "site.toml").epics.writes
    path.write_text(settings_text([1]))
    assert not load_settings(path).epics.enabled
    with pytest.raises(ValueError, match="--epics-writes"):
        load_settings(path).epics.with_command_line(None, True)
