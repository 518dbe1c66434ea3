"""tablora on a libSQL server and a dqlite cluster agrees with sqlite3.

The servers are real and run on loopback (tests/engines.py starts them). Every
engine runs the same steps; each engine's observations must equal those of
sqlite3 on a local file.
"""

from __future__ import annotations

import contextlib
import importlib.util
import itertools
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from functools import partial

import pytest

import tablora
import tablora.cli as cli
import tablora.tablora as T
from tablora._read import newest_rows
from support import create_homes, through_functions
from engines import (  # noqa: F401  (fixtures)
    dqlite_cluster,
    dqlite_cluster_to_break,
    free_port,
    libsql_authenticated,
    libsql_replicated,
    libsql_server,
    unavailable,
    wait_until,
)
from tablora import _merge
from tablora.engines import batching, hrana, registry, targets
from tablora.table import default_step_rows

ENGINES = ["sqlite", "libsql", "dqlite", "libsql-file"]
_fresh = itertools.count()

BATCH_1 = [("ann", "flat", "1 elm st", 30), ("bob", "house", "2 oak st", 41),
           ("ann", "flat", "3 pine st", 31), ("cy", None, "4 ash st", 25),
           ("cy", None, "5 fir st", 26), ("dee", "flat", "2 oak st", 52)]
BATCH_2 = [("bob", "house", "9 elm st", 44), ("eve", "barn", 7.5, b"\x00\x01"),
           ("ann", "flat", "1 elm st", -3)]


# Without an order, rows come in the engine's order: a plan's (an index's), or
# row-id order where reads go in ranges; a limit takes the first of them. The
# condition here is one no index serves, so every engine takes the same rows.
STREAMED_READS = [{}, {"where": "address <> ?", "params": ("1 elm st",), "limit": 2},
                  {"order_by": "name, rowid", "limit": 3, "offset": 1}]


@pytest.fixture
def opener(request, tmp_path):
    """A function that opens a new connection to one fresh database of the engine."""
    engine = request.param
    if engine == "sqlite":
        path = str(tmp_path / "t.db")
        return lambda: tablora.connect(path)
    if engine == "libsql-file":
        try:
            import libsql
        except ImportError:
            unavailable("the libsql driver", "pip install 'tablora[libsql]'")
        path = str(tmp_path / "t.db")
        tablora.connect(path).close()  # the catalogue, as connect prepares it
        return lambda: libsql.connect(path)
    if engine == "libsql":
        server = request.getfixturevalue("libsql_server")
        return partial(tablora.connect, server.url.replace("http://", "libsql://"))
    target = request.getfixturevalue("dqlite_cluster").target(f"t{next(_fresh)}")
    return partial(tablora.connect, target)  # .args[0]: the target


def query(conn, sql):
    return [tuple(row) for row in conn.cursor().execute(sql).fetchall()]


def behaviour(opener, table):
    """The steps of a table's life; returns what each step left behind."""
    seen, conn = {}, opener()
    tables = f"SELECT name FROM sqlite_master WHERE tbl_name IN ('{table}', 'temp_{table}', "
    main_rows = f"SELECT rowid, * FROM {table} ORDER BY rowid"

    def look(step, select="*", conditions=""):
        seen[step] = (T.find(conn, select, table, conditions), query(conn, main_rows),
                      query(conn, f"SELECT count(*) FROM temp_{table}"),
                      # the streamed read, whole, lazy under a limit, sorted across tiers
                      [list(newest_rows(conn, table, **read)) for read in STREAMED_READS])

    create_homes(conn, table)
    seen["schema"] = sorted(query(conn, tables + "'other') ORDER BY name"))
    T.insert_temp(conn, table, BATCH_1)
    look("staged")
    look("staged, selective", "name,age", "WHERE age > 26 ORDER BY age")
    T.temp_to_main(conn, table)
    look("merged")
    T.insert_temp(conn, table, BATCH_2)
    look("staged again", "name,address", "WHERE name <> 'cy' ORDER BY name")
    T.temp_to_main(conn, table)
    ids = [row[0] for row in query(conn, f"SELECT rowid FROM {table} WHERE age < 30")]
    T.delete_row_main(conn, table, ids)
    look("deleted")
    T.drop_table_index(conn, table)
    seen["suspended"] = query(conn, tables + "'x') AND type = 'index' ORDER BY name")
    T.active_table_index(conn, table)
    seen["rebuilt"] = query(conn, tables + "'x') AND type = 'index' ORDER BY name")

    T.insert_temp(conn, table, BATCH_1, False)
    T.temp_to_main(conn, table, False)
    T.create_table(conn, "other", ["a"], [], [], False)
    seen["open"] = conn.in_transaction
    look("uncommitted")
    other = opener()  # sees what was committed only
    seen["from another connection"] = query(other, main_rows)
    other.close()
    conn.rollback()
    seen["closed"] = conn.in_transaction
    seen["rolled back schema"] = sorted(query(conn, tables + "'other') ORDER BY name"))
    look("rolled back")
    conn.close()
    conn = opener()
    look("reopened")
    T.drop_table(conn, table)
    conn.close()
    return seen


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("reference") / "t.db")
    return behaviour(lambda: tablora.connect(path), "homes")


