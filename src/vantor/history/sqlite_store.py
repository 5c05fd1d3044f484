"""The archive in one SQLite file (WAL mode), nothing to install or run.

Recent rows arrive once a second as one time-ordered block per kind (the
journal).  When a block of `block_seconds` has closed, it is folded into one
row per series holding that series' rows, plus one row of its per-minute
aggregates, so a day of one unit is read back as a few hundred blobs."""
import fcntl
import json
import math
import os
import sqlite3
import threading

import numpy as np

from . import aggregate
from .layouts import (decode_columns, encode_columns, minute_dtype, row_dtype, split_by_key,
                      strip_key)
from .store import ArchiveError, Store

SCHEMA_VERSION = "1"
FULL, MINUTES = 0, 1         # block levels
CLOSE_GRACE = 10.0           # seconds a block stays open for late rows

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS journal (
    kind TEXT, block INTEGER, t0 REAL, t1 REAL, n INTEGER, data BLOB);
CREATE INDEX IF NOT EXISTS journal_time ON journal (kind, t1);
CREATE TABLE IF NOT EXISTS blocks (
    kind TEXT, level INTEGER, key INTEGER, block INTEGER,
    t0 REAL, t1 REAL, n INTEGER, data BLOB);
CREATE INDEX IF NOT EXISTS blocks_series ON blocks (kind, level, key, t1);
CREATE TABLE IF NOT EXISTS unit_state (t REAL, rank INTEGER, status TEXT, biasI REAL);
CREATE INDEX IF NOT EXISTS unit_state_rank ON unit_state (rank, t);
CREATE TABLE IF NOT EXISTS settings_log (
    t REAL, via TEXT, rank INTEGER, name TEXT, field TEXT, old TEXT, new TEXT, actor TEXT);
CREATE INDEX IF NOT EXISTS settings_log_time ON settings_log (t);
CREATE TABLE IF NOT EXISTS alarm_log (
    t REAL, id TEXT, condition TEXT, subject TEXT, state TEXT, message TEXT,
    comment TEXT, alarm TEXT);
