"""The archive's row layouts as PostgreSQL tables, and numpy rows to and
from the server without a Python object per row: rows go in as binary COPY
(with every column NOT NULL and of fixed width, each row is one fixed-size
big-endian record) and come out packed per series, one value after another
in a bytea per column."""
import numpy as np

from .aggregate import MINUTE
from .layouts import VALUE_FIELDS, minute_dtype, row_dtype
from .store import ArchiveError

SCHEMA = "vantor"
HEADER = b"PGCOPY\n\xff\r\n\x00" + bytes(8)     # no flags, no header extension
TRAILER = b"\xff\xff"
TABLES = {"unit": "windows", "board": "board_reports", "counters": "counters"}
KEY_COLUMNS = {"unit": "rank", "board": "mcuId", "counters": "counter"}
# numpy field (kind, size) -> column type, its binary form, the function giving that form
_TYPES = {("f", 4): ("real", ">f4", "float4send"),
          ("f", 8): ("double precision", ">f8", "float8send"),
          ("u", 1): ("smallint", ">i2", "int2send"),
          ("u", 4): ("integer", ">i4", "int4send")}


class Table:
    """The table of one kind's rows, at full resolution or per minute; both
    are range-partitioned by time `t` (Unix seconds)."""

    def __init__(self, kind, minutes=False):
        self.kind = kind
        self.dtype = minute_dtype(kind, keyed=True) if minutes else row_dtype(kind)
        self.name = TABLES[kind] + ("_minutes" if minutes else "")
        self.qualified = f'{SCHEMA}."{self.name}"'
        self.key = KEY_COLUMNS[kind]
        self.fields = self.dtype.names
        self.names = [self.key if field == "key" else field for field in self.fields]
        self.columns = ", ".join(f'"{c}"' for c in self.names)
        types = [_TYPES[(self.dtype[f].kind, self.dtype[f].itemsize)] for f in self.fields]
        self._declared = [f'"{c}" {sql} NOT NULL' for c, (sql, _, _) in zip(self.names, types)]
        # columns are only ever added at the end of a layout: rows kept from
        # before one was added read it as NaN (not known)
        self._added = [f"{column} DEFAULT {'0' if form[1] == 'i' else repr('NaN')}"
                       for column, (_, form, _) in zip(self._declared[2:], types[2:])]
        self.forms = [np.dtype(form) for _, form, _ in types]
        self._send = [send for _, _, send in types]
        wire = [("count", ">i2")]
        for i, form in enumerate(self.forms):
            wire += [(f"size{i}", ">i4"), (f"value{i}", form)]
        self.wire = np.dtype(wire)

    def create(self):
        """Statements creating the table and its indexes: per series and time
        for a few units over a range, BRIN on time alone for folding and
        retention (rows arrive in time order, so it stays tiny)."""
        return [f"CREATE TABLE IF NOT EXISTS {self.qualified} ({', '.join(self._declared)}) "
                f"PARTITION BY RANGE (t)",
                *(f"ALTER TABLE {self.qualified} ADD COLUMN IF NOT EXISTS {column}"
                  for column in self._added),
                f'CREATE INDEX IF NOT EXISTS "{self.name}_series" ON {self.qualified} '
                f'("{self.key}", t)',
                f'CREATE INDEX IF NOT EXISTS "{self.name}_time" ON {self.qualified} '
                f"USING brin (t)"]

    def encode(self, rows):
        """Binary COPY data of keyed rows (self.dtype)."""
        out = np.empty(len(rows), dtype=self.wire)
        out["count"] = len(self.fields)
        for i, field in enumerate(self.fields):
            out[f"size{i}"] = self.forms[i].itemsize
            out[f"value{i}"] = rows[field]
        return HEADER + out.tobytes() + TRAILER

    def series_sql(self, query):
        """A query of one row per series of the rows of `query` (which selects
        this table's columns): key, row count, then every other column's
        values in time order, packed in their binary form."""
        packed = ", ".join(f"string_agg({send}(\"{name}\"), ''::bytea)"
                           for name, send in zip(self.names[1:], self._send[1:]))
        # an aggregate takes its rows in the order its subquery gives them;
        # unpack checks that it did
        return (f'SELECT "{self.key}", count(*), {packed} FROM ({query} ORDER BY "{self.key}", '
                f't) AS rows GROUP BY "{self.key}" ORDER BY "{self.key}"')

    def unpack(self, found):
        """Keyed rows (self.dtype), sorted by key and time, from the answer
        to series_sql (fetched in binary)."""
        rows = np.empty(sum(n for _, n, *_ in found), dtype=self.dtype)
        at = 0
        for key, n, *packed in found:
            part = rows[at:at + n]
            at += n
            part["key"] = key
            for field, form, data in zip(self.fields[1:], self.forms[1:], packed):
                if len(data) != n * form.itemsize:
                    raise ArchiveError(f"{self.name}: {field} of series {key} is not "
                                       f"{n} values")
                part[field] = np.frombuffer(data, dtype=form)
            if np.any(np.diff(part["t"]) < 0):
                part[:] = part[np.argsort(part["t"], kind="stable")]
        return rows


def aggregate_sql(full, where):
    """A query of per-minute rows (the columns of the kind's minute table) of
    the full rows matching `where`: NaN (not measured) is left out of min,
    mean and max, and a minute without any value gets NaN, as in
    aggregate.minutes."""
    cols = [f'"{full.key}"', f"floor(t / {MINUTE!r}) * {MINUTE!r} AS t", "count(*)::integer AS n"]
    for name, form in VALUE_FIELDS[full.kind]:
        out = "double precision" if form == "<f8" else "real"
        value = f"nullif(\"{name}\"::double precision, 'NaN')"
        cols += [f"coalesce({func}({value}), 'NaN')::{out} AS \"{name}_{stat}\""
                 for func, stat in (("min", "min"), ("avg", "mean"), ("max", "max"))]
    return (f"SELECT {', '.join(cols)} FROM {full.qualified} WHERE {where} "
            f'GROUP BY "{full.key}", 2')