@pytest.mark.parametrize("opener", ENGINES, indirect=True)
def test_same_behaviour_as_sqlite3(opener, expected):
    table = f"homes{next(_fresh)}"
    seen = behaviour(opener, table)
    assert {k: repr(v).replace(table, "homes") for k, v in seen.items()} == {
        k: repr(v) for k, v in expected.items()
    }


TRANSACTIONS = {
    "legacy begin": ["INSERT INTO t VALUES (1)", "SELECT * FROM t", "COMMIT"],
    "schema": ["BEGIN ", "CREATE TABLE u (a)", "INSERT INTO u VALUES (1)", "ROLLBACK"],
    "merge": ["BEGIN IMMEDIATE", "DELETE FROM t", "INSERT INTO t VALUES (2)", "COMMIT"],
    "find snapshot": ["SAVEPOINT tablora_find", "SELECT * FROM t", "RELEASE tablora_find"],
    "savepoint in transaction": ["BEGIN", "SAVEPOINT tablora_find", "INSERT INTO t VALUES (3)",
                                 "RELEASE tablora_find", "SELECT count(*) FROM t", "ROLLBACK"],
    "rollback to": ["SAVEPOINT a", "INSERT INTO t VALUES (4)", "ROLLBACK TO a",
                    "SELECT count(*) FROM t", "RELEASE SAVEPOINT a"],
    "nested": ["SAVEPOINT a", "SAVEPOINT a", "INSERT INTO t VALUES (5)", "RELEASE a",
               "SELECT count(*) FROM t", "RELEASE a"],
}


def transaction_trace(conn, statements):
    cursor, trace = conn.cursor(), []
    cursor.execute("CREATE TABLE IF NOT EXISTS t (a)")
    conn.commit()
    for sql in statements:
        cursor.execute(sql)
        trace.append((sql, conn.in_transaction, cursor.fetchall()))
    conn.rollback()
    trace.append(query(conn, "SELECT count(*) FROM t"))
    cursor.execute("DROP TABLE t")
    conn.commit()
    return trace


@pytest.mark.parametrize("opener", ["libsql", "dqlite"], indirect=True)
@pytest.mark.parametrize("statements", TRANSACTIONS.values(), ids=TRANSACTIONS)
def test_transaction_statements(opener, statements, tmp_path):
    reference = transaction_trace(sqlite3.connect(tmp_path / "r.db"), statements)
    assert transaction_trace(opener(), statements) == reference


@pytest.mark.parametrize("opener", ["sqlite", "libsql", "dqlite"], indirect=True)
def test_total_changes_counts_rows_as_sqlite_does(opener):
    conn = opener()
    T.create_table(conn, "counted", ["a", "b"], [], [{"name": "u", "cols": [0]}])
    start = conn.total_changes
    T.insert_temp(conn, "counted", [(1, "x"), (2, "y"), (1, "z")])
    T.temp_to_main(conn, "counted")
    # 3 staged; merged: 2 inserted, 3 staged rows removed
    assert conn.total_changes - start == 3 + 2 + 3
    T.drop_table(conn, "counted")
    conn.close()


@pytest.mark.parametrize("functions", [False, True], ids=["in-database", "through-functions"])
@pytest.mark.parametrize("rowid", [2**53 + 1, 2**60 + 1, 2**63 - 1, -(2**63 - 1)])
@pytest.mark.parametrize("opener", ["sqlite", "libsql", "dqlite"], indirect=True)
def test_row_ids_beyond_2_53_reach_the_engine_exactly(opener, rowid, functions):
    """Where a double rounds `rowid` onto `rowid - 1`, that neighbour must not stand for it."""
    conn = opener()
    T.create_table(conn, "big", ["k", "v"], [], [{"name": "by_k", "cols": [0]}])
    cursor = conn.cursor()
    for table, older, newer in (("big", "('neighbour', 'kept')", "('key', 'old')"),
                                ("temp_big", "('key', 'older')", "('key', 'newest')")):
        # Spliced: the setup's own row ids must not be rounded either.
        cursor.execute(f"INSERT INTO {table} (rowid, k, v) VALUES "
                       f"({rowid - 1}, {older[1:]}, ({rowid}, {newer[1:]}")
    conn.commit()
    with through_functions(functions):  # the counted merge: the driver's rowcount too
        assert _merge.merge(conn, "big") == (2, 1, 1)
    assert sorted(query(conn, "SELECT k, v FROM big")) == [("key", "newest"), ("neighbour", "kept")]
    assert query(conn, "SELECT count(*) FROM temp_big") == [(0,)]
    T.drop_table(conn, "big")
    conn.close()