CREATE INDEX IF NOT EXISTS alarm_log_time ON alarm_log (t);
CREATE TABLE IF NOT EXISTS calibrations (t REAL, rank INTEGER, job TEXT, data TEXT);
CREATE INDEX IF NOT EXISTS calibrations_rank ON calibrations (rank, t);
"""


class SQLiteStore(Store):
    def __init__(self, path, *, block_seconds=600, max_bytes=None):
        self.path = os.fspath(path)
        self.block_seconds = float(block_seconds)
        self.max_bytes = max_bytes
        self._local = threading.local()
        self._connections = []
        self._guard = threading.Lock()
        self._lock_file = None
        self._open()

    # -- opening ------------------------------------------------------------

    def _open(self):
        folder = os.path.dirname(os.path.abspath(self.path))
        try:
            os.makedirs(folder, exist_ok=True)
            self._lock_file = open(self.path + ".lock", "a")
        except OSError as exc:
            raise ArchiveError(f"archive {self.path}: cannot write in {folder}: "
                               f"{exc.strerror}") from None
        try:
            fcntl.flock(self._lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            self._lock_file.close()
            self._lock_file = None
            raise ArchiveError(f"archive {self.path}: in use by another vantor process "
                               f"(lock {self.path}.lock is held)") from None
        try:
            db = self._conn()
            mode = db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
            if mode.lower() != "wal":
                raise ArchiveError(f"archive {self.path}: WAL mode refused ({mode})")
            db.executescript(SCHEMA)
            columns = [row[1] for row in db.execute("PRAGMA table_info(settings_log)")]
            if "actor" not in columns:          # an archive of before changes named who
                with db:
                    db.execute("ALTER TABLE settings_log ADD COLUMN actor TEXT")
            with db:
                db.execute("INSERT OR IGNORE INTO meta VALUES ('schema', ?)", (SCHEMA_VERSION,))
            version = db.execute("SELECT value FROM meta WHERE key='schema'").fetchone()[0]
            if version != SCHEMA_VERSION:
                raise ArchiveError(f"archive {self.path}: schema {version}, this vantor "
                                   f"reads {SCHEMA_VERSION}")
        except sqlite3.Error as exc:
            self.close()
            raise ArchiveError(f"archive {self.path}: {exc} (move the file away to start "
                               f"a new archive)") from None
        except ArchiveError:
            self.close()
            raise

    def _conn(self):
        db = getattr(self._local, "db", None)
        if db is None:
            db = sqlite3.connect(self.path, timeout=5.0, check_same_thread=False)
            db.execute("PRAGMA synchronous=NORMAL")
            db.execute("PRAGMA mmap_size=1073741824")     # readers copy less per blob
            if self.max_bytes:
                page = db.execute("PRAGMA page_size").fetchone()[0]
                db.execute(f"PRAGMA max_page_count={max(1, int(self.max_bytes // page))}")
            self._local.db = db
            with self._guard:
                self._connections.append(db)
        return db

    def close(self):
        with self._guard:
            for db in self._connections:
                try:
                    db.close()
                except sqlite3.Error:
                    pass
            self._connections.clear()
        self._local = threading.local()
        if self._lock_file is not None:
            self._lock_file.close()
            self._lock_file = None

    # -- writing ------------------------------------------------------------

    def write(self, batch):
        db = self._conn()
        with db:
            for kind, rows in batch.rows.items():
                if not len(rows):
                    continue
                blocks = np.floor(rows["t"] / self.block_seconds)
                for block in np.unique(blocks):
                    part = rows[blocks == block]
                    db.execute("INSERT INTO journal VALUES (?,?,?,?,?,?)",
                               (kind, int(block), float(part["t"].min()),
                                float(part["t"].max()), len(part), part.tobytes()))
            if batch.states:
                db.executemany("INSERT INTO unit_state VALUES (?,?,?,?)", batch.states)
            if batch.settings:
                db.executemany("INSERT INTO settings_log VALUES (?,?,?,?,?,?,?,?)",
                               [(t, via, rank, name, fld, json.dumps(old), json.dumps(new),
                                 json.dumps(actor))
                                for t, via, rank, name, fld, old, new, actor in batch.settings])
            if batch.marks:
                db.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)",
                               [(f"mark:{k}", str(v)) for k, v in batch.marks.items()])
            if batch.alarms:
                db.executemany("INSERT INTO alarm_log VALUES (?,?,?,?,?,?,?,?)",
                               [(a["time"], a["id"], a["condition"], a["subject"],
                                 a["state"], a["message"], a.get("comment"), json.dumps(a))
                                for a in batch.alarms])

    def compact(self, now):
        db = self._conn()
        current = math.floor((now - CLOSE_GRACE) / self.block_seconds)
        closed = db.execute("SELECT DISTINCT kind, block FROM journal WHERE block < ?",
                            (current,)).fetchall()
        for kind, block in closed:
            keyed = row_dtype(kind)
            parts = [np.frombuffer(blob, dtype=keyed) for (blob,) in db.execute(
                "SELECT data FROM journal WHERE kind=? AND block=?", (kind, block))]
            rows = np.concatenate(parts) if parts else np.zeros(0, keyed)
            full = row_dtype(kind, keyed=False)
            plain = minute_dtype(kind)
            inserts = []
            for key, part in split_by_key(rows).items():
                t0, t1 = float(part["t"][0]), float(part["t"][-1])
                inserts.append((kind, FULL, key, block, t0, t1, len(part),
                                encode_columns(strip_key(part, full))))
                mins = aggregate.minutes(kind, part)
                inserts.append((kind, MINUTES, key, block, float(mins["t"][0]),
                                float(mins["t"][-1]) + aggregate.MINUTE, len(mins),
                                strip_key(mins, plain).tobytes()))
            with db:
                db.executemany("INSERT INTO blocks VALUES (?,?,?,?,?,?,?,?)", inserts)
                db.execute("DELETE FROM journal WHERE kind=? AND block=?", (kind, block))
        return len(closed)

    def prune(self, now, full_seconds, aggregate_seconds):
        db = self._conn()
        full_before, all_before = now - full_seconds, now - aggregate_seconds
        with db:
            dropped = db.execute("DELETE FROM blocks WHERE level=? AND t1 < ?",
                                 (FULL, full_before)).rowcount
            dropped += db.execute("DELETE FROM blocks WHERE level=? AND t1 < ?",
                                  (MINUTES, all_before)).rowcount
            dropped += db.execute("DELETE FROM journal WHERE t1 < ?", (all_before,)).rowcount
            for table in ("settings_log", "alarm_log"):     # calibrations are kept
                dropped += db.execute(f"DELETE FROM {table} WHERE t < ?",
                                      (all_before,)).rowcount
            # keep each unit's last state before the cut, so its series still starts known
            dropped += db.execute(
                "DELETE FROM unit_state WHERE t < ? AND rowid NOT IN (SELECT max(rowid) "
                "FROM unit_state WHERE t < ? GROUP BY rank)", (all_before, all_before)).rowcount
        return dropped

    # -- reading ------------------------------------------------------------

    def _blocks(self, kind, level, keys, since, until):
        marks = ",".join("?" * len(keys))
        return self._conn().execute(
            f"SELECT key, n, data FROM blocks WHERE kind=? AND level=? AND key IN ({marks}) "
            f"AND t1 >= ? AND t0 <= ? ORDER BY key, t0",
            (kind, level, *keys, since, until))

    def _journal(self, kind, keys, since, until):
        keyed = row_dtype(kind)
        parts = [np.frombuffer(blob, dtype=keyed) for (blob,) in self._conn().execute(
            "SELECT data FROM journal WHERE kind=? AND t1 >= ? AND t0 <= ?",
            (kind, since, until))]
        if not parts:
            return np.zeros(0, keyed)
        rows = np.concatenate(parts)
        return rows[np.isin(rows["key"], list(keys))]

    def rows(self, kind, keys, since, until):
        keys = sorted({int(k) for k in keys})
        full = row_dtype(kind, keyed=False)
        blocks = {key: [] for key in keys}
        for key, n, blob in self._blocks(kind, FULL, keys, since, until):
            blocks[key].append((n, blob))
        recent = split_by_key(self._journal(kind, keys, since, until))
        out = {}
        for key in keys:
            extra = strip_key(recent[key], full) if key in recent else np.zeros(0, full)
            rows = np.empty(sum(n for n, _ in blocks[key]) + len(extra), dtype=full)
            at = 0
            for n, blob in blocks[key]:      # decoded straight into one array
                decode_columns(blob, full, n, into=rows[at:at + n])
                at += n
            rows[at:] = extra
            rows = rows[(rows["t"] >= since) & (rows["t"] <= until)]
            if len(rows) > 1 and not np.all(np.diff(rows["t"]) >= 0):
                rows = rows[np.argsort(rows["t"], kind="stable")]    # late rows
            out[key] = rows
        return out

    def minutes(self, kind, keys, since, until):
        keys = sorted({int(k) for k in keys})
        plain, keyed_dtype = minute_dtype(kind), minute_dtype(kind, keyed=True)
        start = math.floor(since / aggregate.MINUTE) * aggregate.MINUTE
        blobs = {key: [] for key in keys}
        for key, _, blob in self._blocks(kind, MINUTES, keys, start, until):
            blobs[key].append(blob)
        # recent rows to the end of the last minute asked for: its aggregate
        # covers the whole minute, as a folded one does
        end = math.floor(until / aggregate.MINUTE) * aggregate.MINUTE + aggregate.MINUTE \
            if math.isfinite(until) else until
        recent = split_by_key(self._journal(kind, keys, start, end))
        out = {}
        for key in keys:
            rows = np.frombuffer(b"".join(blobs[key]), dtype=plain)
            if key in recent:
                rows = np.concatenate([rows, strip_key(aggregate.minutes(kind, recent[key]),
                                                        plain)])
            if len(rows) > 1 and not np.all(np.diff(rows["t"]) > 0):
                # late rows folded apart from their block: merge to one row per minute
                keyed = np.zeros(len(rows), dtype=keyed_dtype)
                for name in plain.names:
                    keyed[name] = rows[name]
                rows = strip_key(aggregate.rebin_minutes(kind, keyed, aggregate.MINUTE), plain)
            out[key] = rows[(rows["t"] + aggregate.MINUTE > since) & (rows["t"] <= until)]
        return out

    def states(self, ranks, since, until):
        out = []
        db = self._conn()
        for rank in sorted({int(r) for r in ranks}):
            before = db.execute("SELECT t, rank, status, biasI FROM unit_state WHERE rank=? "
                                "AND t < ? ORDER BY t DESC LIMIT 1", (rank, since)).fetchall()
            during = db.execute("SELECT t, rank, status, biasI FROM unit_state WHERE rank=? "
                                "AND t >= ? AND t <= ? ORDER BY t", (rank, since, until)).fetchall()
            out += [{"time": t, "rank": r, "status": s, "biasI": b} for t, r, s, b in before + during]
        return out

    def settings_log(self, since, until, limit):
        cur = self._conn().execute(
            "SELECT t, via, rank, name, field, old, new, actor FROM settings_log WHERE t >= ? "
            "AND t <= ? ORDER BY t DESC, rowid DESC LIMIT ?", (since, until, limit))
        return [{"time": t, "via": via, "rank": rank, "name": name, "field": fld,
                 "old": json.loads(old), "new": json.loads(new),
                 "actor": json.loads(actor) if actor else None}
                for t, via, rank, name, fld, old, new, actor in cur]

    def alarm_log(self, since, until, limit):
        cur = self._conn().execute(
            "SELECT alarm FROM alarm_log WHERE t >= ? AND t <= ? ORDER BY t DESC, rowid DESC "
            "LIMIT ?", (since, until, limit))
        return [json.loads(text) for (text,) in cur]

    def add_calibrations(self, calibrations):
        db = self._conn()
        with db:
            db.executemany("INSERT INTO calibrations VALUES (?,?,?,?)",
                           [(c["time"], c["rank"], str(c["job"]), json.dumps(c))
                            for c in calibrations])

    def calibrations(self, ranks, since, until, limit):
        where, args = "t >= ? AND t <= ?", [since, until]
        if ranks is not None:
            ranks = sorted({int(r) for r in ranks})
            where += f" AND rank IN ({','.join('?' * len(ranks))})"
            args += ranks
        cur = self._conn().execute(f"SELECT data FROM calibrations WHERE {where} "
                                   "ORDER BY t DESC, rowid DESC LIMIT ?", (*args, limit))
        return [json.loads(text) for (text,) in cur]

    def mark(self, name):
        found = self._conn().execute("SELECT value FROM meta WHERE key=?",
                                     (f"mark:{name}",)).fetchone()
        return found[0] if found else None

    def node_index(self, node, create=True):
        db = self._conn()
        with db:
            found = db.execute("SELECT value FROM meta WHERE key=?", (f"node:{node}",)).fetchone()
            if found or not create:
                return int(found[0]) if found else None
            count = db.execute("SELECT count(*) FROM meta WHERE key LIKE 'node:%'").fetchone()[0]
            db.execute("INSERT INTO meta VALUES (?, ?)", (f"node:{node}", str(count + 1)))
        return count + 1

    def size(self):
        total = 0
        for suffix in ("", "-wal", "-shm"):
            try:
                total += os.path.getsize(self.path + suffix)
            except OSError:
                pass
        return total
