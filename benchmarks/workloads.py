"""The workloads: a tablora call beside what a user would do without it.

Each side of a workload names its input database and prepares, in the process
that measures it, everything but the call itself: the connection and any rows
to be written are in hand before the measured section starts.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import tablora.tablora as T
from tablora import Database, Table
from tablora._read import newest_rows

import dataset
import peer_chdb
from inputs import Input

Call = Callable[[], object]
Prepare = Callable[[Path, int], Call]


@dataclass(frozen=True)
class Side:
    what: str
    input: Callable[[int], Input]
    prepare: Prepare


@dataclass(frozen=True)
class Workload:
    name: str
    library: Side
    baseline: Side
    peer: bool = False  # the baseline is chdb, an optional extra


def _library(path: Path) -> sqlite3.Connection:
    return T.DB(f"bench-{os.getpid()}", str(path)).connection()


def _stage(path: Path, n: int) -> Call:
    conn, rows = _library(path), dataset.main_rows(n)
    return lambda: T.insert_temp(conn, "t", rows)


def _plain_insert(statement: str, rows_for: Callable[[int], list[dataset.Row]]) -> Prepare:
    def prepare(path: Path, n: int) -> Call:
        conn, rows = sqlite3.connect(path), rows_for(n)

        def call() -> None:
            conn.executemany(statement, rows)
            conn.commit()
        return call
    return prepare


def _merge(path: Path, n: int) -> Call:
    conn = _library(path)
    return lambda: T.temp_to_main(conn, "t")


def _merge_as_plain_sql(path: Path, n: int) -> Call:
    """The merge's writes as a user would send them by hand: SQLite's own floor."""
    conn = sqlite3.connect(path)
    (newest,) = conn.execute("SELECT max(rowid) FROM temp_t").fetchone()
    rules = [[dataset.COLS[p] for p in rule["cols"]] for rule in dataset.UNIQUES]
    newest_by = " AND ".join(
        f"rowid IN (SELECT max(rowid) FROM temp_t WHERE rowid <= {newest} "
        f"GROUP BY {','.join(cols)})" for cols in rules)
    indexes = conn.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index' "
                           "AND tbl_name = 't'").fetchall()
    statements = [
        *(f"DELETE FROM t WHERE rowid IN (SELECT m.rowid FROM t AS m JOIN temp_t AS s ON "
          + " AND ".join(f"m.{c} = s.{c}" for c in cols) + f" WHERE s.rowid <= {newest})"
          for cols in rules),
        *(f"DROP INDEX {name}" for name, _ in indexes),
        f"INSERT INTO t SELECT * FROM temp_t WHERE rowid <= {newest} AND {newest_by} "
        "ORDER BY rowid DESC",
        f"DELETE FROM temp_t WHERE rowid <= {newest}",
        *(sql for _, sql in indexes),
    ]

    def call() -> None:
        for sql in statements:
            conn.execute(sql)
        conn.commit()
    return call


def _find_all(path: Path, n: int) -> Call:
    conn = _library(path)
    return lambda: T.find(conn, "*", "t", "")


def _select_both(path: Path, n: int) -> Call:
    conn = sqlite3.connect(path)
    return lambda: (conn.execute("SELECT * FROM temp_t").fetchall(),
                    conn.execute("SELECT * FROM t").fetchall())


def _count(rows: object) -> int:
    """Iterates without keeping the rows, as a streaming reader would."""
    n = 0
    for _ in rows:  # type: ignore[attr-defined]
        n += 1
    return n


def _read_all(path: Path, n: int) -> Call:
    conn = _library(path)
    return lambda: _count(newest_rows(conn, "t"))


def _read_first(path: Path, n: int) -> Call:
    conn = _library(path)
    return lambda: list(newest_rows(conn, "t", limit=10))


def _read_top(path: Path, n: int) -> Call:
    conn = _library(path)
    return lambda: list(newest_rows(conn, "t", order_by="age DESC, name", limit=10))


def _plain_top(path: Path, n: int) -> Call:
    conn = sqlite3.connect(path)
    sql = ("SELECT * FROM (SELECT * FROM temp_t UNION ALL SELECT * FROM t) "
           "ORDER BY age DESC, name LIMIT 10")
    return lambda: conn.execute(sql).fetchall()


def _find_few(path: Path, n: int) -> Call:
    conn = _library(path)
    return lambda: T.find(conn, "*", "t", "WHERE rowid BETWEEN 1 AND 10")

# ---- the everyday layer (tablora.Database, Table) --------------------------------------------


def _table(path: Path) -> Table:
    return Database(_library(path))["t"]


def _layer_stage(make: Callable[[list[dataset.Row]], object]) -> Prepare:
    """Table.stage of the N main rows in the form `make` gives them."""
    def prepare(path: Path, n: int) -> Call:
        table, rows = _table(path), make(dataset.main_rows(n))
        return lambda: table.stage(rows)
    return prepare


def _as_dicts(rows: list[dataset.Row]) -> object:
    return [dict(zip(dataset.COLS, row)) for row in rows]


def _as_frame(rows: list[dataset.Row]) -> object:
    import pandas

    return pandas.DataFrame(rows, columns=dataset.COLS)


def _as_arrow(rows: list[dataset.Row]) -> object:
    import pyarrow

    return pyarrow.Table.from_pylist(_as_dicts(rows))  # type: ignore[arg-type]


def _rows_where(path: Path, n: int) -> Call:
    table = _table(path)
    return lambda: list(table.rows_where())


def _rows_where_iterated(path: Path, n: int) -> Call:
    table = _table(path)
    return lambda: _count(table.rows_where())


def _to_arrow(path: Path, n: int) -> Call:
    import pyarrow  # noqa: F401  (imported before the measured call, as the baseline's)

    table = _table(path)
    return table.to_arrow


def _select_both_into_arrow(path: Path, n: int) -> Call:
    import pyarrow

    conn = sqlite3.connect(path)

    def call() -> object:
        rows = conn.execute("SELECT * FROM temp_t").fetchall()
        rows += conn.execute("SELECT * FROM t").fetchall()
        return pyarrow.table(dict(zip(dataset.COLS, map(list, zip(*rows)))))
    return call


LAYER = [
    Workload("stage-dicts",
             Side("Table.stage of N dicts", lambda n: Input("managed"), _layer_stage(_as_dicts)),
             Side("Table.stage of N tuples", lambda n: Input("managed"),
                  _layer_stage(lambda rows: rows))),
    Workload("stage-frame",
             Side("Table.stage of a DataFrame of N rows", lambda n: Input("managed"),
                  _layer_stage(_as_frame)),
             Side("executemany INSERT into an unindexed table", lambda n: Input("bare"),
                  _plain_insert(dataset.INSERT, dataset.main_rows))),
    Workload("stage-arrow",
             Side("Table.stage of an Arrow table of N rows", lambda n: Input("managed"),
                  _layer_stage(_as_arrow)),
             Side("executemany INSERT into an unindexed table", lambda n: Input("bare"),
                  _plain_insert(dataset.INSERT, dataset.main_rows))),
    Workload("rows-where",
             Side("list(Table.rows_where()) at N main + N/10 staged rows",
                  lambda n: Input("managed", n, n // 10), _rows_where),
             Side("find(conn, '*', t, '')", lambda n: Input("managed", n, n // 10), _find_all)),
    # The memory bound holds for a fixed staging tier: 100,000 staged rows at every N.
    Workload("rows-where-iter",
             Side("Table.rows_where() iterated without keeping the rows, at N main + 100,000 "
                  "staged rows", lambda n: Input("managed", n, 100_000), _rows_where_iterated),
             Side("find(conn, '*', t, '')", lambda n: Input("managed", n, 100_000), _find_all)),
    Workload("read-arrow",
             Side("Table.to_arrow() at N main + N/10 staged rows",
                  lambda n: Input("managed", n, n // 10), _to_arrow),
             Side("SELECT * of both tables into an Arrow table",
                  lambda n: Input("managed", n, n // 10), _select_both_into_arrow)),
]

WORKLOADS = [
    Workload("staging",
             Side("insert_temp of N rows", lambda n: Input("managed"), _stage),
             Side("executemany INSERT into an unindexed table", lambda n: Input("bare"),
                  _plain_insert(dataset.INSERT, dataset.main_rows))),
    Workload("merge",
             Side("temp_to_main of N staged into N main rows",
                  lambda n: Input("managed", n, n), _merge),
             Side("INSERT OR REPLACE of the N rows, a UNIQUE index per rule",
                  lambda n: Input("plain", n),
                  _plain_insert(dataset.UPSERT, lambda n: dataset.staged_rows(n, n)))),
    Workload("merge-floor",
             Side("temp_to_main of N staged into N main rows",
                  lambda n: Input("managed", n, n), _merge),
             Side("the same writes sent by hand as plain SQL statements",
                  lambda n: Input("managed", n, n), _merge_as_plain_sql)),
    Workload("small-batch",
             Side(f"temp_to_main of {dataset.SMALL_BATCH:,} staged into N main rows",
                  lambda n: Input("managed", n, dataset.SMALL_BATCH), _merge),
             Side(f"INSERT OR REPLACE of the {dataset.SMALL_BATCH:,} rows",
                  lambda n: Input("plain", n),
                  _plain_insert(dataset.UPSERT,
                                lambda n: dataset.staged_rows(dataset.SMALL_BATCH, n)))),
    Workload("find-all",
             Side("find(conn, '*', t, '') at N main + N/10 staged rows",
                  lambda n: Input("managed", n, n // 10), _find_all),
             Side("SELECT * of both tables, fetchall",
                  lambda n: Input("managed", n, n // 10), _select_both)),
    Workload("read-all",
             Side("newest_rows(conn, t) iterated at N main + N/10 staged rows",
                  lambda n: Input("managed", n, n // 10), _read_all),
             Side("find(conn, '*', t, '')", lambda n: Input("managed", n, n // 10), _find_all)),
    Workload("read-first",
             Side("newest_rows(conn, t, limit=10) at N main + N/10 staged rows",
                  lambda n: Input("managed", n, n // 10), _read_first),
             Side("newest_rows(conn, t) iterated", lambda n: Input("managed", n, n // 10),
                  _read_all)),
    Workload("read-top",
             Side("newest_rows(conn, t, order_by='age DESC, name', limit=10) at N main + "
                  "N/10 staged rows", lambda n: Input("managed", n, n // 10), _read_top),
             Side("SELECT of both tiers UNION ALL, ORDER BY ... LIMIT 10",
                  lambda n: Input("managed", n, n // 10), _plain_top)),
    Workload("find-few",
             Side("find(conn, '*', t, 'WHERE rowid BETWEEN 1 AND 10') at N main + N staged",
                  lambda n: Input("managed", n, n), _find_few),
             Side("find(conn, '*', t, '')", lambda n: Input("managed", n, n), _find_all)),
]

PEER = [
    Workload("peer-merge",
             Side("temp_to_main of N/10 newer rows into N main rows, one rule on the key",
                  lambda n: Input("keyed", n, n // 10), _merge),
             Side("chdb ReplacingMergeTree: OPTIMIZE TABLE ... FINAL",
                  lambda n: Input("chdb", n, n // 10), peer_chdb.prepare_merge),
             peer=True),
    Workload("peer-find",
             Side("find(conn, '*', t, '') at N main + N/10 newer rows",
                  lambda n: Input("keyed", n, n // 10), _find_all),
             Side("chdb: SELECT * ... FINAL into Python lists",
                  lambda n: Input("chdb", n, n // 10), peer_chdb.prepare_find),
             peer=True),
]

WORKLOADS += LAYER
BY_NAME = {w.name: w for w in WORKLOADS + PEER}
