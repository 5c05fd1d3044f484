"""The archive in a PostgreSQL database, for a site whose history must
outlive any one read-out machine and be read with SQL by other tools.

Every window is one row of `vantor.windows` (board reports and counters have
tables of their own), range-partitioned by time in partitions of
`partition_seconds` that are created as rows for them arrive and dropped
whole once past retention; rows arrive by binary COPY.  Spans of
`block_seconds` (whole minutes) that have closed are folded in the server
into per-minute min, mean and max (`<table>_minutes`, partitioned the same
way); spans not folded yet are aggregated when read.  A span that gets late
rows is folded again from its full rows.  Unmeasured values are NaN, never
0, as in the SQLite store."""
import contextlib
import json
import math
import re
import threading
import time
import urllib.parse

import numpy as np

from .aggregate import MINUTE, rebin_minutes
from .layouts import KINDS, minute_dtype, row_dtype, strip_key
from .pg_tables import SCHEMA, Table, aggregate_sql
from .store import ArchiveError, Store

SCHEMA_VERSION = "1"
CLOSE_GRACE = 10.0                 # seconds a span stays open for late rows
LOCK_KEY = 0x76616E746F72          # advisory lock: one writing vantor per database
CONNECT_TIMEOUT_S = 10
_BOUNDS = re.compile(r"FROM \('?([^')]+)'?\) TO \('?([^')]+)'?\)")

BASE_SCHEMA = [
    f"CREATE SCHEMA IF NOT EXISTS {SCHEMA}",
    f"CREATE TABLE IF NOT EXISTS {SCHEMA}.meta (key text PRIMARY KEY, value text NOT NULL)",
    # spans with rows not folded into minutes yet
    f"CREATE TABLE IF NOT EXISTS {SCHEMA}.pending (kind text, t0 double precision, "
    f"t1 double precision, PRIMARY KEY (kind, t0, t1))",
    f'CREATE TABLE IF NOT EXISTS {SCHEMA}.unit_state (seq bigint GENERATED ALWAYS AS IDENTITY '
    f'PRIMARY KEY, t double precision NOT NULL, rank integer NOT NULL, status text, '
    f'"biasI" double precision)',
    f"CREATE INDEX IF NOT EXISTS unit_state_rank ON {SCHEMA}.unit_state (rank, t)",
    # old and new values and the alarm as JSON text, as written (may hold NaN)
    f"CREATE TABLE IF NOT EXISTS {SCHEMA}.settings_log (seq bigint GENERATED ALWAYS AS "
    f"IDENTITY PRIMARY KEY, t double precision NOT NULL, via text, rank integer, name text, "
    f"field text, old text, new text, actor text)",
    f"ALTER TABLE {SCHEMA}.settings_log ADD COLUMN IF NOT EXISTS actor text",
    f"CREATE INDEX IF NOT EXISTS settings_log_time ON {SCHEMA}.settings_log (t)",
    f"CREATE TABLE IF NOT EXISTS {SCHEMA}.alarm_log (seq bigint GENERATED ALWAYS AS IDENTITY "
    f"PRIMARY KEY, t double precision NOT NULL, id text, condition text, subject text, "
    f"state text, message text, comment text, alarm text NOT NULL)",
    f"CREATE INDEX IF NOT EXISTS alarm_log_time ON {SCHEMA}.alarm_log (t)",
    f"CREATE TABLE IF NOT EXISTS {SCHEMA}.calibrations (seq bigint GENERATED ALWAYS AS "
    f"IDENTITY PRIMARY KEY, t double precision NOT NULL, rank integer, job text, "
    f"data text NOT NULL)",
    f"CREATE INDEX IF NOT EXISTS calibrations_rank ON {SCHEMA}.calibrations (rank, t)",
]


def is_database_url(location):
    return isinstance(location, str) and location.startswith(("postgresql://", "postgres://"))


