"""The archive's row layouts as PostgreSQL tables, and numpy rows to and from
PostgreSQL's binary COPY format.  With every column NOT NULL and of fixed
width, each row is one fixed-size big-endian record, so a whole block of
rows crosses the connection as one numpy array, without a Python object
per row."""
import numpy as np

from .aggregate import MINUTE
from .layouts import VALUE_FIELDS, minute_dtype, row_dtype
from .store import ArchiveError

SCHEMA = "vantor"
SIGNATURE = b"PGCOPY\n\xff\r\n\x00"
HEADER = SIGNATURE + bytes(8)            # no flags, no header extension
TRAILER = b"\xff\xff"
TABLES = {"unit": "windows", "board": "board_reports", "counters": "counters"}
KEY_COLUMNS = {"unit": "rank", "board": "mcuId", "counters": "counter"}
# numpy field (kind, size) -> column type and its binary COPY form
_TYPES = {("f", 4): ("real", ">f4"), ("f", 8): ("double precision", ">f8"),
          ("u", 1): ("smallint", ">i2"), ("u", 4): ("integer", ">i4")}


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
        columns = [self.key if field == "key" else field for field in self.fields]
        self.columns = ", ".join(f'"{c}"' for c in columns)
        types = [_TYPES[(self.dtype[f].kind, self.dtype[f].itemsize)] for f in self.fields]
        self._declared = ", ".join(f'"{c}" {sql} NOT NULL' for c, (sql, _) in zip(columns, types))
        wire = [("count", ">i2")]
        for i, (_, form) in enumerate(types):
            wire += [(f"size{i}", ">i4"), (f"value{i}", form)]
        self.wire = np.dtype(wire)
        self.sizes = [np.dtype(form).itemsize for _, form in types]

    def create(self):
        """Statements creating the table and its indexes: per series and time
        for a few units over a range, BRIN on time alone for folding and
        retention (rows arrive in time order, so it stays tiny)."""
        return [f"CREATE TABLE IF NOT EXISTS {self.qualified} ({self._declared}) "
                f"PARTITION BY RANGE (t)",
                f'CREATE INDEX IF NOT EXISTS "{self.name}_series" ON {self.qualified} '
                f'("{self.key}", t)',
                f'CREATE INDEX IF NOT EXISTS "{self.name}_time" ON {self.qualified} '
                f"USING brin (t)"]

    def encode(self, rows):
        """Binary COPY data of keyed rows (self.dtype)."""
        out = np.empty(len(rows), dtype=self.wire)
        out["count"] = len(self.fields)
        for i, field in enumerate(self.fields):
            out[f"size{i}"] = self.sizes[i]
            out[f"value{i}"] = rows[field]
        return HEADER + out.tobytes() + TRAILER

    def decode(self, data):
        """Keyed rows from binary COPY data of a query selecting self.columns."""
        data = memoryview(data)
        if bytes(data[:len(SIGNATURE)]) != SIGNATURE or bytes(data[-2:]) != TRAILER:
            raise ArchiveError(f"{self.name}: the server sent no binary COPY data")
        extension = int.from_bytes(data[15:19], "big")
        body = data[19 + extension:-2]
        if len(body) % self.wire.itemsize:
            raise ArchiveError(f"{self.name}: rows of an unexpected layout")
        records = np.frombuffer(body, dtype=self.wire)
        if np.any(records["count"] != len(self.fields)) or any(
                np.any(records[f"size{i}"] != size) for i, size in enumerate(self.sizes)):
            raise ArchiveError(f"{self.name}: rows of an unexpected layout")
        rows = np.empty(len(records), dtype=self.dtype)
        for i, field in enumerate(self.fields):
            rows[field] = records[f"value{i}"]
        return rows


def aggregate_sql(full, where):
    """A query of per-minute rows (the columns of the kind's minute table) of
    the full rows matching `where`: NaN (not measured) is left out of min,
    mean and max, and a minute without any value gets NaN, as in
    aggregate.minutes."""
    cols = [f'"{full.key}"', f"floor(t / {MINUTE!r}) * {MINUTE!r}", "count(*)::integer"]
    for name, form in VALUE_FIELDS[full.kind]:
        out = "double precision" if form == "<f8" else "real"
        value = f"nullif(\"{name}\"::double precision, 'NaN')"
        cols += [f"coalesce({func}({value}), 'NaN')::{out}" for func in ("min", "avg", "max")]
    return f"SELECT {', '.join(cols)} FROM {full.qualified} WHERE {where} GROUP BY 1, 2"
