"""The archive's stores (SQLite and PostgreSQL, each test on both), queries,
retention and export, on synthetic data written the way the service writes it."""
import csv
import math
import re
import sqlite3

import h5py
import numpy as np
import pytest

from vantor.history import queries
from vantor.history.collector import ArchiveCollector
from vantor.history.export import export
from vantor.history.postgres_store import PostgresStore
from vantor.history.sqlite_store import SQLiteStore
from vantor.history.store import ArchiveError
from tests.wire import windows
from vantor.wire import CU_TIMEOUT, STREAM_DATA
from tests.servers import free_port

T0 = 1_765_000_200.0        # a block boundary for 60 s and 600 s blocks


def stream_batch(ranks, t, counts, status=0, int_size=100, monitor=0.25, received=None):
    """A decoded hub batch: one stream record per rank, built with the wire
    layout; every window whole unless `received` says how many records it held."""
    data = b"".join(STREAM_DATA.pack(0, r - 1, status, 0, monitor, 0.0, counts + r, int_size,
                                     r, t) for r in ranks)
    return windows(data, received)


def snapshot(t, *, ranks=(1, 2), reports=0, temp1=35.0, pll=True, status="ok", biasI=2e-5,
             dropped=0, datagrams=0, updates=0, rate=None):
    return {
        "time": t, "uptime": t - T0,
        "units": [{"rank": r, "name": f"0.{r - 1}", "status": status, "rate": rate,
                   "config": {"biasI": biasI}, "updates": updates, "alarms": 0}
                  for r in ranks],
        "boards": [{"mcuId": 0, "temp1": temp1, "temp2": 4.2, "pll": pll, "status": 0,
                    "reports": reports, "last_seen": t}],
        "totals": {"records_in": 100 * reports, "datagrams": datagrams, "dropped": dropped,
                   "time_origin": 0.0},
    }


def fill(store, seconds, ranks=(1, 2), start=T0, **snap):
    """One stream window per unit and one board report per second, flushed each second."""
    collector = ArchiveCollector()
    for s in range(seconds):
        t = start + s
        collector.stream(stream_batch(ranks, t, counts=s))
        collector.snapshot(snapshot(t, ranks=ranks, reports=s + 1, **snap))
        store.write(collector.take())
    return collector


@pytest.fixture(params=["sqlite", "postgresql"])
def open_store(request, tmp_path):
    """Opens stores of one kind on one archive (blocks of a minute; hourly
    partitions), all closed after the test."""
    if request.param == "sqlite":
        def make(**options):
            return SQLiteStore(tmp_path / "archive.db", **options)
    else:
        url = request.getfixturevalue("postgres_url")

        def make(**options):
            return PostgresStore(url, partition_seconds=3600, **options)
    opened = []

    def open_store(**options):
        opened.append(make(**{"block_seconds": 60, **options}))
        return opened[-1]

    yield open_store
    for store in opened:
        store.close()


@pytest.fixture
def store(open_store):
    return open_store()


def test_every_quantity_lands_once_per_second(store):
    fill(store, 90)
    store.compact(T0 + 200)                   # the first block folded, the rest recent
    now = T0 + 90
    rates = queries.series(store, "unit", [1, 2], "rate", T0, T0 + 89, now=now)
    assert rates["resolution"] == 0
    for rank in (1, 2):
        got = rates["series"][rank]
        np.testing.assert_array_equal(got["time"], T0 + np.arange(90))
        np.testing.assert_allclose(got["value"], np.arange(90) + rank)   # counts/(100*10 ms)
    temps = queries.series(store, "board", [0], "temp1", T0, T0 + 89, now=now)["series"][0]
    assert len(temps["time"]) == 90 and np.allclose(temps["value"], 35.0)
    counters = queries.series(store, "counters", [0], "records_in", T0, T0 + 89, now=now)
    np.testing.assert_array_equal(counters["series"][0]["value"], 100 * np.arange(1, 91))
    setpoint = queries.series(store, "unit", [1], "biasI", T0, T0 + 89, now=now)["series"][1]
    assert list(setpoint["time"]) == [T0] and setpoint["value"][0] == pytest.approx(2e-5)