def public_url(url):
    """The URL without its password (in the user part or the query), for messages."""
    parts = urllib.parse.urlsplit(url)
    netloc = parts.netloc.rpartition("@")
    user = netloc[0].partition(":")[0]
    query = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query) if k != "password"]
    return urllib.parse.urlunsplit(parts._replace(
        netloc=f"{user}@{netloc[2]}" if user else netloc[2],
        query=urllib.parse.urlencode(query)))


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


def _by_key(rows, keys, dtype):
    """{key: its rows in `dtype`} of keyed rows sorted by key."""
    low = np.searchsorted(rows["key"], keys, side="left")
    high = np.searchsorted(rows["key"], keys, side="right")
    return {key: strip_key(rows[a:b], dtype) for key, a, b in zip(keys, low, high)}


class PostgresStore(Store):
    def __init__(self, url, *, block_seconds=600, partition_seconds=86400, max_bytes=None):
        self.url = url
        self.where = public_url(url)
        self.span = max(1, round(block_seconds / MINUTE)) * MINUTE
        # whole minutes, so that a span cut at a partition bound is cut between minutes
        self.partition_seconds = max(1, round(partition_seconds / MINUTE)) * MINUTE
        self.max_bytes = max_bytes
        self.tables = {kind: (Table(kind), Table(kind, minutes=True)) for kind in KINDS}
        self._local = threading.local()
        self._readers = []
        self._guard = threading.Lock()
        self._writer = None
        self._partitions = set()         # (table, start) known to exist
        try:
            import psycopg
            import psycopg.conninfo
        except ImportError:
            raise ArchiveError(f"archive {self.where}: the PostgreSQL archive needs psycopg: "
                               f"pip install 'vantor[site]'") from None
        self._psycopg = psycopg
        try:
            self._params = psycopg.conninfo.conninfo_to_dict(url)
        except psycopg.Error as exc:
            raise ArchiveError(f"archive {self.where}: not a PostgreSQL URL "
                               f"({_one_line(exc)})") from None
        self._params.setdefault("connect_timeout", CONNECT_TIMEOUT_S)
        self._params.setdefault("application_name", "vantor")
        try:
            self._open()
        except ArchiveError:
            self.close()
            raise

    # -- connections --------------------------------------------------------

    @contextlib.contextmanager
    def _errors(self):
        """The server's failures as ArchiveError naming the archive; a
        broken connection is opened anew on the next call."""
        try:
            yield
        except self._psycopg.Error as exc:
            raise ArchiveError(f"archive {self.where}: {_one_line(exc)}") from None

    def _connect(self):
        try:
            return self._psycopg.connect(**self._params, autocommit=True)
        except self._psycopg.Error as exc:
            raise ArchiveError(f"archive {self.where}: cannot connect: {_one_line(exc)}") \
                from None

    def _alive(self, db):
        """Whether a connection still reaches its server: after a restart of
        the server it looks fine until used."""
        if db is None or db.closed or db.broken:
            return False
        try:
            db.execute("SELECT 1")
            return True
        except self._psycopg.Error:
            db.close()
            return False

    def _writing(self):
        """The one writer's connection, holding the archive's lock."""
        if self._alive(self._writer):
            return self._writer
        db = self._writer = self._connect()
        if not db.execute("SELECT pg_try_advisory_lock(%s)", (LOCK_KEY,)).fetchone()[0]:
            db.close()
            self._writer = None
            raise ArchiveError(f"archive {self.where}: in use by another vantor process "
                               f"(it holds the archive's lock)")
        self._partitions.clear()         # another writer may have dropped some meanwhile
        return db

    def _reading(self):
        """This thread's connection: queries, and writes made beside the writer thread."""
        db = getattr(self._local, "db", None)
        if self._alive(db):
            return db
        fresh = self._local.db = self._connect()
        with self._guard:
            if db in self._readers:
                self._readers.remove(db)
            self._readers.append(fresh)
        return fresh

    def close(self):
        with self._guard:
            for db in self._readers + [self._writer]:
                if db is not None:
                    with contextlib.suppress(Exception):
                        db.close()
            self._readers.clear()
            self._writer = None
        self._local = threading.local()

    def _open(self):
        with self._errors():
            db = self._writing()
            with db.transaction():
                for statement in BASE_SCHEMA:
                    db.execute(statement)
                for full, minutes in self.tables.values():
                    for statement in full.create() + minutes.create():
                        db.execute(statement)
                for key, value in (("schema", SCHEMA_VERSION),
                                   ("partition_seconds", repr(self.partition_seconds))):
                    db.execute(f"INSERT INTO {SCHEMA}.meta VALUES (%s, %s) "
                               f"ON CONFLICT DO NOTHING", (key, value))
                meta = dict(db.execute(f"SELECT key, value FROM {SCHEMA}.meta").fetchall())
        if meta["schema"] != SCHEMA_VERSION:
            raise ArchiveError(f"archive {self.where}: schema {meta['schema']}, this vantor "
                               f"reads {SCHEMA_VERSION}")
        # partitions keep the bounds they were made with, whatever this run asks for
        self.partition_seconds = float(meta["partition_seconds"])

    # -- partitions ---------------------------------------------------------

    def _ensure_partitions(self, db, table, times):
        size = self.partition_seconds
        for start in np.unique(np.floor(np.asarray(times, dtype=np.float64) / size)) * size:
            start = float(start)
            if (table.name, start) in self._partitions:
                continue
            name = f"{table.name}_{time.strftime('%Y%m%d_%H%M%S', time.gmtime(start))}"
            db.execute(f'CREATE TABLE IF NOT EXISTS {SCHEMA}."{name}" PARTITION OF '
                       f"{table.qualified} FOR VALUES FROM ({start!r}) TO ({start + size!r})")
            self._partitions.add((table.name, start))

    def _partitions_of(self, db, table):
        """[(name, start, stop)] of the table's range partitions."""
        found = db.execute(
            "SELECT c.relname, pg_get_expr(c.relpartbound, c.oid) FROM pg_inherits i "
            "JOIN pg_class c ON c.oid = i.inhrelid JOIN pg_class p ON p.oid = i.inhparent "
            "JOIN pg_namespace n ON n.oid = p.relnamespace WHERE n.nspname = %s "
            "AND p.relname = %s", (SCHEMA, table.name)).fetchall()
        out = []
        for name, bound in found:
            match = _BOUNDS.search(bound or "")
            if match:
                out.append((name, float(match.group(1)), float(match.group(2))))
        return out

    def _full_from(self, db, kind):
        """Full rows before this time were dropped with their partitions."""
        row = db.execute(f"SELECT value FROM {SCHEMA}.meta WHERE key = %s",
                         (f"full_from:{kind}",)).fetchone()
        return float(row[0]) if row else -math.inf

    # -- writing ------------------------------------------------------------

    def write(self, batch):
        with self._errors():
            db = self._writing()
            if self.max_bytes and self.size() > self.max_bytes:
                raise ArchiveError(f"archive {self.where}: full: more than max_size_mb = "
                                   f"{self.max_bytes / 1e6:g} MB")
            parts = [(kind, rows) for kind, rows in batch.rows.items() if len(rows)]
            for kind, rows in parts:
                self._ensure_partitions(db, self.tables[kind][0], rows["t"])
            with db.transaction():
                cur = db.cursor()
                for kind, rows in parts:
                    full = self.tables[kind][0]
                    with cur.copy(f"COPY {full.qualified} ({full.columns}) FROM STDIN "
                                  f"(FORMAT BINARY)") as copy:
                        copy.write(full.encode(rows))
                    spans = np.unique(np.floor(rows["t"] / self.span)) * self.span
                    cur.executemany(f"INSERT INTO {SCHEMA}.pending VALUES (%s, %s, %s) "
                                    f"ON CONFLICT DO NOTHING",
                                    [(kind, float(s), float(s) + self.span) for s in spans])
                if batch.states:
                    cur.executemany(f'INSERT INTO {SCHEMA}.unit_state (t, rank, status, "biasI") '
                                    f"VALUES (%s, %s, %s, %s)", batch.states)
                if batch.settings:
                    cur.executemany(
                        f"INSERT INTO {SCHEMA}.settings_log (t, via, rank, name, field, old, new, "
                        f"actor) VALUES (%s, %s, %s, %s, %s, %s, %s, %s)",
                        [(t, via, rank, name, fld, json.dumps(old), json.dumps(new),
                          json.dumps(actor))
                         for t, via, rank, name, fld, old, new, actor in batch.settings])
                if batch.marks:
                    cur.executemany(f"INSERT INTO {SCHEMA}.meta VALUES (%s, %s) ON CONFLICT "
                                    f"(key) DO UPDATE SET value = excluded.value",
                                    [(f"mark:{k}", str(v)) for k, v in batch.marks.items()])
                if batch.alarms:
                    cur.executemany(
                        f"INSERT INTO {SCHEMA}.alarm_log (t, id, condition, subject, state, "
                        f"message, comment, alarm) VALUES (%s, %s, %s, %s, %s, %s, %s, %s)",
                        [(a["time"], a["id"], a["condition"], a["subject"], a["state"],
                          a["message"], a.get("comment"), json.dumps(a)) for a in batch.alarms])

    def compact(self, now):
        with self._errors():
            db = self._writing()
            closed = db.execute(f"SELECT kind, t0, t1 FROM {SCHEMA}.pending WHERE t1 <= %s "
                                f"ORDER BY t0", (now - CLOSE_GRACE,)).fetchall()
            for kind, t0, t1 in closed:
                self._fold(db, kind, t0, t1)
            return len(closed)

    def _fold(self, db, kind, t0, t1):
        """Per-minute rows of the span [t0, t1) from its full rows.  Where
        the full rows' partition had been dropped, the rows found are late
        ones: their minutes are added to those kept and they are dropped."""
        full, minutes = self.tables[kind]
        cut = min(max(self._full_from(db, kind), t0), t1)
        self._ensure_partitions(db, minutes, [t0, t1 - MINUTE])
        into = f"INSERT INTO {minutes.qualified} ({minutes.columns}) "
        with db.transaction():
            if cut > t0:
                db.execute(into + aggregate_sql(full, "t >= %s AND t < %s"), (t0, cut))
                db.execute(f"DELETE FROM {full.qualified} WHERE t >= %s AND t < %s", (t0, cut))
            if cut < t1:
                db.execute(f"DELETE FROM {minutes.qualified} WHERE t >= %s AND t < %s", (cut, t1))
                db.execute(into + aggregate_sql(full, "t >= %s AND t < %s"), (cut, t1))
            db.execute(f"DELETE FROM {SCHEMA}.pending WHERE kind = %s AND t0 = %s AND t1 = %s",
                       (kind, t0, t1))

    def prune(self, now, full_seconds, aggregate_seconds):
        """Drops whole partitions past retention (so rows stay up to one
        partition longer than asked), the logs' rows past it, and unit states
        past it except each unit's last one."""
        full_before, all_before = now - full_seconds, now - aggregate_seconds
        dropped = 0
        with self._errors():
            db = self._writing()
            pending = db.execute(f"SELECT kind, t0, t1 FROM {SCHEMA}.pending").fetchall()
            for kind, (full, minutes) in self.tables.items():
                unfolded = [(t0, t1) for k, t0, t1 in pending if k == kind]
                with db.transaction():
                    gone = []
                    for name, start, stop in self._partitions_of(db, full):
                        # a span not folded yet keeps its rows until it is
                        if stop <= full_before and not any(a < stop and b > start
                                                           for a, b in unfolded):
                            self._drop(db, full, name, start)
                            gone.append(stop)
                    if gone:
                        db.execute(f"INSERT INTO {SCHEMA}.meta VALUES (%s, %s) ON CONFLICT "
                                   f"(key) DO UPDATE SET value = greatest(meta.value::float8, "
                                   f"excluded.value::float8)::text",
                                   (f"full_from:{kind}", repr(max(gone))))
                    dropped += len(gone)
                    for name, start, stop in self._partitions_of(db, minutes):
                        if stop <= all_before:
                            self._drop(db, minutes, name, start)
                            dropped += 1
            with db.transaction():
                for table in ("settings_log", "alarm_log"):     # calibrations are kept
                    dropped += db.execute(f"DELETE FROM {SCHEMA}.{table} WHERE t < %s",
                                          (all_before,)).rowcount
                dropped += db.execute(
                    f"DELETE FROM {SCHEMA}.unit_state WHERE t < %s AND seq NOT IN (SELECT "
                    f"max(seq) FROM {SCHEMA}.unit_state WHERE t < %s GROUP BY rank)",
                    (all_before, all_before)).rowcount
        return dropped

    def _drop(self, db, table, name, start):
        db.execute(f'DROP TABLE {SCHEMA}."{name}"')
        self._partitions.discard((table.name, start))

    # -- reading ------------------------------------------------------------

    def _series(self, db, table, query, params):
        """Keyed rows of `query` (selecting the table's columns), sorted by key and time."""
        cursor = db.cursor(binary=True)
        cursor.execute(table.series_sql(query), params)
        return table.unpack(cursor.fetchall())

    def rows(self, kind, keys, since, until):
        keys = sorted({int(k) for k in keys})
        full = self.tables[kind][0]
        with self._errors():
            found = self._series(
                self._reading(), full,
                f'SELECT {full.columns} FROM {full.qualified} WHERE "{full.key}" = '
                f"ANY(%s::integer[]) AND t >= %s AND t <= %s", (keys, float(since), float(until)))
        return _by_key(found, keys, row_dtype(kind, keyed=False))

    def minutes(self, kind, keys, since, until):
        keys = sorted({int(k) for k in keys})
        full, minutes = self.tables[kind]
        start = math.floor(since / MINUTE) * MINUTE if math.isfinite(since) else since
        end = math.floor(until / MINUTE) * MINUTE + MINUTE if math.isfinite(until) else until
        where = f'"{full.key}" = ANY(%s::integer[]) AND t >= %s AND t < %s'
        with self._errors():
            db = self._reading()
            stored = self._series(db, minutes, f"SELECT {minutes.columns} FROM "
                                  f"{minutes.qualified} WHERE {where}", (keys, start, end))
            unfolded = db.execute(f"SELECT t0, t1 FROM {SCHEMA}.pending WHERE kind = %s AND "
                                  f"t1 > %s AND t0 < %s", (kind, start, end)).fetchall()
            parts = [stored]
            if unfolded:
                # minutes kept for an unfolded span are stale unless its full rows
                # are gone (then they add to the late rows' minutes)
                cut = self._full_from(db, kind)
                stale = np.zeros(len(stored), dtype=bool)
                for t0, t1 in unfolded:
                    stale |= (stored["t"] >= max(t0, cut)) & (stored["t"] < t1)
                    parts.append(self._series(db, minutes, aggregate_sql(full, where),
                                              (keys, max(t0, start), min(t1, end))))
                parts[0] = stored[~stale]
        rows = np.concatenate(parts)
        rows = rows[np.lexsort((rows["t"], rows["key"]))]
        same = (np.diff(rows["key"]) == 0) & (np.diff(rows["t"]) == 0)
        if np.any(same):         # a minute folded in two parts: merged to one row
            rows = rebin_minutes(kind, rows, MINUTE)
        return _by_key(rows, keys, minute_dtype(kind))

    def states(self, ranks, since, until):
        with self._errors():
            found = self._reading().execute(
                f'(SELECT DISTINCT ON (rank) seq, t, rank, status, "biasI" FROM '
                f"{SCHEMA}.unit_state WHERE rank = ANY(%s::integer[]) AND t < %s "
                f"ORDER BY rank, t DESC, seq DESC) UNION ALL "
                f'(SELECT seq, t, rank, status, "biasI" FROM {SCHEMA}.unit_state WHERE '
                f"rank = ANY(%s::integer[]) AND t >= %s AND t <= %s) ORDER BY rank, t, seq",
                (sorted({int(r) for r in ranks}), float(since),
                 sorted({int(r) for r in ranks}), float(since), float(until))).fetchall()
        return [{"time": t, "rank": r, "status": s, "biasI": b} for _, t, r, s, b in found]

    def settings_log(self, since, until, limit):
        with self._errors():
            found = self._reading().execute(
                f"SELECT t, via, rank, name, field, old, new, actor FROM {SCHEMA}.settings_log "
                f"WHERE t >= %s AND t <= %s ORDER BY t DESC, seq DESC LIMIT %s",
                (float(since), float(until), int(limit))).fetchall()
        return [{"time": t, "via": via, "rank": rank, "name": name, "field": fld,
                 "old": json.loads(old), "new": json.loads(new),
                 "actor": json.loads(actor) if actor else None}
                for t, via, rank, name, fld, old, new, actor in found]

    def alarm_log(self, since, until, limit):
        with self._errors():
            found = self._reading().execute(
                f"SELECT alarm FROM {SCHEMA}.alarm_log WHERE t >= %s AND t <= %s "
                f"ORDER BY t DESC, seq DESC LIMIT %s",
                (float(since), float(until), int(limit))).fetchall()
        return [json.loads(text) for (text,) in found]

    def add_calibrations(self, calibrations):
        with self._errors():
            db = self._reading()         # called beside the writer thread: a connection of its own
            with db.transaction():
                db.cursor().executemany(
                    f"INSERT INTO {SCHEMA}.calibrations (t, rank, job, data) "
                    f"VALUES (%s, %s, %s, %s)",
                    [(c["time"], c["rank"], str(c["job"]), json.dumps(c)) for c in calibrations])

    def calibrations(self, ranks, since, until, limit):
        where, params = "t >= %s AND t <= %s", [float(since), float(until)]
        if ranks is not None:
            where += " AND rank = ANY(%s::integer[])"
            params.append(sorted({int(r) for r in ranks}))
        with self._errors():
            found = self._reading().execute(
                f"SELECT data FROM {SCHEMA}.calibrations WHERE {where} "
                f"ORDER BY t DESC, seq DESC LIMIT %s", (*params, int(limit))).fetchall()
        return [json.loads(text) for (text,) in found]

    def mark(self, name):
        with self._errors():
            found = self._reading().execute(f"SELECT value FROM {SCHEMA}.meta WHERE key = %s",
                                            (f"mark:{name}",)).fetchone()
        return found[0] if found else None

    def node_index(self, node, create=True):
        with self._errors():
            db = self._writing() if create else self._reading()
            with db.transaction():
                found = db.execute(f"SELECT value FROM {SCHEMA}.meta WHERE key = %s",
                                   (f"node:{node}",)).fetchone()
                if found or not create:
                    return int(found[0]) if found else None
                count = db.execute(f"SELECT count(*) FROM {SCHEMA}.meta WHERE key LIKE "
                                   f"'node:%%'").fetchone()[0]
                db.execute(f"INSERT INTO {SCHEMA}.meta VALUES (%s, %s)",
                           (f"node:{node}", str(count + 1)))
        return count + 1

    def size(self):
        """Bytes of the archive's tables and indexes in the database."""
        with self._errors():
            return int(self._reading().execute(
                "SELECT coalesce(sum(pg_total_relation_size(c.oid)), 0) FROM pg_class c "
                "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = %s "
                "AND c.relkind = 'r'", (SCHEMA,)).fetchone()[0])
