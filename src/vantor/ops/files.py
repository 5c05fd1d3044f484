"""Runs as files that open without vantor, and reading them back.

HDF5 files follow NeXus, so standard viewers find and plot the data:

    /                      NXroot   @default="entry", @kind, @format_version
    /entry                 NXentry  @default=first channel; the run's facts as
                                    attributes; title, start_time, end_time,
                                    program_name (@version)
    /entry/rank_01 ...     NXdata   one per channel, named so that they sort
                                    by rank; @signal="rate", @axes="biasI" (IV)
                                    or "time" (recording); the channel's
                                    settings as attributes; every dataset has
                                    @units (time also @start, the UTC start)
    /entry/counters        NXcollection  the data path's totals over the run
    /entry/instrument/...  NXlog    the boards' temperatures and PLL lock

CSV files hold one row per point (units in the column names) after leading
'#' lines with the run's facts, the channels' settings and the logs as JSON;
floats are written with the digits of their stored precision.

`read(path)` gives any vantor file back as a `Run` (see vantor.ops.run).
A file appears under its name only once it is complete: it is written to a
hidden temporary file beside it and renamed.  An existing file is replaced
only when asked (`force`)."""
import csv
import json
import math
import os
import tempfile

from vantor.host.settings import U8_FIELDS, U32_FIELDS, UNIT_FIELDS
from vantor.wire import f32

from .channels import OpsError
from .run import COLUMNS, LONG_NAMES, UNITS, Channel, Log, Run, iso_utc, point_seconds, rates, \
    window_seconds

HDF5_SUFFIXES = (".h5", ".hdf5", ".hdf")
FORMAT_VERSION = 3
_ID_ATTRS = ("rank", "mcuId", "cuId", "label", "problem")
# cu_config fields held as binary32 (written with float32 digits, read back as such)
F32_FIELDS = set(UNIT_FIELDS) - U8_FIELDS - U32_FIELDS


def software_version():
    """The installed package's version, or the source tree's."""
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("vantor")
    except PackageNotFoundError:
        pass
    import tomllib
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        with open(os.path.join(here, "..", "..", "..", "pyproject.toml"), "rb") as fh:
            return tomllib.load(fh)["project"]["version"] + " (source tree)"
    except (OSError, KeyError, ValueError):
        return "unknown"


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


def refuse_overwrite(path, force=False):
    path = os.fspath(path)
    if not force and os.path.lexists(path) and not os.path.isdir(path):
        raise OpsError(f"{path} already exists; choose another name or use --force to replace it")


def check_writable(path, force=False):
    """Fail now, before a sweep or a recording, if `path` cannot be written
    (or exists, unless `force`)."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise OpsError(f"cannot write {path}: it is a directory")
    refuse_overwrite(path, force)
    try:
        fd, probe = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".probe",
                                     dir=folder)
    except OSError as exc:
        raise OpsError(f"cannot write {path}: {exc.strerror or exc}") from None
    os.close(fd)
    os.unlink(probe)


class Atomic:
    """A temporary file beside `path`, renamed over it on success, removed on failure."""

    def __init__(self, path, force=False):
        self.path = os.fspath(path)
        self.force = force

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
                if self.force:
                    os.replace(self.tmp, self.path)
                else:
                    _place_new(self.tmp, self.path)
                return False
            except FileExistsError:
                _unlink(self.tmp)
                raise OpsError(f"{self.path} already exists; choose another name or use "
                               f"--force to replace it") from None
            except OSError as err:
                _unlink(self.tmp)
                raise OpsError(f"cannot write {self.path}: {err.strerror or err}") from None
        _unlink(self.tmp)
        if isinstance(exc, OSError):
            raise OpsError(f"cannot write {self.path}: {exc.strerror or exc}") from None
        return False


def _place_new(tmp, path):
    """Rename `tmp` to `path` unless `path` exists, also when it appeared
    since the check: link() refuses an existing name."""
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise
    except OSError:
        # a file system without hard links: check, then rename
        if os.path.lexists(path):
            raise FileExistsError(path) from None
        os.replace(tmp, path)
        return
    os.unlink(tmp)


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def write(run, path, *, force=False):
    """Write `run` to `path` (.h5/.hdf5 or .csv); refuses an existing file
    unless `force`.  Returns the path written."""
    kind = format_of(path)
    refuse_overwrite(path, force)
    with Atomic(path, force) as tmp:
        (_write_hdf5 if kind == "hdf5" else _write_csv)(run, tmp)
    return os.fspath(path)


def read(path):
    """The `Run` held in a vantor HDF5 or CSV file.

    >>> run = read("iv.h5")
    >>> ch = run.channel(3)                   # by rank; run.channels in rank order
    >>> ch.data["biasI"], ch.data["counts"]   # arrays (HDF5) or lists (CSV)
    >>> ch.config["biasSweepT"], run.attrs["started"]

    Recordings hold `time` in seconds since run.attrs["started"] (unix
    seconds) and NaN rows, with `status` not 0, for windows without data.
    OpsError says why a file cannot be read."""
    kind = format_of(path)
    if not os.path.exists(path):
        raise OpsError(f"{path}: no such file")
    try:
        return (_read_hdf5 if kind == "hdf5" else _read_csv)(path)
    except OpsError:
        raise
    except (OSError, KeyError, ValueError, TypeError, IndexError) as exc:
        raise OpsError(f"{path}: not a vantor {kind.upper()} file ({exc})") from None


def group_name(rank, ranks):
    """'rank_07': zero-padded to the widest rank of the file so that names
    sort as the ranks do in any viewer."""
    width = len(str(max(ranks, default=rank)))
    return f"rank_{rank:0{width}d}"


# -- HDF5 -------------------------------------------------------------------------

def _attr(value):
    import numpy as np
    if isinstance(value, (list, tuple)):
        if value and all(isinstance(v, str) for v in value):
            return np.array(value, dtype=object)
        return np.asarray(value, dtype="i8" if all(isinstance(v, int) for v in value) else "f8")
    if isinstance(value, dict):
        return json.dumps(value)
    return value


def _plain(value):
    """h5py attribute values back as Python values."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    if isinstance(value, bytes):
        value = value.decode()
    if isinstance(value, list):
        value = [v.decode() if isinstance(v, bytes) else v for v in value]
    return value