def test_unmeasured_values_stay_unknown(store):
    collector = ArchiveCollector()
    collector.stream(stream_batch([1], T0, 5, status=CU_TIMEOUT, int_size=0))
    collector.stream(stream_batch([1], T0 + 1, 5))
    snap = snapshot(T0 + 1, reports=1, temp1=None, pll=None)
    collector.snapshot(snap)
    collector.snapshot(snap)                  # the same board report seen twice
    store.write(collector.take())
    rates = queries.series(store, "unit", [1], "rate", T0, T0 + 2, now=T0)["series"][1]
    assert list(rates["time"]) == [T0 + 1]    # no silence record stored as a zero rate
    board = store.rows("board", [0], T0, T0 + 2)[0]
    assert len(board) == 1 and math.isnan(board["temp1"][0]) and math.isnan(board["pll"][0])


def test_board_time_becomes_unix_time_once_known(store):
    collector = ArchiveCollector()
    collector.stream(stream_batch([1], 5.0, 1))            # board time: 5 s after sequence 0
    first = snapshot(T0)
    del first["totals"]["time_origin"]                      # no record yet: origin unknown
    collector.snapshot(first)
    assert len(collector.take().rows["unit"]) == 0          # kept back, not dropped
    collector.stream(stream_batch([1], 6.0, 1))
    collector.snapshot(dict(snapshot(T0 + 1), totals={"time_origin": T0}))
    store.write(collector.take())
    collector.stream(stream_batch([1], 7.0, 1))      # a refined origin: the axis stays put
    collector.snapshot(dict(snapshot(T0 + 2), totals={"time_origin": T0 - 0.004}))
    store.write(collector.take())
    assert list(store.rows("unit", [1], T0, T0 + 10)[1]["t"]) == [T0 + 5, T0 + 6, T0 + 7]


def test_minute_aggregates_match_the_rows(store):
    fill(store, 300)
    store.compact(T0 + 400)
    full = queries.series(store, "unit", [2], "rate", T0, T0 + 299, resolution=0)["series"][2]
    mins = queries.series(store, "unit", [2], "rate", T0, T0 + 299, resolution=60)
    assert mins["resolution"] == 60
    got = mins["series"][2]
    blocks = full["value"].reshape(5, 60)
    np.testing.assert_array_equal(got["time"], T0 + 60 * np.arange(5))
    np.testing.assert_allclose(got["min"], blocks.min(axis=1))
    np.testing.assert_allclose(got["max"], blocks.max(axis=1))
    np.testing.assert_allclose(got["value"], blocks.mean(axis=1))
    assert list(got["n"]) == [60] * 5
    five = queries.series(store, "unit", [2], "rate", T0, T0 + 299, resolution=300)["series"][2]
    assert five["value"][0] == pytest.approx(full["value"].mean())
    tens = queries.series(store, "unit", [2], "rate", T0, T0 + 299, resolution=10)["series"][2]
    np.testing.assert_allclose(tens["value"], full["value"].reshape(30, 10).mean(axis=1))


@pytest.mark.parametrize("since,until,expect", [
    (T0 + 10, T0 + 19, 10),          # inside one block
    (T0 + 50, T0 + 130, 81),         # across folded blocks
    (T0 + 170, T0 + 1000, 10),       # into the recent part and past the end
    (T0 - 100, T0 - 1, 0),           # before anything
])
def test_ranges_are_inclusive(store, since, until, expect):
    fill(store, 180)
    store.compact(T0 + 180)          # two blocks folded, the third still recent
    got = store.rows("unit", [1], since, until)[1]
    assert len(got) == expect
    if expect:
        assert got["t"][0] == max(since, T0) and np.all(np.diff(got["t"]) == 1)


