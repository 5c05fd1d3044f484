"""Export of an archived time range to HDF5 or CSV, for tools that do not
speak the API."""
import csv
import time

import h5py
import numpy as np

from . import queries

FORMATS = ("h5", "csv")


def _collect(store, kind, keys, since, until, resolution, full_seconds):
    """{key: {"time", quantity: values...}} for every per-row quantity of kind."""
    names = [q for q in queries.quantities(kind) if q not in queries.STATE_QUANTITIES]
    out, used = {}, None
    for name in names:
        answer = queries.series(store, kind, keys, name, since, until, resolution,
                                full_seconds=full_seconds)
        used = answer["resolution"]
        for key, entry in answer["series"].items():
            columns = out.setdefault(key, {"time": entry["time"]})
            columns[name] = entry["value"]
            if "min" in entry:
                columns[f"{name}_min"], columns[f"{name}_max"] = entry["min"], entry["max"]
    return used, out


def export(store, path, fmt, *, kind="unit", keys, since, until, resolution=None,
           names=None, full_seconds=7 * 86400):
    """Write the series of `keys` (ranks or mcuIds) to `path`; returns the
    number of rows written.  `names` maps a key to its label ("0.3")."""
    if fmt not in FORMATS:
        raise queries.QueryError(f"format: expected one of {', '.join(FORMATS)}, got {fmt!r}")
    names = names or {}
    used, found = _collect(store, kind, keys, since, until, resolution, full_seconds)
    attrs = {"since": float(since), "until": float(until), "resolution": float(used),
             "kind": kind, "exported": time.time()}
    if fmt == "h5":
        return _write_h5(path, attrs, found, names)
    return _write_csv(path, attrs, found, names)


def _write_h5(path, attrs, found, names):
    rows = 0
    with h5py.File(path, "w") as h5:
        h5.attrs.update(attrs)
        group = h5.create_group("units" if attrs["kind"] == "unit" else attrs["kind"] + "s")
        for key, columns in found.items():
            series = group.create_group(str(key))
            series.attrs["key"] = key
            series.attrs["name"] = names.get(key, str(key))
            for name, values in columns.items():
                series.create_dataset(name, data=np.asarray(values))
            rows += len(columns["time"])
    return rows


def _write_csv(path, attrs, found, names):
    rows = 0
    with open(path, "w", newline="") as fh:
        fh.write("# vantor archive export " + " ".join(f"{k}={v}" for k, v in attrs.items()) + "\n")
        writer = csv.writer(fh)
        header = None
        for key, columns in found.items():
            if header is None:
                header = list(columns)
                writer.writerow(["key", "name"] + header)
            label = names.get(key, str(key))
            matrix = np.column_stack([np.asarray(columns[c], dtype=np.float64) for c in header])
            for line in matrix:
                writer.writerow([key, label] + [repr(float(v)) for v in line])
            rows += len(matrix)
    return rows
