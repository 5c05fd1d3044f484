"""Record layouts written independently with struct, to check the native ones
byte for byte, plus shared-memory records backed by ctypes buffers."""
import ctypes
import struct

LAYOUTS = {
    "cu_message": ("<6B2xII6fI3fI", [
        "mcuId", "cuId", "cuStatus", "cuError", "prescale", "pgaGain", "sequence", "counts",
        "monitorV", "triggerV", "biasV", "latchV", "latchFLow", "latchFHigh", "unlatchT",
        "biasVStart", "biasVStop", "biasVStep", "biasSweepT"]),
    "cu_update_message": ("<5B3x5fI3fI", [
        "mcuId", "cuId", "cuStatus", "prescale", "pgaGain", "triggerV", "biasV", "latchV",
        "latchFLow", "latchFHigh", "unlatchT", "biasVStart", "biasVStop", "biasVStep",
        "biasSweepT"]),
    "cu_config": ("<7Bx5fI3fI4f", [
        "mcuId", "cuId", "cuStatus", "prescale", "pgaGain", "powered", "inverted", "triggerV",
        "biasI", "latchV", "latchFLow", "latchFHigh", "unlatchT", "biasIStart", "biasIStop",
        "biasIStep", "biasSweepT", "resistorCryo", "resistorParallel", "resistorSeries",
        "resistorBias"]),
    "C_Backend": ("<If", ["buffSize", "TIMESTAMP"]),
    "stream_data": ("<4B2f3Id", [
        "mcuId", "cuId", "cuStatus", "inverted", "monitorV", "biasI", "counts", "intSize",
        "rank", "timestamp"]),
    "mcu_message": ("<4B2f", ["mcuId", "mcuStatus", "mcuError", "pllLock", "temp1", "temp2"]),
}
SIZES = {"cu_message": 60, "cu_update_message": 48, "cu_config": 64, "C_Backend": 8,
         "stream_data": 32, "mcu_message": 12}


def pack(record, **fields):
    """Bytes of a record; fields not given are 0."""
    fmt, names = LAYOUTS[record]
    unknown = set(fields) - set(names)
    if unknown:
        raise KeyError(unknown)
    return struct.pack(fmt, *(fields.get(n, 0) for n in names))


def unpack(record, data):
    """Dict of a record decoded from the first bytes of `data`."""
    fmt, names = LAYOUTS[record]
    return dict(zip(names, struct.unpack_from(fmt, data)))


def f32(x):
    """The binary32 value nearest to x, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


class SharedRecord:
    """A record in memory the native code can address, as shared memory would be."""

    def __init__(self, record, **fields):
        self.record = record
        self.buf = ctypes.create_string_buffer(SIZES[record])
        self.write(**fields)

    @property
    def address(self):
        return ctypes.addressof(self.buf)

    def read(self):
        return unpack(self.record, self.buf.raw)

    def write(self, **fields):
        current = self.read() if any(self.buf.raw) else {}
        current.update(fields)
        self.buf.raw = pack(self.record, **current)

    def __getitem__(self, name):
        return self.read()[name]


def windows(data, received=None):
    """Stream record bytes as the read model decodes them; every window whole
    unless `received` says how many records each window held."""
    import numpy as np
    from vantor.host.readmodel import decode
    count = len(data) // 32
    size = [struct.unpack_from("<I", data, 32 * k + 16)[0] for k in range(count)]
    held = size if received is None else [received] * count
    return decode(data, count, np.array(held, "<u4").tobytes(), None)


def stream_rows(items, fields=None):
    """Rows of the ("windows", table) items of a subscription, as dicts of the
    stream record's fields (or `fields`)."""
    names = fields or LAYOUTS["stream_data"][1]
    return [dict(zip(names, (row[n].item() for n in names)))
            for kind, table in items if kind == "windows" for row in table.rows]