def settle(conn):
    create_homes(conn)
    T.insert_temp(conn, "homes", BATCH_1)
    T.temp_to_main(conn, "homes")
    return T.find(conn, "*", "homes", "")


def test_libsql_replica_follows_its_primary(libsql_replicated, tmp_path):
    primary, replica = libsql_replicated
    settled = settle(tablora.connect(primary.url))  # read-your-writes on the primary
    assert settled == settle(tablora.connect(str(tmp_path / "t.db")))

    def caught_up():
        try:
            reader = tablora.connect(replica.url)
            return T.find(reader, "*", "homes", "") == settled
        except Exception:  # the replica has not received the tables yet
            return False

    wait_until(caught_up, "the replica catching up")


def test_dqlite_survives_the_loss_of_its_leader(dqlite_cluster_to_break):
    cluster = dqlite_cluster_to_break
    target = cluster.target("failover")
    conn = tablora.connect(target)
    T.create_table(conn, "log", ["k", "v"], [], [{"name": "key", "cols": [0]}])
    committed = {}
    for batch in range(4):
        if batch == 2:
            T.insert_temp(conn, "log", [("lost", -1)], False)  # never committed
            cluster.kill(cluster.leader())
            conn = tablora.connect(target)  # the same target finds the new leader
            assert sorted(map(tuple, T.find(conn, "*", "log", ""))) == sorted(committed.items())
        rows = [(f"k{i}", batch) for i in range(batch * 5, batch * 5 + 10)]
        T.insert_temp(conn, "log", rows)
        T.temp_to_main(conn, "log")
        committed.update(rows)
    assert sorted(map(tuple, T.find(conn, "*", "log", ""))) == sorted(committed.items())
    assert len(cluster.alive()) == 2


@pytest.mark.parametrize("sql, params, refusal", [
    ("PRAGMA journal_mode=JOURNAL;", (), "journal_mode"),  # would abort the node
    ("SELECT " + ",".join("?" * 256), tuple(range(256)), "255 parameters"),  # would drop one
])
@pytest.mark.parametrize("opener", ["dqlite"], indirect=True)
def test_dqlite_refuses_what_it_would_get_wrong(opener, sql, params, refusal):
    conn = opener()
    with pytest.raises(Exception, match=refusal):
        conn.cursor().execute(sql, params)
    row = conn.cursor().execute("SELECT " + ",".join("?" * 255), (7,) * 255).fetchone()
    assert row == (7,) * 255  # the node lives on, and 255 parameters all arrive


PACKABLE = {
    "insert": ("INSERT INTO p VALUES (?, ?)", [(10_000 + i, f"v{i}") for i in range(1203)]),
    "insert or replace": ("INSERT OR REPLACE INTO p (k, v) VALUES (?,?)",
                          [(i % 7, i) for i in range(40)]),
    "delete": ("DELETE From p Where rowid in (?)", [(i,) for i in [3, 3, 9, 700, 2000]] * 300),
}
NOT_PACKABLE = {
    "update": ("UPDATE p SET v = v || 'x' WHERE k IN (?)", [(1,), (1,)]),
    "literal": ("INSERT INTO p VALUES (?, '?')", [(1,)]),
    "short row": ("INSERT INTO p VALUES (?, ?)", [(1, 2), (3,)]),
    "mapping": ("INSERT INTO p VALUES (?, ?)", [{"a": 1, "b": 2}]),
}


@pytest.mark.parametrize("sql, rows", PACKABLE.values(), ids=PACKABLE)
def test_packed_statements_do_what_executemany_does(sql, rows):
    results = []
    for pack in (False, True):
        conn = sqlite3.connect(":memory:")
        conn.execute("CREATE TABLE p (k UNIQUE, v)")
        conn.executemany("INSERT INTO p VALUES (?, ?)", [(-i, i) for i in range(1500)])
        start = conn.total_changes
        if pack:
            for text, values in batching.packed(sql, rows):
                assert len(values) <= batching.MAX_PARAMETERS
                conn.execute(text, values)
        else:
            conn.executemany(sql, rows)
        results.append((conn.total_changes - start, conn.execute("SELECT rowid, * FROM p").fetchall()))
    assert results[0] == results[1]


@pytest.mark.parametrize("sql, rows", NOT_PACKABLE.values(), ids=NOT_PACKABLE)
def test_other_statements_are_not_packed(sql, rows):
    assert batching.packed(sql, rows) is None


