"""The recording cap, on a hub built with a cap of 5 points so that the path
is reached without 100,000,000 records. Builds the module with cmake into a
temporary directory and drives it in a fresh interpreter."""
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CAP = 5


def find_tool(name):
    local = Path(sys.executable).parent / name
    return str(local) if local.exists() else shutil.which(name)


@pytest.fixture(scope="module")
def capped_module(tmp_path_factory):
    cmake = find_tool("cmake")
    if cmake is None:
        pytest.skip("no cmake found (neither beside the interpreter nor on PATH) to build the capped hub")
    build = tmp_path_factory.mktemp("feedhub_cap")
    configure = [cmake, "-S", str(ROOT), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}",
                 f"-DVANTOR_MAX_RECORDING_LENGTH={CAP}", "-DVANTOR_INPLACE=OFF"]
    ninja = find_tool("ninja")
    if ninja:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    for cmd in (configure, [cmake, "--build", str(build), "--target", "feedhub", "--parallel"]):
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stdout + done.stderr
    (path,) = build.glob("feedhub*.so")
    return path


# The capped build loaded by its path, and settings of the units it is given.
PREAMBLE = textwrap.dedent("""
    import importlib.util, json, struct, sys
    found = importlib.util.spec_from_file_location("vantor.cluster.feedhub", sys.argv[1])
    feedhub = importlib.util.module_from_spec(found)
    sys.modules[found.name] = feedhub
    found.loader.exec_module(feedhub)

    class Conf:
        inverted, biasSweepT = False, 10
        def get_c_value(self, name):
            return 1e-6
    class Unit:
        def __init__(self, rank):
            self.rank, self.configuration = rank, Conf()
""")

SCRIPT = PREAMBLE + textwrap.dedent("""
    class Mcu:
        channels = {0: Unit(1), 1: Unit(2)}
    class Settings:
        devices = {0: Mcu()}
    class Hub(feedhub.SpeedUpProtocol):
        def __init__(self, s):
            self.batches, self.stops = [], 0
            super().__init__(s)
        def streamData(self, data):
            self.batches.append(data.hex())
        def stopRecording(self):
            self.stops += 1
            return super().stopRecording()

    def rec(rank, t, status=0):
        return struct.pack("<4B2f3Id", 0, 0, status, 0, 0.0, 0.0, int(t), 0, rank, t)

    hub = Hub(Settings())
    hub.startRecording([1, 2])
    for t in range(1, 6):
        hub.msg_received([rec(1, float(t))])
    hub.msg_received([rec(2, 5.0, status=2)])
    full_stops = hub.stops
    meeting = rec(1, 6.0)
    hub.msg_received([meeting])
    after_cap = hub.getRecordData()
    hub.msg_received([rec(1, 7.0)])
    hub.msg_received([rec(2, 8.0)])
    print(json.dumps({
        "cap": feedhub.MAX_RECORDING_LENGTH,
        "stops_before": full_stops,
        "stops": hub.stops,
        "table": {str(k): [p["time"] for p in v] for k, v in after_cap.items()},
        "later": {str(k): len(v) for k, v in hub.getRecordData().items()},
        "meeting_went_live": hub.batches[-2] == meeting.hex(),
    }))
""")


def test_full_buffer_stops_recording_but_not_the_live_output(capped_module):
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(capped_module)], capture_output=True, text=True,
                          timeout=60, env={**os.environ, "PYTHONPATH": ""})
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["cap"] == CAP
    assert out["stops_before"] == 0 and out["stops"] == 1   # the record meeting the full buffer stopped it
    assert out["table"] == {"1": [1.0, 2.0, 3.0, 4.0, 5.0], "2": [5.0]}  # exactly the cap, not the record
    assert out["later"] == {"1": 5, "2": 1}                  # later records are not recorded
    assert out["meeting_went_live"]                          # ... but the meeting record was batched


PLAIN_SCRIPT = PREAMBLE + textwrap.dedent("""
    import tracemalloc
    class Mcu:
        channels = {0: Unit(1)}
    class Settings:
        devices = {0: Mcu()}
    class Hub(feedhub.SpeedUpProtocol):  # neither stopRecording nor getRecordData replaced
        pass

    def rec(t):
        return struct.pack("<4B2f3Id", 0, 0, 0, 0, 0.5, 0.0, 7, 0, 1, t)

    hub = Hub(Settings())
    hub.startRecording([1])
    for t in range(1, 6):
        hub.msg_received([rec(float(t))])
    meeting = [rec(6.0)]
    tracemalloc.start()
    hub.msg_received(meeting)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    table = hub.getRecordData()
    table_bytes = sum(sys.getsizeof(p) + sum(sys.getsizeof(v) for v in p.values()) for p in table[1])
    hub.msg_received([rec(7.0)])
    print(json.dumps({"peak": peak, "table_bytes": table_bytes,
                      "times": [p["time"] for p in table[1]], "after": len(hub.getRecordData()[1])}))
""")


def test_cap_without_overrides_builds_no_table(capped_module):
    done = subprocess.run([sys.executable, "-c", PLAIN_SCRIPT, str(capped_module)], capture_output=True,
                          text=True, timeout=60, env={**os.environ, "PYTHONPATH": ""})
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["times"] == [1.0, 2.0, 3.0, 4.0, 5.0] and out["after"] == 5  # stopped, still retrievable
    # The stop allocated far less than the host table it would have built and dropped.
    assert out["peak"] < out["table_bytes"] / 4, out