def _dataset(g, name, data, dtype, **attrs):
    import numpy as np
    d = g.create_dataset(name, data=np.asarray(data, dtype=dtype))
    d.attrs["units"] = UNITS.get(name, "")
    if name in LONG_NAMES:
        d.attrs["long_name"] = f"{LONG_NAMES[name]} ({UNITS[name]})"
    for key, value in attrs.items():
        d.attrs[key] = value
    return d


def _config_attr(key, value):
    import numpy as np
    return np.float32(value) if key in F32_FIELDS and isinstance(value, float) else value


def _write_hdf5(run, tmp):
    h5py = h5py_module()
    a = run.attrs
    ranks = [ch.rank for ch in run.channels]
    names = [group_name(r, ranks) for r in ranks]
    with h5py.File(tmp, "w", track_order=True) as f:
        f.attrs["NX_class"] = "NXroot"
        f.attrs["default"] = "entry"
        f.attrs["creator"] = f"vantor {software_version()}"
        f.attrs["HDF5_Version"] = h5py.version.hdf5_version
        if "started" in a:
            f.attrs["file_time"] = iso_utc(a["started"])
        f.attrs["kind"] = run.kind
        f.attrs["format_version"] = FORMAT_VERSION
        entry = f.create_group("entry", track_order=True)
        entry.attrs["NX_class"] = "NXentry"
        if names:
            entry.attrs["default"] = names[0]
        for key, value in a.items():
            if value is not None:
                entry.attrs[key] = _attr(value)
        entry.attrs["kind"] = run.kind
        entry["title"] = _title(run)
        if "started" in a:
            entry["start_time"] = iso_utc(a["started"])
            length = a.get("duration_s", a.get("recorded_s"))
            if length is not None:
                entry["end_time"] = iso_utc(a["started"] + length)
        entry["program_name"] = "vantor"
        entry["program_name"].attrs["version"] = software_version()
        for ch, name in zip(run.channels, names):
            _write_channel(entry, name, run, ch)
        if run.counters:
            c = entry.create_group("counters", track_order=True)
            c.attrs["NX_class"] = "NXcollection"
            for key, value in run.counters.items():
                if value is not None:
                    c[key] = value
                    c[key].attrs["units"] = "1"
        if run.logs:
            inst = entry.create_group("instrument", track_order=True)
            inst.attrs["NX_class"] = "NXinstrument"
            for name, log in run.logs.items():
                _write_log(inst, name, log, a.get("started"))


def _title(run):
    n = len(run.channels)
    what = "IV sweep" if run.kind == "iv" else "recording"
    return f"{what} of {n} channel{'s' if n != 1 else ''}, {run.attrs.get('created', '')}".strip(", ")