@pytest.mark.parametrize("engine", ["sqlite", "libsql", "dqlite"])
def test_a_connection_tells_its_engine_and_so_its_merge_step(engine, tmp_path):
    module = importlib.import_module(f"tablora.engines.{engine}")
    conn = (sqlite3.connect(tmp_path / "t.db") if engine == "sqlite"
            else object.__new__(module.Connection))  # the type is all that is asked
    assert registry.engine_of(conn) is module.ENGINE
    assert default_step_rows(conn) == module.ENGINE.step_rows


@pytest.mark.parametrize("target, engine, location, nodes", [
    ("homes.db", "sqlite", "homes.db", ()),
    ("file:homes.db?mode=ro", "sqlite", "file:homes.db?mode=ro", ()),
    ("libsql://127.0.0.1:8080", "libsql", "http://127.0.0.1:8080", ()),
    ("libsql://db.example.org", "libsql", "https://db.example.org", ()),
    ("libsql://localhost:1?tls=1", "libsql", "https://localhost:1", ()),
    ("libsql://db.example.org:8080?tls=0", "libsql", "http://db.example.org:8080", ()),
    ("http://h:1", "libsql", "http://h:1", ()),
    ("dqlite://a:1,b:2/main", "dqlite", "main", ("a:1", "b:2")),
])
def test_targets(target, engine, location, nodes):
    assert registry.parse(target) == targets.Target(engine, location, nodes)


@pytest.mark.parametrize("target", [
    "", " ", None, 3, "mysql://h:1/db", "libsql://", "libsql://h:x", "libsql://h:1/db",
    "libsql://h:1?tls=2", "http://h:1?tls=0", "dqlite://a:1", "dqlite://a:1/", "dqlite://a/db",
    "dqlite://a:1,/db", "dqlite://a:0/db", "dqlite://a:1/db/x",
])
def test_bad_targets_give_one_line(target):
    with pytest.raises(ValueError, match="^tablora.connect: [^\n]+$"):
        tablora.connect(target)


@pytest.mark.parametrize("module, target, extra", [
    ("libsql", "libsql://127.0.0.1:1", "libsql"),
    ("dqlitedbapi", "dqlite://127.0.0.1:1/db", "dqlite"),
])
def test_a_missing_driver_names_its_extra(monkeypatch, capsys, module, target, extra):
    monkeypatch.setitem(sys.modules, module, None)  # as if not installed
    with pytest.raises(ImportError, match=rf"pip install 'tablora\[{extra}\]'"):
        tablora.connect(target)
    assert cli.main(["info", target]) == 1  # one line, not an internal error
    assert capsys.readouterr().err.count("\n") == 1


# -- at size, and when things go wrong ------------------------------------------

SIZE = 100_000
# Rows made inside the database, the same on every engine: main keys 0..N-1;
# staged keys N/2..3N/2-1, half replacing main rows, every 50th one twice.
# Rows of about 100 bytes: at this size a merge changes more pages than SQLite's
# page cache holds, which dqlite 1.11 cannot take unless spilling is off.
ROWS_OF = ("WITH RECURSIVE r(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM r WHERE i < {n} - 1) "
           "INSERT INTO {table} "
           "SELECT {key}, printf('name %d %060d', {key}, {key}), {version}, {key} % 97 FROM r")
MAIN_KEY, STAGED_KEY = "i", "i + {n} / 2 - (i % 50 = 1)"


def sized_table(conn, table, n, main=True):
    """A table with one rule and an index, n staged rows and (if `main`) n main rows."""
    T.create_table(conn, table, ["k", "a", "b", "c"], [{"name": "c", "cols": "c"}],
                   [{"name": "u", "cols": [0]}])
    cursor = conn.cursor()
    if main:
        cursor.execute(ROWS_OF.format(n=n, table=table, key=MAIN_KEY, version=0))
    cursor.execute(ROWS_OF.format(n=n, table=f"temp_{table}", key=STAGED_KEY.format(n=n),
                                  version=1))
    conn.commit()


def table_text(conn, table, chunk=10_000):
    """Every row of both tiers with its row id and typed values, as lines
    (joined inside the database a chunk at a time: a server limits a string)."""
    lines = []
    for tier in (table, f"temp_{table}"):
        count, tier_lines = query(conn, f"SELECT count(*) FROM {tier}")[0][0], []
        for start in range(0, count, chunk):
            text = query(conn, "SELECT group_concat(line, char(10)) FROM (SELECT rowid || ' ' || "
                               "quote(k) || ' ' || quote(a) || ' ' || quote(b) || ' ' || quote(c) "
                               f"AS line FROM {tier} ORDER BY rowid LIMIT {chunk} OFFSET {start})")
            tier_lines += text[0][0].split("\n")
        lines.append(tier_lines)
    return lines


