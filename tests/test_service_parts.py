"""Parts of the service's door on their own, where a running service cannot
reach the case: the connection count's eviction rule, the one log line per
interval of a descriptor shortage, settings backups under their retention
rule, the token store's file, an archive of before the settings log named
who changed what."""
import datetime
import logging
import sqlite3
import time
import tomllib

import pytest

from vantor import schema
from vantor.history.collector import ArchiveCollector
from vantor.history.sqlite_store import SQLiteStore
from vantor.service import guard, settings_file
from vantor.service.tokens import TokenError, TokenStore


class FakeConnection:
    def __init__(self, address):
        self.address, self.closed = address, False

    def close(self):
        self.closed = True


def test_a_client_with_few_connections_gets_in_at_the_limit_and_the_busiest_yields():
    connections = guard.Connections(per_address=4, total=6)
    crowd = [FakeConnection(f"10.0.0.{n % 2}") for n in range(6)]
    assert all(connections.admit(c.address, c) is None for c in crowd)
    crowd_more = FakeConnection("10.0.0.0")
    assert "its limit" in connections.admit(crowd_more.address, crowd_more)
    newcomer = FakeConnection("192.168.1.9")
    assert connections.admit(newcomer.address, newcomer) is None
    assert crowd[0].closed and connections.count == 6 and connections.evicted == 1
    connections.release(crowd[0])             # its close arrives later: counted once
    assert connections.count == 6
    roomy = guard.Connections(per_address=4, total=100)
    refusals = [roomy.admit(c.address, c) for c in [FakeConnection("10.9.9.9") for _ in range(5)]]
    assert refusals[:4] == [None] * 4 and "limit per client address" in refusals[4]


def test_running_out_of_descriptors_is_one_line_per_interval(caplog):
    clock = [0.0]
    handler = guard.AcceptErrors(loop=None, clock=lambda: clock[0])
    context = {"message": "socket.accept() out of system resource",
               "exception": OSError(24, "Too many open files")}
    with caplog.at_level(logging.ERROR, logger="vantor.service"):
        for _ in range(5000):
            handler(None, context)
        clock[0] += guard.LOG_EVERY_S
        handler(None, context)
    lines = [r.getMessage() for r in caplog.records]
    assert len(lines) == 2 and "Too many open files" in lines[0]
    assert "5000 connection(s)" in lines[1] and handler.total == 5001


def test_settings_backups_follow_their_retention_rule(tmp_path):
    path = tmp_path / "site.toml"
    path.write_text("x = 0\n")
    start = time.time() - 200 * 86400
    for n in range(500):                      # 200 days, 2.5 changes a day
        settings_file.save({"x": n}, path, now=start + n * 86400 / 2.5)
    kept = settings_file.backups(path)
    days = [day for day, _ in kept]
    assert len(kept) <= settings_file.KEEP_LAST + settings_file.KEEP_DAYS + 1
    newest = [p for _, p in kept[-settings_file.KEEP_LAST:]]
    assert tomllib.loads(newest[-1].read_text())["x"] == 498     # the version before the last
    # counted from the day of the last change, which may be yesterday
    last_change = datetime.date.fromtimestamp(start + 499 * 86400 / 2.5)
    oldest_day = last_change - datetime.timedelta(days=settings_file.KEEP_DAYS)
    assert min(days) >= oldest_day.strftime("%Y%m%d")
    older = [d for d, _ in kept[:-settings_file.KEEP_LAST]]
    assert len(older) == len(set(older)), "one a day beyond the newest ones"
    assert not list(tmp_path.glob(".*")), "no half-written file left beside them"


def test_the_token_store_keeps_hashes_with_mode_0600(tmp_path):
    store = TokenStore(tmp_path)
    secret = store.create("bridge", "viewer")
    assert (tmp_path / "tokens.json").stat().st_mode & 0o777 == 0o600
    assert secret not in (tmp_path / "tokens.json").read_text()
    assert store.check(secret).role == "viewer" and store.check(secret + "x") is None
    with pytest.raises(TokenError, match="exists"):
        store.create("bridge", "operator")
    with pytest.raises(TokenError, match="role"):
        store.create("other", "admin")
    with pytest.raises(TokenError, match="name"):
        store.create("../x", "viewer")
    (tmp_path / "token").write_text("old-single-token\n")       # an earlier version's file
    assert store.local_operator() == "old-single-token"
    assert store.check("old-single-token").role == "operator"
    (tmp_path / "tokens.json").write_text("{not json")
    with pytest.raises(TokenError, match="not a token list"):
        TokenStore(tmp_path).tokens()


def test_an_archive_of_before_gains_the_actor_column(tmp_path):
    path = tmp_path / "archive.sqlite"
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE settings_log (t REAL, via TEXT, rank INTEGER, name TEXT, "
                   "field TEXT, old TEXT, new TEXT)")
        db.execute("INSERT INTO settings_log VALUES (1.0, 'api', 1, '0.0', 'biasI', '1', '2')")
    store = SQLiteStore(path)
    collector = ArchiveCollector()
    collector.event({"kind": "settings", "time": 5.0, "via": "client",
                     "actor": {"token": "op", "address": "10.0.0.5"},
                     "changes": [{"rank": 2, "name": "0.1", "field": "biasI", "old": 1, "new": 3}]})
    store.write(collector.take())
    log = store.settings_log(0, 10, 10)
    store.close()
    assert [e["actor"] for e in log] == [{"token": "op", "address": "10.0.0.5"}, None]


@pytest.mark.parametrize("raw, deep", [
    (b"{}", 1), (b'{"a": [[1], {"b": []}]}', 4), (b'"[[[[[["', 0), (b'"\\"[[["', 0),
    (b"[" * 5000, 5000), (b'{"s": "]]]]"}', 1)])
def test_nesting_is_measured_without_parsing(raw, deep):
    assert schema.nesting_depth(raw) == deep
