"""Runs as files an operator can open elsewhere: HDF5 (one group per channel,
its columns as datasets, its settings as attributes; the run's settings on
the root) or CSV (one row per point, settings in leading '#' lines).

A file appears under its name only once it is complete: it is written to a
hidden temporary file beside it and renamed."""
import csv
import json
import os
import tempfile

from .channels import OpsError
from .run import COLUMNS, Channel, Run

HDF5_SUFFIXES = (".h5", ".hdf5", ".hdf")
FORMAT_VERSION = 1
_ID_ATTRS = ("rank", "mcuId", "cuId", "label")


def format_of(path):
    suffix = os.path.splitext(str(path))[1].lower()
    if suffix in HDF5_SUFFIXES:
        return "hdf5"
    if suffix == ".csv":
        return "csv"
    if suffix == ".parquet":
        raise OpsError(f"{path}: Parquet is not supported; use .h5 (HDF5) or .csv")
    raise OpsError(f"{path}: unknown file type {suffix or '(no suffix)'}; use .h5 (HDF5) or .csv")


def h5py_module():
    try:
        import h5py
    except ImportError:
        raise OpsError("HDF5 files need h5py: pip install 'vantor[ops]' (or write .csv)") from None
    return h5py


def check_writable(path):
    """Fail now, before a sweep or a recording, if `path` cannot be written."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise OpsError(f"cannot write {path}: it is a directory")
    try:
        fd, probe = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".probe",
                                     dir=folder)
    except OSError as exc:
        raise OpsError(f"cannot write {path}: {exc.strerror or exc}") from None
    os.close(fd)
    os.unlink(probe)


class Atomic:
    """A temporary file beside `path`, renamed over it on success, removed on failure."""

    def __init__(self, path):
        self.path = os.fspath(path)

    def __enter__(self):
        folder = os.path.dirname(os.path.abspath(self.path))
        try:
            fd, self.tmp = tempfile.mkstemp(prefix=f".{os.path.basename(self.path)}.",
                                            suffix=".partial", dir=folder)
        except OSError as exc:
            raise OpsError(f"cannot write {self.path}: {exc.strerror or exc}") from None
        os.close(fd)
        return self.tmp

    def __exit__(self, kind, exc, tb):
        if kind is None:
            try:
                with open(self.tmp, "rb+") as fh:
                    os.fsync(fh.fileno())
                os.chmod(self.tmp, 0o666 & ~_umask())
                os.replace(self.tmp, self.path)
                return False
            except OSError as err:
                _unlink(self.tmp)
                raise OpsError(f"cannot write {self.path}: {err.strerror or err}") from None
        _unlink(self.tmp)
        if isinstance(exc, OSError):
            raise OpsError(f"cannot write {self.path}: {exc.strerror or exc}") from None
        return False


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def write(run, path):
    kind = format_of(path)
    with Atomic(path) as tmp:
        (_write_hdf5 if kind == "hdf5" else _write_csv)(run, tmp)
    return os.fspath(path)


def read(path):
    kind = format_of(path)
    if not os.path.exists(path):
        raise OpsError(f"{path}: no such file")
    try:
        return (_read_hdf5 if kind == "hdf5" else _read_csv)(path)
    except OpsError:
        raise
    except (OSError, KeyError, ValueError, TypeError) as exc:
        raise OpsError(f"{path}: not a vantor {kind.upper()} file ({exc})") from None


# -- HDF5 -------------------------------------------------------------------------

def _attr(value):
    import numpy as np
    if isinstance(value, (list, tuple)):
        return np.asarray(value, dtype="i8" if all(isinstance(v, int) for v in value) else "f8")
    return value


def _plain(value):
    """h5py attribute values back as Python values."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    if isinstance(value, bytes):
        value = value.decode()
    return value