def test_retention_on_a_compressed_clock(store):
    day = 86400
    fill(store, 180, start=T0 - 3 * day)     # three days old
    fill(store, 180)                          # fresh
    store.compact(T0 + 1000)
    store.prune(T0 + 1000, full_seconds=day, aggregate_seconds=2 * day)
    assert len(store.rows("unit", [1], T0 - 4 * day, T0 + 1000)[1]) == 180
    assert len(store.minutes("unit", [1], T0 - 4 * day, T0 - day)[1]) == 0
    fill(store, 180, start=T0 - day - 600)
    store.compact(T0 + 1000)
    store.prune(T0 + 1000, full_seconds=day, aggregate_seconds=2 * day)
    # older than the full period: only minutes remain, and a query picks them itself
    old = queries.series(store, "unit", [1], "rate", T0 - day - 600, T0 - day - 421,
                         full_seconds=day, now=T0 + 1000)
    assert old["resolution"] == 60 and list(old["series"][1]["n"]) == [60, 60, 60]
    assert len(store.rows("unit", [1], T0 - 2 * day, T0 - day)[1]) == 0


def test_query_errors_name_the_argument(store):
    with pytest.raises(queries.QueryError, match="quantity"):
        queries.series(store, "unit", [1], "temperature", T0, T0 + 1)
    with pytest.raises(queries.QueryError, match="until"):
        queries.series(store, "unit", [1], "rate", T0 + 1, T0)
    with pytest.raises(queries.QueryError, match="since"):
        queries.series(store, "unit", [1], "rate", float("nan"), T0)
    with pytest.raises(queries.QueryError, match="resolution"):
        queries.series(store, "unit", [1], "rate", T0, T0 + 1, resolution=-5)


def test_restart_continues_the_archive(open_store):
    first = open_store()
    fill(first, 30)
    first.close()
    second = open_store()
    fill(second, 30, start=T0 + 30)
    assert len(second.rows("unit", [1], T0, T0 + 60)[1]) == 60


def test_refused_archives_say_why(tmp_path):
    path = tmp_path / "archive.db"
    holder = SQLiteStore(path)
    with pytest.raises(ArchiveError, match="in use by another vantor process"):
        SQLiteStore(path)
    holder.close()
    bad = tmp_path / "bad.db"
    bad.write_bytes(b"this is no database " * 200)
    with pytest.raises(ArchiveError, match="not a database"):
        SQLiteStore(bad)
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(ArchiveError, match="cannot write in"):
        SQLiteStore(blocker / "archive.db")


def test_a_full_archive_fails_writes_not_reads(open_store):
    empty = open_store()
    limit = empty.size() + 200_000
    empty.close()
    store = open_store(max_bytes=limit)
    with pytest.raises((sqlite3.OperationalError, ArchiveError), match="full"):
        fill(store, 600, ranks=range(1, 65))
    assert len(store.rows("unit", [1], T0, T0 + 600)[1]) > 0


def test_logs_newest_first(store):
    collector = ArchiveCollector()
    collector.event({"kind": "settings", "time": T0, "via": "api", "changes": [
        {"rank": 1, "name": "0.0", "field": "biasI", "old": 2e-5, "new": 1.5e-5}]})
    collector.event({"kind": "settings", "time": T0 + 5, "via": "cli", "changes": [
        {"rank": 2, "name": "0.1", "field": "cuStatus", "old": 0, "new": 2}]})
    collector.alarm({"id": "1", "condition": "pll", "subject": "board 0", "state": "active",
                     "message": "board 0: PLL not locked", "time": T0 + 1})
    store.write(collector.take())
    log = store.settings_log(T0, T0 + 10, 10)
    assert [(e["via"], e["field"], e["old"], e["new"]) for e in log] == [
        ("cli", "cuStatus", 0, 2), ("api", "biasI", 2e-5, 1.5e-5)]
    assert store.settings_log(T0 + 1, T0 + 10, 10)[0]["rank"] == 2
    assert store.alarm_log(T0, T0 + 10, 10)[0]["condition"] == "pll"


