"""Broker msg_received per record against the floor of host work each record
obliges: a 60-byte bytes object, a 2-byte bytes object, the 19-key dict, the
look-up of the pair in the host's set and two Python method calls.

The floor runs in a small native harness (broker_floor.cpp, compiled here on
each run with the modules' optimisation and float flags) that does only that work, with
the same dictionary builder, so the ratio shows what the broker adds.

    PYTHONPATH=src .venv/bin/python bench/bench_broker.py
"""
import ctypes
import importlib.util
import pathlib
import statistics
import struct
import subprocess
import sysconfig
import tempfile
import threading
import time

from vantor.cluster import ingestgate

ROOT = pathlib.Path(__file__).resolve().parent.parent
MCUS, UNITS, STEPS, REPEATS = 8, 8, 250, 60
CU_MESSAGE = struct.Struct("<6B2xII6fI3fI")


def record(mcu, cu, seq):
    return CU_MESSAGE.pack(mcu, cu, 0, 0, 1, 2, seq, 1000 + cu, 0.5, 0.25, 1.5, 0.1, 0.2, 0.3, 7,
                           0.0, 1.0, 0.01, 10)


# One datagram per microcontroller and step, holding a record of each of its units.
DATAGRAMS = [b"".join(record(m, c, seq) for c in range(UNITS)) for seq in range(1, STEPS + 1)
             for m in range(MCUS)]
RECORDS = len(DATAGRAMS) * UNITS
CUIDS = {(m, c) for m in range(MCUS) for c in range(UNITS)}


class Host(ingestgate.SpeedUpProtocol):
    def log_firmware_version(self, msg):
        pass

    def on_sync_success(self, chunk):
        pass

    def on_finally(self, channelID, data):
        pass


class Quiet(ingestgate.SpeedUpProtocol):
    """No hook overridden: what is left is the broker's own work."""

    def log_firmware_version(self, msg):
        pass


class Hooks:
    """The floor's receiver of the two calls. Like any host broker it carries
    `device_addresses` in its instance dictionary, which every call by name
    must look past."""

    def __init__(self):
        self.device_addresses = {}

    def on_sync_success(self, chunk):
        pass

    def on_finally(self, channelID, data):
        pass


def interleaved(runs):
    """Times of each callable over REPEATS rounds, the callables taking turns
    so that load from elsewhere on the machine hits them alike."""
    times = {name: [] for name in runs}
    for _ in range(REPEATS):
        for name, fn in runs.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return times


def broker_run(cls):
    backend = ctypes.create_string_buffer(8)

    def run():
        b = cls(1, MCUS * UNITS, MCUS, (ctypes.addressof(backend), threading.Lock()),
                {bytes([m]): ("10.0.0.%d" % m, 5000) for m in range(MCUS)}, CUIDS, False)
        received = b.msg_received
        for d in DATAGRAMS:
            received(d, None)
    return run


def build_floor():
    with tempfile.TemporaryDirectory(prefix="broker_floor") as tmp:  # a loaded module outlives its file
        out = pathlib.Path(tmp) / ("broker_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
        subprocess.run(["c++", "-std=c++20", "-O3", "-fPIC", "-shared", "-ffp-contract=off", "-DNDEBUG",
                        "-I", str(ROOT / "native"), "-I", sysconfig.get_paths()["include"],
                        str(ROOT / "bench/broker_floor.cpp"), str(ROOT / "native/common/dicts.cpp"),
                        "-o", str(out)], check=True)
        found = importlib.util.spec_from_file_location("broker_floor", out)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    return module


def floor_run():
    harness, blob, hooks = build_floor(), b"".join(DATAGRAMS), Hooks()
    return lambda: harness.floor(blob, CUIDS, hooks)


def main():
    ns = 1e9 / RECORDS
    t = interleaved({"floor": floor_run(), "broker": broker_run(Host), "quiet": broker_run(Quiet)})
    floor, broker, quiet = min(t["floor"]), min(t["broker"]), min(t["quiet"])
    paired = statistics.median(b / f for b, f in zip(t["broker"], t["floor"]))
    print(f"{RECORDS} records in {len(DATAGRAMS)} datagrams of {UNITS} records, "
          f"{MCUS * UNITS} units in sync, best of {REPEATS}")
    rows = [
        ("floor: bytes 60 + bytes 2 + dict + pair in set + 2 calls", floor * ns),
        ("broker msg_received, trivial Python hooks", broker * ns),
        ("broker msg_received, no hook overridden", quiet * ns),
    ]
    print(f"{'':<60}{'ns/record':>10}")
    for name, value in rows:
        print(f"{name:<60}{value:>10.1f}")
    print(f"{'ratio broker / floor, best times (target <= 1.30)':<60}{broker / floor:>10.2f}")
    print(f"{'ratio broker / floor, median of adjacent rounds':<60}{paired:>10.2f}")


if __name__ == "__main__":
    main()