def _write_hdf5(run, tmp):
    h5py = h5py_module()
    import numpy as np
    with h5py.File(tmp, "w") as f:
        f.attrs["kind"] = run.kind
        f.attrs["format_version"] = FORMAT_VERSION
        for key, value in run.attrs.items():
            if value is not None:
                f.attrs[key] = _attr(value)
        for ch in run.channels:
            g = f.create_group(f"rank_{ch.rank}")
            g.attrs["rank"], g.attrs["mcuId"], g.attrs["cuId"] = ch.rank, ch.mcuId, ch.cuId
            g.attrs["label"] = ch.label
            for key, value in ch.config.items():
                if key not in ("mcuId", "cuId"):
                    g.attrs[key] = value
            for name, dtype in COLUMNS[run.kind]:
                g.create_dataset(name, data=np.asarray(ch.data[name], dtype=dtype))


def _read_hdf5(path):
    h5py = h5py_module()
    with h5py.File(path, "r") as f:
        kind = _plain(f.attrs.get("kind"))
        if kind not in COLUMNS:
            raise OpsError(f"{path}: not a vantor file (no 'kind' attribute of iv or record)")
        attrs = {k: _plain(v) for k, v in f.attrs.items() if k not in ("kind", "format_version")}
        channels = []
        for g in f.values():
            if not isinstance(g, h5py.Group):
                continue
            ga = {k: _plain(v) for k, v in g.attrs.items()}
            config = {k: v for k, v in ga.items() if k not in _ID_ATTRS}
            config.update(mcuId=ga["mcuId"], cuId=ga["cuId"])
            data = {name: g[name][()] for name, _ in COLUMNS[kind]}
            channels.append(Channel(ga["rank"], ga["mcuId"], ga["cuId"], config, data))
    channels.sort(key=lambda ch: ch.rank)
    return Run(kind, attrs, channels)


# -- CSV --------------------------------------------------------------------------

def _write_csv(run, tmp):
    names = [n for n, _ in COLUMNS[run.kind]]
    with open(tmp, "w", newline="") as fh:
        fh.write(f"# vantor {run.kind} {FORMAT_VERSION}\n")
        for key, value in run.attrs.items():
            fh.write(f"# {key} = {json.dumps(value)}\n")
        for ch in run.channels:
            fh.write(f"# channel {ch.rank} = {json.dumps(ch.config)}\n")
        out = csv.writer(fh)
        out.writerow(["rank", "mcuId", "cuId", *names])
        for ch in run.channels:
            cols = [ch.data[n] for n in names]
            for row in zip(*cols):
                out.writerow([ch.rank, ch.mcuId, ch.cuId, *(repr(float(v)) if n != "counts"
                                                            else int(v)
                                                            for n, v in zip(names, row))])


def _read_csv(path):
    attrs, configs, kind, rows = {}, {}, None, []
    with open(path, newline="") as fh:
        lines = iter(fh)
        for line in lines:
            if not line.startswith("#"):
                if kind is None:
                    raise OpsError(f"{path}: not a vantor CSV file (first line {line.strip()!r})")
                rows.append(line)
                break
            body = line[1:].strip()
            if kind is None:
                words = body.split()
                if len(words) < 2 or words[0] != "vantor" or words[1] not in COLUMNS:
                    raise OpsError(f"{path}: not a vantor CSV file (first line {line.strip()!r})")
                kind = words[1]
                continue
            key, _, value = body.partition(" = ")
            if key.startswith("channel "):
                configs[int(key.split()[1])] = json.loads(value)
            else:
                attrs[key] = json.loads(value)
        rows.extend(lines)
    if kind is None:
        raise OpsError(f"{path}: empty file")
    names = [n for n, _ in COLUMNS[kind]]
    reader = csv.reader(rows)
    header = next(reader, None)
    if header != ["rank", "mcuId", "cuId", *names]:
        raise OpsError(f"{path}: unexpected columns {header}")
    data = {r: {n: [] for n in names} for r in configs}
    for row in reader:
        rank = int(row[0])
        if rank not in data:
            raise OpsError(f"{path}: row for rank {rank}, which has no '# channel' line")
        for n, v in zip(names, row[3:]):
            data[rank][n].append(int(v) if n == "counts" else float(v))
    channels = [Channel(r, cfg["mcuId"], cfg["cuId"], cfg, data[r])
                for r, cfg in sorted(configs.items())]
    return Run(kind, attrs, channels)
