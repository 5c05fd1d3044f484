"""Row layouts of the archive as numpy dtypes.

Each kind of series (units, boards, counters) is a table of rows keyed by
one integer (rank, mcuId, 0) and a time.  Rows cross the database as the
raw bytes of these structured arrays, so a query reads a whole block of a
series with one `frombuffer` instead of building a Python object per row."""
import zlib

import numpy as np

# Counters of the host's totals that the archive keeps (names as in the snapshot).
COUNTER_FIELDS = (
    "records_in", "stream_in", "stream_out", "datagrams", "status_in", "dropped", "late",
    "duplicated", "malformed", "sync_failed", "missing", "unknown_mcu", "updates_sent",
    "updates_undeliverable", "errors", "incomplete_windows")

# kind -> the value columns kept per row; unknown values are NaN, never 0.
VALUE_FIELDS = {
    # missing: records of the window that did not arrive (its counts read low)
    "unit": (("rate", "<f4"), ("monitorV", "<f4"), ("cuStatus", "u1"), ("missing", "<f4")),
    "board": (("temp1", "<f4"), ("temp2", "<f4"), ("pll", "<f4"), ("status", "<f4")),
    "counters": tuple((name, "<f8") for name in COUNTER_FIELDS),
}
KINDS = tuple(VALUE_FIELDS)


def row_dtype(kind, keyed=True):
    """Full-resolution rows; `keyed` rows carry their series key (the journal's
    time-ordered blocks mix every series, a compacted block holds one)."""
    head = [("key", "<u4")] if keyed else []
    return np.dtype(head + [("t", "<f8")] + list(VALUE_FIELDS[kind]))


def minute_dtype(kind, keyed=False):
    """Per-minute aggregates: the minute's start, the number of rows it had,
    and min, mean and max of every value column."""
    head = [("key", "<u4")] if keyed else []
    cols = [("t", "<f8"), ("n", "<u4")]
    for name, fmt in VALUE_FIELDS[kind]:
        fmt = fmt if np.dtype(fmt).kind == "f" else "<f4"    # a mean is no integer
        cols += [(f"{name}_min", fmt), (f"{name}_mean", fmt), (f"{name}_max", fmt)]
    return np.dtype(head + cols)


def strip_key(rows, dtype):
    """Rows copied into `dtype`, which leaves out some of their fields (the key)."""
    out = np.empty(len(rows), dtype=dtype)
    for name in dtype.names:
        out[name] = rows[name]
    return out


def split_by_key(rows):
    """{key: rows of that key}, rows sorted by (key, t)."""
    if not len(rows):
        return {}
    rows = rows[np.lexsort((rows["t"], rows["key"]))]
    cuts = np.flatnonzero(np.diff(rows["key"])) + 1
    return {int(part["key"][0]): part for part in np.split(rows, cuts)}


def encode_columns(rows):
    """Column after column, compressed: times, counts and voltages of one
    series vary little from row to row, so this is several times smaller."""
    return zlib.compress(b"".join(np.ascontiguousarray(rows[name]).tobytes()
                                  for name in rows.dtype.names), 1)


def decode_columns(blob, dtype, n, into=None):
    """Rows of a block.  Columns are only ever added at the end of a layout, so
    a block written before one was added simply ends early: its missing
    columns read as NaN (not known), never as zeros."""
    raw = zlib.decompress(blob)
    rows = np.empty(n, dtype=dtype) if into is None else into
    offset = 0
    for name in dtype.names:
        column = dtype.fields[name][0]
        if offset + column.itemsize * n > len(raw):
            rows[name] = np.nan if column.kind == "f" else 0
            continue
        rows[name] = np.frombuffer(raw, dtype=column, count=n, offset=offset)
        offset += column.itemsize * n
    return rows


def quantities(kind):
    return tuple(name for name, _ in VALUE_FIELDS[kind])


def empty(dtype):
    return np.zeros(0, dtype=dtype)
