"""The hand-written .pyi stubs beside the native modules agree with the
modules as loaded: names, classes and every method's parameters (mypy's
stubtest, against the modules this interpreter imports)."""
import os
import pathlib
import subprocess
import sys

import pytest

import vantor

MODULES = ["vantor.headers.wirelayouts", "vantor.functions.lanemath", "vantor.cluster.ingestgate",
           "vantor.cluster.feedhub", "vantor.cluster.workers.lanecore", "vantor.cluster.workers.boardwatch",
           "vantor.host.road"]


def _where(root, tmp_path):
    """(folder to run in, environment): a source tree is named to mypy; an
    installed package it finds by itself, and run from site-packages it would
    take every module there for one of ours."""
    if "site-packages" in root.parts:
        return tmp_path, dict(os.environ)
    return root, {**os.environ, "MYPYPATH": str(root), "PYTHONPATH": str(root)}


def test_stubs_match_the_runtime_modules(tmp_path):
    pytest.importorskip("mypy.stubtest")
    root = pathlib.Path(vantor.__file__).resolve().parent.parent  # the tree whose modules are imported
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")  # nothing written into that tree
    cwd, env = _where(root, tmp_path)
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), *MODULES],
                          cwd=cwd, capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