@pytest.mark.parametrize("fmt", ["h5", "csv"])
def test_export_reads_back(store, tmp_path, fmt):
    fill(store, 120)
    store.compact(T0 + 300)
    path = tmp_path / f"out.{fmt}"
    rows = export(store, path, fmt, keys=[1, 2], since=T0 + 10, until=T0 + 69,
                  names={1: "0.0", 2: "0.1"}, full_seconds=1e9)
    assert rows == 120
    if fmt == "h5":
        with h5py.File(path) as h5:
            unit = h5["units/2"]
            assert unit.attrs["name"] == "0.1"
            np.testing.assert_array_equal(unit["time"][:], T0 + np.arange(10, 70))
            np.testing.assert_allclose(unit["rate"][:], np.arange(10, 70) + 2)
            assert h5.attrs["resolution"] == 0
    else:
        with open(path, newline="") as fh:
            assert fh.readline().startswith("# vantor archive export")
            table = list(csv.DictReader(fh))
        assert len(table) == 120 and table[60]["name"] == "0.1"
        assert float(table[60]["time"]) == T0 + 10 and float(table[60]["rate"]) == 12.0


def test_unit_state_between_snapshots_comes_from_events(store):
    collector = ArchiveCollector()
    collector.snapshot(snapshot(T0, ranks=(1,)))
    collector.event({"kind": "status", "rank": 1, "name": "0.0", "old": "ok", "new": "silent",
                     "time": T0 + 1})
    collector.event({"kind": "settings", "time": T0 + 2, "via": "api", "changes": [
        {"rank": 1, "name": "0.0", "field": "biasI", "old": 2e-5, "new": 1e-5}]})
    collector.snapshot(snapshot(T0 + 3, ranks=(1,), status="silent", biasI=1e-5))  # no news
    store.write(collector.take())
    status = queries.series(store, "unit", [1], "status", T0, T0 + 5, now=T0)["series"][1]
    assert list(status["time"]) == [T0, T0 + 1] and list(status["value"]) == ["ok", "silent"]
    point = queries.series(store, "unit", [1], "biasI", T0, T0 + 5, now=T0)["series"][1]
    assert list(point["time"]) == [T0, T0 + 2]
    assert point["value"][-1] == pytest.approx(1e-5)


@pytest.mark.parametrize("table,message", [
    ("full_days = 0", "archive.full_days: expected a number"),
    ("aggregate_days = 3\nfull_days = 7", "archive.aggregate_days: must not be shorter"),
    ("enabled = 1", "archive.enabled: expected true or false"),
    ("keep = 3", "archive.keep: unknown key"),
])
def test_bad_archive_tables_name_the_key(tmp_path, table, message):
    from vantor.host.settings import SettingsError, load_settings

    path = tmp_path / "site.toml"
    path.write_text(f"[[mcu]]\nmcuId = 0\n[[mcu.unit]]\ncuId = 0\nrank = 1\n[archive]\n{table}\n")
    with pytest.raises(SettingsError, match=f"{path}: {message}"):
        load_settings(path)


def test_late_rows_join_their_minute(store):
    fill(store, 180)
    store.compact(T0 + 200)                     # the first two blocks folded
    collector = ArchiveCollector()
    collector.time_origin = 0.0
    collector.stream(stream_batch([1], T0 + 30.5, counts=1000))    # late, into a folded block
    store.write(collector.take())
    for _ in range(2):                          # before and after folding it again
        minute = store.minutes("unit", [1], T0, T0 + 59)[1]
        assert list(minute["n"]) == [61]
        rates = np.append(np.arange(60) + 1.0, 1001.0)
        assert minute["rate_mean"][0] == pytest.approx(rates.mean())
        assert minute["rate_max"][0] == pytest.approx(1001.0)
        store.compact(T0 + 200)


def test_late_rows_past_full_retention_still_count(store):
    day, start = 86400, T0 - 86400 - 600
    fill(store, 120, start=start)
    store.compact(T0 + 1000)
    store.prune(T0 + 1000, full_seconds=day, aggregate_seconds=2 * day)
    assert len(store.rows("unit", [1], start, start + 120)[1]) == 0    # minutes only
    collector = ArchiveCollector()
    collector.time_origin = 0.0
    collector.stream(stream_batch([1], start + 30.5, counts=1000))
    store.write(collector.take())
    store.compact(T0 + 1000)
    for _ in range(2):                          # folded once, not again at the next fold
        assert list(store.minutes("unit", [1], start, start + 119)[1]["n"]) == [61, 60]
        store.compact(T0 + 1000)