def first_differences(seen, expected):
    return [(i, a, b) for i, (a, b) in enumerate(zip(seen, expected)) if a != b][:3]


MERGE_CHILD = """
import sys
import tablora, tablora.tablora as T
conn = tablora.connect(sys.argv[1])
print("merging", flush=True)
try:
    if len(sys.argv) > 3:
        tablora.Database(conn)[sys.argv[2]].merge(step_rows=int(sys.argv[3]))
    else:
        T.temp_to_main(conn, sys.argv[2])
    print("done", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@contextlib.contextmanager
def python_child(code, *args, stdin=None):
    """A Python process running `code` with `args`, its output read as text; killed when
    the block ends, however it ends, so that a failed test leaves no process behind."""
    child = subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdin=stdin,
                             stdout=subprocess.PIPE, text=True)
    try:
        yield child
    finally:
        child.kill()
        child.wait()


def merge_in_a_child(target, table, seconds, interrupt_after=None):
    """What a process merging `table` of `target` says: "done" or, after a
    SIGINT `interrupt_after` seconds in, "interrupted". A merge that is still
    running after `seconds` fails the test (a hang must not stall the run)."""
    with python_child(MERGE_CHILD, target, table) as child:
        assert child.stdout.readline() == "merging\n"
        if interrupt_after is not None:
            time.sleep(interrupt_after)
            child.send_signal(signal.SIGINT)
        try:
            return child.communicate(timeout=seconds)[0].strip()
        except subprocess.TimeoutExpired:
            pytest.fail(f"the merge was still running after {seconds} s")


@pytest.fixture(scope="module")
def merged_at_size(tmp_path_factory):
    conn = tablora.connect(str(tmp_path_factory.mktemp("size") / "t.db"))
    sized_table(conn, "sized", SIZE)
    T.temp_to_main(conn, "sized")
    return table_text(conn, "sized")


@pytest.mark.slow
@pytest.mark.parametrize("opener", ["libsql", "dqlite"], indirect=True)
def test_a_merge_at_size_gives_what_sqlite3_gives(opener, merged_at_size):
    conn = opener()
    table = f"sized{next(_fresh)}"
    sized_table(conn, table, SIZE)
    assert merge_in_a_child(opener.args[0], table, 60) == "done"
    (main, staged), (expected_main, expected_staged) = table_text(conn, table), merged_at_size
    assert (len(main), staged) == (len(expected_main), expected_staged)
    assert first_differences(main, expected_main) == []
    T.drop_table(conn, table)


@pytest.mark.slow
@pytest.mark.parametrize("opener", ["libsql", "dqlite"], indirect=True)
def test_ctrl_c_during_a_remote_merge_raises_and_commits_nothing(opener):
    conn = opener()
    table, big = f"interrupted{next(_fresh)}", 2 * SIZE
    sized_table(conn, table, big, main=False)
    assert merge_in_a_child(opener.args[0], table, 20, interrupt_after=0.1) == "interrupted"
    assert (query(conn, f"SELECT count(*) FROM {table}"),
            query(conn, f"SELECT count(*) FROM temp_{table}")) == ([(0,)], [(big,)])
    T.drop_table(conn, table)


STEP_ROWS = 10_000  # ten steps at SIZE


def values_of(lines):
    """Rows of table_text without their row ids: a stepped merge numbers main rows its own way."""
    return sorted(line.split(" ", 1)[1] for line in lines)


# Stages 1,000 rows every 50 ms, keys apart from the sized table's, until a line arrives on
# its standard input; then prints the time each batch took and what failed. A process of
# its own: the libSQL driver holds the interpreter's lock while a request waits.
STAGER_CHILD = """
import json, select, sys, time
import tablora, tablora.tablora as T
conn = tablora.connect(sys.argv[1])
waits, errors = [], []
print("staging", flush=True)
while not select.select([sys.stdin], [], [], 0)[0]:
    first = 10**9 + 1000 * len(waits)
    started = time.perf_counter()
    try:
        T.insert_temp(conn, sys.argv[2], [(k, "staged", 2, 0) for k in range(first, first + 1000)])
    except Exception as exc:
        errors.append(f"{type(exc).__name__}: {exc}")
        break
    waits.append(time.perf_counter() - started)
    time.sleep(0.05)
