"""Facts of the wire shared by the host, the simulator and the operator
commands: record layouts (as structs and, for tables of records, as numpy
dtypes), status codes and the words operators read for them, the 10 ms step,
the rate and sweep-point formulas, unit names, and the binary32 arithmetic a
unit shares with its worker (an echoed voltage must equal, bit for bit, what
the worker computes from the configuration).  Imports nothing of vantor, so
any side may use it."""
import math
import re
import struct

import numpy as np

CU_MESSAGE = struct.Struct("<6B2xII6fI3fI")
CU_UPDATE = struct.Struct("<5B3x5fI3fI")
CU_CONFIG = struct.Struct("<7Bx5fI3fI4f")
C_BACKEND = struct.Struct("<If")
STREAM_DATA = struct.Struct("<4B2f3Id")
MCU_MESSAGE = struct.Struct("<4B2f")

CU_MESSAGE_FIELDS = (
    "mcuId", "cuId", "cuStatus", "cuError", "prescale", "pgaGain", "sequence", "counts",
    "monitorV", "triggerV", "biasV", "latchV", "latchFLow", "latchFHigh", "unlatchT",
    "biasVStart", "biasVStop", "biasVStep", "biasSweepT")
CU_UPDATE_FIELDS = (
    "mcuId", "cuId", "cuStatus", "prescale", "pgaGain", "triggerV", "biasV", "latchV",
    "latchFLow", "latchFHigh", "unlatchT", "biasVStart", "biasVStop", "biasVStep", "biasSweepT")
CU_CONFIG_FIELDS = (
    "mcuId", "cuId", "cuStatus", "prescale", "pgaGain", "powered", "inverted", "triggerV",
    "biasI", "latchV", "latchFLow", "latchFHigh", "unlatchT", "biasIStart", "biasIStop",
    "biasIStep", "biasSweepT", "resistorCryo", "resistorParallel", "resistorSeries",
    "resistorBias")
STREAM_FIELDS = (
    "mcuId", "cuId", "cuStatus", "inverted", "monitorV", "biasI", "counts", "intSize",
    "rank", "timestamp")
MCU_FIELDS = ("mcuId", "mcuStatus", "mcuError", "pllLock", "temp1", "temp2")

# The settings a unit echoes in every measurement record.
ECHO_FIELDS = CU_UPDATE_FIELDS[2:]
# The cu_config fields of an IV sweep.
SWEEP_FIELDS = ("biasIStart", "biasIStop", "biasIStep", "biasSweepT")


def struct_dtype(layout, fields):
    """The numpy dtype of records laid out as the struct `layout`, its fields
    named `fields` in order: a table of such records reads their bytes in place."""
    names, formats, offsets = [], [], []
    offset, names_left = 0, iter(fields)
    for count, code in re.findall(r"(\d*)([a-zA-Z])", layout.format.lstrip("<")):
        size = struct.calcsize("<" + code)
        for _ in range(int(count or 1)):
            if code != "x":
                names.append(next(names_left))
                formats.append(_NUMPY_CODES[code])
                offsets.append(offset)
            offset += size
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": layout.size})


_NUMPY_CODES = {"B": "u1", "I": "<u4", "f": "<f4", "d": "<f8"}

STREAM_DTYPE = struct_dtype(STREAM_DATA, STREAM_FIELDS)

CU_NORMAL, CU_IV, CU_END_IV, CU_TIMEOUT, CU_TIMEOUT_POWERED = 0, 2, 3, 100, 200
SILENCE_CODES = (CU_TIMEOUT, CU_TIMEOUT_POWERED)
UPDATE_FRAMES = (b"cu_udp_broker", b"cu_update")

STEP_S = 0.01            # one hardware sequence step, seconds
IV_GRID_STEP = 1e-8      # the hub's IV bin width, amperes

# A unit's state as operators read it.  "update": a correction was sent a
# moment ago; "unheard": no stream record yet; "latched": the sensor sits in
# its latched state (the host's latch watch).
STATUS_WORDS = ("ok", "IV", "silent", "update", "unheard", "latched")


def status_word(cu_status):
    """The word for the cuStatus of a unit's last stream record (None: none yet)."""
    if cu_status is None:
        return "unheard"
    if cu_status in SILENCE_CODES:
        return "silent"
    return "IV" if cu_status == CU_IV else "ok"


def window_rate(counts, int_size):
    """Counts per second of a window of `int_size` steps; works on numbers and
    on numpy arrays alike (a zero length gives NaN there, None here)."""
    if isinstance(int_size, np.ndarray):
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(int_size > 0, counts / (int_size * STEP_S), np.nan)
    return counts / (int_size * STEP_S) if int_size else None


def sweep_points(start, stop, step):
    """Points a unit makes from start to stop by step, both ends included."""
    return int(math.floor((stop - start) / step + 1e-6)) + 1


def unit_label(mcu_id, cu_id):
    """The name of a channel unit as operators write it: 'MCU.CU'."""
    return f"{mcu_id}.{cu_id}"


def parse_unit_name(text):
    """'3.12' -> (3, 12); ValueError naming the text otherwise."""
    try:
        mcu, cu = str(text).strip().split(".")
        pair = int(mcu), int(cu)
    except ValueError:
        raise ValueError(f"expected MCU.CU such as 0.3, got {text!r}") from None
    if not all(0 <= x <= 255 for x in pair):
        raise ValueError(f"MCU.CU out of range 0..255: {text!r}")
    return pair

_F32 = struct.Struct("<f")


def f32(x):
    """The binary32 value nearest to x.  One binary64 operation on binary32
    operands followed by this rounding gives the binary32 result exactly."""
    return _F32.unpack(_F32.pack(x))[0]


def decode(layout, fields, data):
    return dict(zip(fields, layout.unpack_from(data)))


def current_to_voltage(rc, rp, rs, rb):
    rc, rp, rs, rb = f32(rc), f32(rp), f32(rs), f32(rb)
    if rp <= 0:
        return f32(rc + rb)
    q = f32(rs / rp)
    s = f32(f32(rb + rc) + rp)
    t = f32(rb + f32(q * s))
    return f32(rc + t)


def config_voltages(config):
    """biasV, biasVStart, biasVStop, biasVStep that a unit must echo for a
    cu_config given as a dict, in the worker's order of operations."""
    v = current_to_voltage(config["resistorCryo"], config["resistorParallel"],
                           config["resistorSeries"], config["resistorBias"])
    inv = -1.0 if config["inverted"] == 1 else 1.0
    return {
        "biasV": f32(f32(f32(config["biasI"]) * v) * inv),
        "biasVStart": f32(f32(f32(config["biasIStart"]) * v) * inv),
        "biasVStop": f32(f32(f32(config["biasIStop"]) * v) * inv),
        "biasVStep": f32(f32(v * f32(config["biasIStep"])) * inv),
    }


def echo_of(config):
    """The echo fields of a unit that has applied the update built from `config`."""
    echo = {name: config[name] for name in ECHO_FIELDS if name in config}
    echo.update(config_voltages(config))
    for name in ("triggerV", "latchV", "latchFLow", "latchFHigh"):
        echo[name] = f32(echo[name])
    return echo