def record():
    """One data set as the service would hand it to a store: batch after
    batch, with the time between them (compact and prune calls) marked."""
    steps = []
    collector = ArchiveCollector()
    for s in range(200):
        t = T0 + s
        batches = [stream_batch([1, 2, 3], t, counts=s % 17, monitor=0.25 + 0.001 * (s % 5))]
        if s % 50 == 7:                           # a monitor voltage not measured
            batches = [stream_batch([2], t, counts=3, monitor=float("nan")),
                       stream_batch([1, 3], t, counts=s % 17)]
        if s % 40 == 9:                           # a silence record: no window at all
            batches = [stream_batch([3], t, 0, status=CU_TIMEOUT, int_size=0),
                       stream_batch([1, 2], t, counts=s % 17)]
        if s % 23 == 4:                           # a window that lost records
            batches = [stream_batch([1], t, counts=s % 17, received=60),
                       stream_batch([2, 3], t, counts=s % 17)]
        for batch in batches:
            collector.stream(batch)
        collector.snapshot(snapshot(t, ranks=(1, 2, 3), reports=s // 2 + 1,
                                    temp1=None if s % 30 == 0 else 30 + s % 7,
                                    status="silent" if 100 <= s < 110 else "ok",
                                    dropped=s // 10))
        if s == 120:
            collector.event({"kind": "settings", "time": t, "via": "api",
                             "actor": {"token": "ops", "address": "127.0.0.1"}, "changes": [
                                 {"rank": 2, "name": "0.1", "field": "biasI", "old": 2e-5,
                                  "new": 1.5e-5}]})
            collector.alarm({"id": "4", "condition": "temp", "subject": "board 0",
                             "state": "active", "message": "board 0: temp1 high", "time": t})
        if s == 150:                              # rows late for a folded block
            collector.stream(stream_batch([1], T0 + 10.5, counts=99))
        steps.append(("write", collector.take()))
        if s % 60 == 59:
            steps.append(("compact", t))
    return steps


QUERIES = [(kind, keys, quantity, since, until, resolution)
           for kind, keys, quantity in [("unit", [1, 2, 3], "rate"), ("unit", [2], "monitorV"),
                                        ("unit", [1, 2], "missing"),
                                        ("unit", [3], "cuStatus"), ("unit", [1, 2], "status"),
                                        ("unit", [2], "biasI"), ("board", [0], "temp1"),
                                        ("counters", [0], "dropped")]
           for since, until in [(T0, T0 + 199), (T0 + 5.5, T0 + 130.2)]
           for resolution in [None, 0, 10, 60, 120]]


def test_both_stores_answer_alike(tmp_path, postgres_url):
    stores = [SQLiteStore(tmp_path / "archive.db", block_seconds=60),
              PostgresStore(postgres_url, block_seconds=60, partition_seconds=3600)]
    for step, value in record():
        for store in stores:
            store.write(value) if step == "write" else store.compact(value)
    answers = []
    for store in stores:
        series = [queries.series(store, *q[:5], resolution=q[5], now=T0 + 200,
                                 complete_only=complete) for q in QUERIES
                  for complete in (False, True)]
        logs = (store.settings_log(T0, T0 + 200, 10), store.alarm_log(T0, T0 + 200, 10))
        export(store, tmp_path / f"{len(answers)}.csv", "csv", keys=[1, 2, 3], since=T0,
               until=T0 + 199, full_seconds=1e9)
        with open(tmp_path / f"{len(answers)}.csv") as fh:
            table = [line for line in fh if not line.startswith("#")]
        answers.append((series, logs, table))
        store.close()
    (lite, lite_logs, lite_csv), (pg, pg_logs, pg_csv) = answers
    assert pg_logs == lite_logs and lite_logs[0] and lite_logs[1]
    assert lite_logs[0][0]["actor"] == {"token": "ops", "address": "127.0.0.1"}
    assert pg_csv == lite_csv and len(lite_csv) > 500
    for query, a, b in zip([q for q in QUERIES for _ in range(2)], lite, pg):
        assert a["resolution"] == b["resolution"], query
        assert a["series"].keys() == b["series"].keys(), query
        for key, columns in a["series"].items():
            assert columns.keys() == b["series"][key].keys(), query
            for name, values in columns.items():
                np.testing.assert_array_equal(values, b["series"][key][name], err_msg=str(query))
    unknown = lite[2 * QUERIES.index(("unit", [2], "monitorV", T0, T0 + 199, 0))]["series"][2]
    assert np.isnan(unknown["value"]).sum() == 4          # kept as unknown, never as 0
    lost = lite[2 * QUERIES.index(("unit", [1, 2], "missing", T0, T0 + 199, 0))]["series"][1]
    assert list(lost["value"]).count(40) == 9             # 100 records, 60 arrived


@pytest.mark.parametrize("change,message", [
    (lambda url: url.replace(":vantor-test-secret@", ":wrong-secret@"),
     "password authentication failed"),
    (lambda url: url.rsplit("/", 1)[0] + "/no_such_db", 'database "no_such_db" does not exist'),
    (lambda url: re.sub(r":\d+/", f":{free_port()}/", url), "Connection refused"),
])
def test_refused_database_archives_say_why_without_the_password(postgres_url, change,
                                                                 message):
    from vantor.history.options import ArchiveOptions
    from vantor.history.writer import open_archive

    url = change(postgres_url)
    with pytest.raises(ArchiveError) as info:
        open_archive(url, ArchiveOptions())
    text = str(info.value)
    assert message in text and "\n" not in text and "secret" not in text
    assert text.startswith(f"archive postgresql://vantor@127.0.0.1:{url.split(':')[3]}")


def test_a_database_archive_has_one_writer(postgres_url):
    from vantor.history.options import ArchiveOptions
    from vantor.history.writer import open_archive

    holder = open_archive(postgres_url, ArchiveOptions())
    assert isinstance(holder, PostgresStore)
    with pytest.raises(ArchiveError, match="in use by another vantor process"):
        PostgresStore(postgres_url)
    holder.close()
    PostgresStore(postgres_url).close()      # free again once the first closed


def test_a_restarted_database_server_is_reconnected(postgres_server, postgres_url):
    store = PostgresStore(postgres_url, block_seconds=60)
    fill(store, 10)
    assert len(store.rows("unit", [1], T0, T0 + 20)[1]) == 10
    postgres_server.restart()
    fill(store, 10, start=T0 + 10)               # no batch lost to the broken connection
    assert len(store.rows("unit", [1], T0, T0 + 20)[1]) == 20
    store.close()


def test_calibrations_are_kept_past_retention(store):
    def calibration(t, rank, job):
        return {"time": t, "rank": rank, "job": job, "bias": 1.5e-5 + rank * 1e-7,
                "policy": {"name": "plateau"}}

    store.add_calibrations([calibration(T0, 1, "a"), calibration(T0, 2, "a")])
    store.add_calibrations([calibration(T0 + 5, 1, 7)])
    assert [c["job"] for c in store.calibrations(None, T0, T0 + 10, 10)] == [7, "a", "a"]
    assert store.calibrations([2], T0, T0 + 10, 10) == [calibration(T0, 2, "a")]
    assert store.calibrations([1], T0 + 1, T0 + 10, 1)[0]["time"] == T0 + 5
    store.prune(T0 + 10 * 86400, full_seconds=86400, aggregate_seconds=2 * 86400)
    assert len(store.calibrations(None, T0, T0 + 10, 10)) == 3


def test_a_database_from_before_a_column_reads_it_as_unknown(postgres_url):
    import psycopg

    store = PostgresStore(postgres_url, block_seconds=60)
    fill(store, 5)
    store.close()
    with psycopg.connect(postgres_url, autocommit=True) as db:      # as an older vantor made it
        db.execute('ALTER TABLE vantor.windows DROP COLUMN "missing"')
    store = PostgresStore(postgres_url, block_seconds=60)
    fill(store, 5, start=T0 + 5)
    missing = store.rows("unit", [1], T0, T0 + 10)[1]["missing"]
    assert np.isnan(missing[:5]).all() and list(missing[5:]) == [0] * 5
    store.close()