print(json.dumps([waits, errors]), flush=True)
"""


@pytest.mark.slow
@pytest.mark.parametrize("opener", ["libsql", "dqlite"], indirect=True)
def test_a_stepped_merge_beside_a_stager_accounts_for_every_row(opener, merged_at_size):
    # On libSQL a transaction older than 5 s is ended when another writer waits, and on
    # dqlite a COMMIT is one Raft entry: steps keep both small while the stager writes.
    conn = opener()
    table = f"stepped{next(_fresh)}"
    sized_table(conn, table, SIZE)
    with python_child(STAGER_CHILD, opener.args[0], table, stdin=subprocess.PIPE) as stager:
        assert stager.stdout.readline() == "staging\n"
        summary = tablora.Database(conn)[table].merge(step_rows=STEP_ROWS)
        waits, errors = json.loads(stager.communicate("stop\n", timeout=30)[0])
    assert errors == [] and len(waits) > 0
    (main, staged) = table_text(conn, table)
    # The stager's rows: those staged before the merge began merged, the others left staged.
    ours = [line for line in values_of(main) if int(line.split()[0]) >= 10**9]
    assert sorted(ours + values_of(staged)) == sorted(
        f"{k} 'staged' 2 0" for k in range(10**9, 10**9 + 1000 * len(waits)))
    assert summary.staged == SIZE + len(ours)
    assert [line for line in values_of(main) if int(line.split()[0]) < 10**9] == \
        values_of(merged_at_size[0])
    print(f"\nstager beside a stepped merge: {len(waits)} batches, worst "
          f"{max(waits) * 1000:.0f} ms")
    T.drop_table(conn, table)


@pytest.mark.slow
@pytest.mark.parametrize("opener", ["libsql", "dqlite"], indirect=True)
def test_a_stepped_merge_killed_after_a_step_is_finished_by_the_next(opener, merged_at_size):
    conn = opener()
    table = f"killed{next(_fresh)}"
    sized_table(conn, table, SIZE)
    with python_child(MERGE_CHILD, opener.args[0], table, STEP_ROWS) as child:
        assert child.stdout.readline() == "merging\n"
        deadline = time.monotonic() + 60
        while query(conn, f"SELECT count(*) FROM temp_{table}") == [(SIZE,)]:
            assert time.monotonic() < deadline, "no step committed within 60 s"
            time.sleep(0.01)
    # Killed on leaving the block: after a step, in the next one or between two.
    # A prefix of the staged rows is merged: what is left is the newest rows, in one run.
    ((left, oldest, newest),) = query(conn, f"SELECT count(*), min(rowid), max(rowid) "
                                            f"FROM temp_{table}")
    assert 0 < SIZE - left < SIZE and newest == SIZE and newest - oldest + 1 == left
    tablora.Database(conn)[table].merge(step_rows=STEP_ROWS)
    (main, staged) = table_text(conn, table)
    assert staged == []
    assert values_of(main) == values_of(merged_at_size[0])
    T.drop_table(conn, table)


@pytest.mark.parametrize("delay", [0.0, 0.001, 0.003])
def test_dqlite_commit_cut_off_by_the_leaders_loss_is_ambiguous(dqlite_cluster_to_break,
                                                                delay, monkeypatch):
    cluster = dqlite_cluster_to_break
    conn = tablora.connect(cluster.target("ambiguous"))
    T.create_table(conn, "t", ["k", "a", "b", "c"], [], [])
    conn.cursor().execute("BEGIN")  # as staging with comm=False, in one statement
    conn.cursor().execute(ROWS_OF.format(n=SIZE, table="temp_t", key="i", version=0))
    leader = cluster.nodes[cluster.leader()]
    commit = conn.raw.commit

    def commit_while_the_leader_dies():
        threading.Timer(delay, os.killpg, (leader.pid, signal.SIGKILL)).start()
        commit()

    monkeypatch.setattr(conn.raw, "commit", commit_while_the_leader_dies)
    try:
        conn.commit()
        outcome = "committed"
    except conn.raw.AmbiguousCommitError:  # the driver's class
        outcome = "ambiguous"
    leader.wait(10)
    assert not conn.in_transaction
    after = query(tablora.connect(cluster.target("ambiguous")), "SELECT count(*) FROM temp_t")
    assert after in ([(SIZE,)], [(0,)]) if outcome == "ambiguous" else [(SIZE,)]


@pytest.mark.parametrize("opener", ["dqlite"], indirect=True)
def test_dqlite_transaction_larger_than_the_page_cache(opener):
    """Rewrites more pages than SQLite's page cache holds, as a merge does."""
    conn, rows = opener(), 50_000
    cursor = conn.cursor()
    cursor.execute("CREATE TABLE rewritten (k, a)")
    cursor.execute(ROWS_OF.split("INSERT")[0].format(n=rows) +
                   "INSERT INTO rewritten SELECT i, printf('%080d', i) FROM r")
    conn.commit()
    cursor.execute("DELETE FROM rewritten WHERE k % 2 = 0")
    cursor.execute("INSERT INTO rewritten SELECT * FROM rewritten")
    assert query(conn, "SELECT count(*) FROM rewritten") == [(rows,)]
    conn.commit()