def _write_channel(entry, name, run, ch):
    g = entry.create_group(name, track_order=True)
    g.attrs["NX_class"] = "NXdata"
    axis = "biasI" if run.kind == "iv" else "time"
    g.attrs["signal"] = "rate"
    g.attrs["axes"] = axis
    g.attrs[f"{axis}_indices"] = 0
    g.attrs["rank"], g.attrs["mcuId"], g.attrs["cuId"] = ch.rank, ch.mcuId, ch.cuId
    g.attrs["label"] = ch.label
    if ch.problem:
        g.attrs["problem"] = ch.problem
    for key, value in ch.config.items():
        if key not in ("mcuId", "cuId"):
            g.attrs[key] = _config_attr(key, value)
    length = point_seconds(run, ch) if run.kind == "iv" else window_seconds(run)
    rate, error = rates(run, ch)
    for col, dtype in COLUMNS[run.kind]:
        extra = {}
        if col == "counts":
            extra = {"point_length_s" if run.kind == "iv" else "window_s": length,
                     "long_name": f"counts per {'point' if run.kind == 'iv' else 'window'} "
                                  f"of {length:g} s"}
        if col == "time" and "started" in run.attrs:
            extra = {"start": iso_utc(run.attrs["started"])}
        _dataset(g, col, _column(ch, col), dtype, **extra)
    _dataset(g, "rate", rate, "f8")
    _dataset(g, "rate_errors", error, "f8")


def _column(ch, name):
    """A channel's column; a recording made without row status holds only
    measured rows."""
    if name == "status" and name not in ch.data:
        return [0] * len(ch)
    if name == "received" and name not in ch.data:      # files before it was counted
        return [math.nan] * len(ch)
    return ch.data[name]


def _write_log(parent, name, log, started):
    *folders, leaf = name.split("/")
    for folder in folders:
        if folder not in parent:
            sub = parent.create_group(folder, track_order=True)
            sub.attrs["NX_class"] = "NXcollection"
        parent = parent[folder]
    g = parent.create_group(leaf)
    g.attrs["NX_class"] = "NXlog"
    t = _dataset(g, "time", log.time, "f8")
    if started is not None:
        t.attrs["start"] = iso_utc(started)
    v = _dataset(g, "value", log.value, "f8")
    v.attrs["units"] = log.units


def _read_hdf5(path):
    h5py = h5py_module()
    with h5py.File(path, "r") as f:
        if "entry" not in f:
            return _read_hdf5_v1(f, path)
        entry = f["entry"]
        kind = _plain(entry.attrs.get("kind"))
        if kind not in COLUMNS:
            raise OpsError(f"{path}: not a vantor file (no 'kind' attribute of iv or record)")
        attrs = {k: _plain(v) for k, v in entry.attrs.items()
                 if k not in ("NX_class", "default", "kind")}
        channels, counters, logs = [], {}, {}
        for g in entry.values():
            if not isinstance(g, h5py.Group):
                continue
            nx = _plain(g.attrs.get("NX_class"))
            if nx == "NXdata" and "rank" in g.attrs:
                channels.append(_read_channel(g, kind))
            elif g.name == "/entry/counters":
                counters = {k: _plain(d[()]) for k, d in g.items()}
            elif nx == "NXinstrument":
                g.visititems(lambda name, obj: _collect_log(logs, name, obj, h5py))
    channels.sort(key=lambda ch: ch.rank)
    return Run(kind, attrs, channels, counters, logs)


_NEXUS_ATTRS = {"NX_class", "signal", "axes", "biasI_indices", "time_indices"}


def _read_channel(g, kind):
    ga = {k: _plain(v) for k, v in g.attrs.items() if k not in _NEXUS_ATTRS}
    config = {k: v for k, v in ga.items() if k not in _ID_ATTRS}
    config.update(mcuId=ga["mcuId"], cuId=ga["cuId"])
    data = {name: g[name][()] for name, _ in COLUMNS[kind] if name in g}
    return Channel(ga["rank"], ga["mcuId"], ga["cuId"], config, data, ga.get("problem", ""))


def _collect_log(logs, name, obj, h5py):
    if isinstance(obj, h5py.Group) and _plain(obj.attrs.get("NX_class")) == "NXlog":
        value = obj["value"]
        logs[name] = Log(obj["time"][()], value[()], _plain(value.attrs.get("units", "")))


def _read_hdf5_v1(f, path):
    """Files of the first layout: the run's facts on the root, groups rank_N."""
    h5py = h5py_module()
    kind = _plain(f.attrs.get("kind"))
    if kind not in ("iv", "record"):
        raise OpsError(f"{path}: not a vantor file (no 'kind' attribute of iv or record)")
    attrs = {k: _plain(v) for k, v in f.attrs.items() if k not in ("kind", "format_version")}
    channels = []
    for g in f.values():
        if not isinstance(g, h5py.Group):
            continue
        ga = {k: _plain(v) for k, v in g.attrs.items()}
        config = {k: v for k, v in ga.items() if k not in _ID_ATTRS}
        config.update(mcuId=ga["mcuId"], cuId=ga["cuId"])
        data = {name: g[name][()] for name in ("biasI", "time", "counts", "monitorV") if name in g}
        channels.append(Channel(ga["rank"], ga["mcuId"], ga["cuId"], config, data))
    channels.sort(key=lambda ch: ch.rank)
    return Run(kind, attrs, channels)


# -- CSV --------------------------------------------------------------------------