@pytest.mark.parametrize("engine, says", [
    ("libsql", "cannot reach the libSQL server: "), ("dqlite", "no dqlite node listening at "),
])
def test_nothing_listening_fails_at_once_in_one_line(engine, says, capsys):
    driver = {"libsql": "libsql", "dqlite": "dqlitedbapi"}[engine]
    if importlib.util.find_spec(driver) is None:
        unavailable(f"the {engine} driver", f"pip install 'tablora[{engine}]'")
    target = f"{engine}://127.0.0.1:{free_port()}" + ("/db" if engine == "dqlite" else "")
    start = time.monotonic()
    assert cli.main(["info", target]) == 1
    assert time.monotonic() - start < 2.0
    assert re.fullmatch(f"tablora: error: [^\n]*{says}[^\n`]*\n", capsys.readouterr().err)


def test_dqlite_waits_for_a_leader_as_long_as_asked(dqlite_cluster_to_break):
    cluster = dqlite_cluster_to_break
    for address in cluster.alive()[:2]:  # one node of three left: no quorum, no leader
        cluster.kill(address)
    start = time.monotonic()
    with pytest.raises(Exception, match=r"^no dqlite leader .*\(none within 1 s\)"):
        tablora.connect(cluster.target("db"), timeout=1.0)
    assert time.monotonic() - start < 5.0


@pytest.mark.parametrize("sql, sqlite_says", [
    ("SELEC 1", 'near "SELEC": syntax error'),
    ("SELECT * FROM nope", "no such table: nope"),
    ("INSERT INTO clean VALUES (1)", "UNIQUE constraint failed: clean.x"),
    ("SELECT zeroblob(2000000000)", "string or blob too big"),  # raised when fetched
])
@pytest.mark.parametrize("opener", ["libsql"], indirect=True)
def test_libsql_errors_are_one_clean_line(opener, sql, sqlite_says):
    conn = opener()
    conn.cursor().execute("CREATE TABLE IF NOT EXISTS clean (x UNIQUE)")
    conn.cursor().execute("INSERT OR IGNORE INTO clean VALUES (1)")
    conn.commit()
    with pytest.raises(ValueError) as caught:
        conn.cursor().execute(sql).fetchall()
    assert sqlite_says in str(caught.value) and not set("`\n") & set(str(caught.value))
    assert "Hrana" not in str(caught.value)


STREAM_EXPIRY = 12.0  # the server drops a stream idle for 10 s, checking now and then


@pytest.mark.slow
@pytest.mark.parametrize("opener", ["libsql"], indirect=True)
def test_libsql_stream_idle_past_the_server_limit(opener):
    """What a read of a million rows does: the driver takes longer than the
    server keeps an idle stream. The transaction only read, so it ends as
    committed, and the connection goes on, after idling outside a
    transaction too."""
    T.create_table(opener(), "idle", ["k"], [], [])
    conn = opener()
    cursor = conn.cursor()
    cursor.execute("BEGIN")
    cursor.execute("SELECT * FROM idle").fetchall()
    time.sleep(STREAM_EXPIRY)
    conn.commit()
    assert not conn.in_transaction
    time.sleep(STREAM_EXPIRY)
    assert T.find(conn, "*", "idle", "") == []


BIG_READ = 2_000_000  # short rows, and 1,000 of their keys staged again
READ_CHILD = """
import sys, tablora, tablora.tablora as T, tablora._read as R
conn, table = tablora.connect(sys.argv[1]), sys.argv[2]
for rows in (T.find(conn, "*", table, "WHERE k >= 0"),
             R.newest_rows(conn, table, where="k >= ?", params=(0,))):
    rows = [tuple(row) for row in rows]
    print(len(rows), sorted(row for row in rows if row[0] % 99_991 == 0), flush=True)
"""


def big_table(conn, table):
    T.create_table(conn, table, ["k", "v"], [], [{"name": "u", "cols": [0]}])
    for tier, n, key, value in ((table, BIG_READ, "i", "i % 97"),
                                (f"temp_{table}", 1000, "i * 3", -1)):
        conn.cursor().execute(f"WITH RECURSIVE r(i) AS (SELECT 0 UNION ALL SELECT i + 1 "
                              f"FROM r WHERE i < {n} - 1) INSERT INTO {tier} "
                              f"SELECT {key}, {value} FROM r")
    conn.commit()


@pytest.mark.slow
@pytest.mark.parametrize("opener", ["libsql"], indirect=True)
def test_libsql_reads_of_millions_of_rows(opener, tmp_path):
    """find and the streamed read of 2,000,000 rows, each far longer than the
    server keeps an idle stream, with lookups after the long read: in ranges,
    in one snapshot, they give what sqlite3 gives."""
    table = f"big{next(_fresh)}"
    big_table(opener(), table)
    reference = tablora.connect(str(tmp_path / "big.db"))
    big_table(reference, "big")
    child = subprocess.run([sys.executable, "-c", READ_CHILD, opener.args[0], table],
                           capture_output=True, text=True, timeout=240)
    expected = [(r[0], r[1]) for r in T.find(reference, "*", "big", "WHERE k >= 0")
                if r[0] % 99_991 == 0]
    line = f"{BIG_READ} {sorted(expected)}"
    assert (child.stderr.splitlines()[-1:], child.stdout.splitlines()) == ([], [line, line])
    T.drop_table(opener(), table)


@pytest.mark.parametrize("opener", ["libsql"], indirect=True)
def test_libsql_transaction_ended_by_the_server_is_explained_and_forgotten(opener):
    old, writer = opener(), opener()
    T.create_table(old, "slow", ["k", "v"], [], [{"name": "u", "cols": [0]}])
    T.insert_temp(old, "slow", [("lost", 1)], False)
    time.sleep(5.5)  # older than the server's limit
    T.insert_temp(writer, "slow", [("kept", 2)])  # another writer: the server ends the old one
    with pytest.raises(hrana.TransactionTimeoutError, match="older than .* nothing of it"):
        T.temp_to_main(old, "slow")
    assert not old.in_transaction
    T.temp_to_main(old, "slow")  # usable again, on what was committed
    assert T.find(old, "k,v", "slow", "") == [["kept", 2]]


@pytest.mark.parametrize("opener", ["libsql"], indirect=True)
@pytest.mark.parametrize("opened_here, timeout", [(True, None), (False, None), (True, 0)])
def test_libsql_statement_meeting_a_lock_waits_only_when_it_opened_the_transaction(
        opener, monkeypatch, opened_here, timeout):
    conn, table = tablora.connect(opener.args[0], timeout=timeout), f"locked{next(_fresh)}"
    T.create_table(conn, table, ["k"], [], [])
    if not opened_here:
        conn.execute("BEGIN")
    refusals, send = [2], conn._execute

    def locked(cursor, sql, params=()):  # as the server answers, after the driver's BEGIN
        send(cursor, sql, params)
        if sql.startswith("INSERT") and refusals[0]:
            refusals[0] -= 1
            raise ValueError('Hrana: `stream error: `Error { message: "SQLite error: database '
                             'is locked", code: "SQLITE_BUSY" }``')

    monkeypatch.setattr(conn, "_execute", locked)
    waits = opened_here and timeout is None
    with contextlib.nullcontext() if waits else pytest.raises(hrana.LibsqlError, match="locked$"):
        T.insert_temp(conn, table, [(1,), (2,)])
    conn.rollback()  # nothing of a failed call lands; a retried one once
    assert query(opener(), f"SELECT k FROM temp_{table}") == ([(1,), (2,)] if waits else [])
    T.drop_table(conn, table)


@pytest.mark.parametrize("given", ["argument", "environment", "cli", "none", "forged"])
def test_libsql_server_asking_for_a_token(libsql_authenticated, given, monkeypatch, capsys):
    server = libsql_authenticated
    target = server.url.replace("http://", "libsql://")
    token = {"none": None, "forged": server.token[:-4] + "AAAA"}.get(given, server.token)
    monkeypatch.delenv("LIBSQL_AUTH_TOKEN", raising=False)
    if given in ("environment", "cli"):
        monkeypatch.setenv("LIBSQL_AUTH_TOKEN" if given == "environment" else "MY_TOKEN", token)
    if given == "cli":
        assert cli.main(["info", target, "--auth-token-env", "MY_TOKEN"]) == 0
        return
    try:
        conn = tablora.connect(target, auth_token=token if given != "environment" else None)
    except hrana.LibsqlError as exc:
        assert given in ("none", "forged")
        assert re.fullmatch("the libSQL server refused the request: [^\n`]+", str(exc))
        assert exc.code == hrana.UNAUTHORIZED and server.token[:20] not in str(exc)
        assert cli.main(["info", target]) == 1
        assert re.fullmatch("tablora: error: [^\n]*refused the request[^\n]*\n",
                            capsys.readouterr().err)
        return
    assert given in ("argument", "environment")
    assert server.token[:20] not in repr(conn) + repr(conn.raw)
    T.create_table(conn, "t", ["k"], [], [])
    T.insert_temp(conn, "t", [(1,)])
    assert T.find(conn, "*", "t", "") == [[1]]
    conn.close()