def _text(name, value, dtype):
    """A value with the digits of its stored precision."""
    if dtype.startswith("u"):
        return str(int(value))
    value = float(value)
    if math.isnan(value):
        return "nan"
    if name in ("counts", "received"):     # whole numbers held as floats in recordings
        return str(int(value))
    if dtype == "f4":
        import numpy as np
        return str(np.float32(value))
    return repr(value)


def _json_f32(config):
    """cu_config values for JSON: binary32 fields with their own shortest digits."""
    out = {}
    for key, value in config.items():
        if key in F32_FIELDS and isinstance(value, float) and math.isfinite(value):
            import numpy as np
            value = float(str(np.float32(value)))
        out[key] = value
    return out


def _header(name):
    unit = UNITS.get(name)
    if name == "time":
        return "time (s since started)"
    return f"{name} ({unit})" if unit and unit not in ("1", "counts") else name


def _write_csv(run, tmp):
    columns = COLUMNS[run.kind]
    with open(tmp, "w", newline="") as fh:
        fh.write(f"# vantor {run.kind} {FORMAT_VERSION}\n")
        for key, value in run.attrs.items():
            fh.write(f"# {key} = {json.dumps(value)}\n")
        if "software" not in run.attrs:
            fh.write(f"# software = {json.dumps('vantor ' + software_version())}\n")
        if run.kind == "iv":
            fh.write("# counts are per point of biasSweepT x 10 ms (each channel's settings)\n")
        else:
            fh.write(f"# counts are per window of {window_seconds(run):g} s; nan rows: no data "
                     f"(status 100/200 silent, 255 missing)\n")
        for ch in run.channels:
            fh.write(f"# channel {ch.rank} = {json.dumps(_json_f32(ch.config))}\n")
            if ch.problem:
                fh.write(f"# problem {ch.rank} = {json.dumps(ch.problem)}\n")
        if run.counters:
            fh.write(f"# counters = {json.dumps(run.counters)}\n")
        for name, log in run.logs.items():
            fh.write(f"# log {name} = " + json.dumps(
                {"units": log.units, "time": [float(t) for t in log.time],
                 "value": [float(v) for v in log.value]}) + "\n")
        out = csv.writer(fh)
        out.writerow(["rank", "mcuId", "cuId", *(_header(n) for n, _ in columns)])
        for ch in run.channels:
            cols = [_column(ch, n) for n, _ in columns]
            for row in zip(*cols):
                out.writerow([ch.rank, ch.mcuId, ch.cuId,
                              *(_text(n, v, d) for (n, d), v in zip(columns, row))])


def _value(dtype, text):
    if dtype.startswith("u"):
        return int(text)
    value = float(text)
    return f32(value) if dtype == "f4" else value


def _read_csv(path):
    attrs, configs, problems, counters, logs, kind, rows = {}, {}, {}, {}, {}, None, []
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
                kind, version = words[1], int(words[2]) if len(words) > 2 else 1
                continue
            key, sep, value = body.partition(" = ")
            if not sep:
                continue                    # a line of explanation
            if key.startswith("channel "):
                configs[int(key.split()[1])] = {k: f32(v) if k in F32_FIELDS and isinstance(v, float)
                                                else v for k, v in json.loads(value).items()}
            elif key.startswith("problem "):
                problems[int(key.split()[1])] = json.loads(value)
            elif key.startswith("log "):
                log = json.loads(value)
                logs[key[4:]] = Log(log["time"], log["value"], log["units"])
            elif key == "counters":
                counters = json.loads(value)
            else:
                attrs[key] = json.loads(value)
        rows.extend(lines)
    if kind is None:
        raise OpsError(f"{path}: empty file")
    columns = COLUMNS[kind] if version >= 3 else \
        tuple((n, d) for n, d in COLUMNS[kind] if n != "received") if version == 2 else \
        tuple((n, "f8" if n == "monitorV" else d) for n, d in COLUMNS[kind]
              if n not in ("status", "received"))
    reader = csv.reader(rows)
    header = next(reader, None)
    expected = [_header(n) for n, _ in columns] if version >= 2 else [n for n, _ in columns]
    if header != ["rank", "mcuId", "cuId", *expected]:
        raise OpsError(f"{path}: unexpected columns {header}")
    data = {r: {n: [] for n, _ in columns} for r in configs}
    for row in reader:
        rank = int(row[0])
        if rank not in data:
            raise OpsError(f"{path}: row for rank {rank}, which has no '# channel' line")
        for (n, d), v in zip(columns, row[3:]):
            data[rank][n].append(_value(d, v))
    channels = [Channel(r, cfg["mcuId"], cfg["cuId"], cfg, data[r], problems.get(r, ""))
                for r, cfg in sorted(configs.items())]
    return Run(kind, attrs, channels, counters, logs)
