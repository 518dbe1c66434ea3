"""The life of a managed table, end to end, on a database file.

    python examples/demo.py [demo.db]

Creates `homes` with two indexes and two unique rules, shows the catalogue,
suspends and rebuilds the indexes around a pretend bulk load, stages rows in
two batches with colliding keys, queries before and after merging, stages
updates, merges again, prints what changed, and drops the table.
"""

from __future__ import annotations

import sqlite3
import sys
from collections.abc import Sequence

import tablora.tablora as tablora

COLUMNS = ["name", "type", "address", "age"]


def show(title: str, rows: Sequence[Sequence[object]]) -> None:
    print(f"\n{title}")
    if not rows:
        print("  (none)")
    for row in rows:
        print("  " + " | ".join(str(value) for value in row))


def indexes(conn: sqlite3.Connection, table: str) -> list[tuple[object, ...]]:
    return conn.execute(
        "SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = ? ORDER BY name",
        (table,),
    ).fetchall()


def main_rows(conn: sqlite3.Connection) -> list[tuple[object, ...]]:
    return conn.execute("SELECT rowid, * FROM homes ORDER BY rowid").fetchall()


def main(path: str) -> None:
    db = tablora.DB("demo", path)
    conn = db.connection()
    print(f"database {path}: handle {db.name!r}")

    tablora.create_table(
        conn,
        "homes",
        list(COLUMNS),
        [{"name": "index_0", "cols": "name,type,address"}, {"name": "index_1", "cols": "age"}],
        [{"name": "unique_0", "cols": [0, 1]}, {"name": "unique_1", "cols": [2]}],
    )
    print("\ncreated homes and temp_homes with columns", ",".join(COLUMNS))
    show("index_table rows", conn.execute("SELECT * FROM index_table").fetchall())
    show("unique_table rows", conn.execute("SELECT * FROM unique_table").fetchall())
    show("SQL indexes on homes", indexes(conn, "homes"))

    tablora.drop_table_index(conn, "homes")
    show("indexes during a pretend bulk load", indexes(conn, "homes"))
    tablora.active_table_index(conn, "homes")
    show("indexes after rebuilding them", indexes(conn, "homes"))

    # Two batches; keys collide within the staging table and across batches.
    tablora.insert_temp(conn, "homes", [
        ("ali", "flat", "1 elm st", 30),
        ("sara", "house", "2 oak st", 41),
        ("ali", "flat", "3 pine st", 31),    # newer version of ali/flat
    ])
    tablora.insert_temp(conn, "homes", [
        ("omid", "villa", "2 oak st", 55),   # takes over the address 2 oak st
        ("lena", "flat", "4 ash st", 28),
    ])
    show("staged rows (temp_homes)",
         conn.execute("SELECT rowid, * FROM temp_homes ORDER BY rowid").fetchall())
    before = tablora.find(conn, "*", "homes", "")
    show("find before the merge: the newest row of each combination", before)

    tablora.temp_to_main(conn, "homes")
    show("main table after the merge", main_rows(conn))
    after = tablora.find(conn, "*", "homes", "")
    show("find after the merge", after)
    same = sorted(map(tuple, before)) == sorted(map(tuple, after))
    print(f"\nfind before and after the merge agree: {same}")

    # Updates: a new age for lena, and sara moves into ali's address.
    old = {row[1:] for row in main_rows(conn)}
    tablora.insert_temp(conn, "homes", [
        ("lena", "flat", "4 ash st", 29),
        ("sara", "house", "3 pine st", 42),
    ])
    show("find with staged updates, before merging",
         tablora.find(conn, "name,age", "homes", "ORDER BY name"))
    tablora.temp_to_main(conn, "homes")
    new = {row[1:] for row in main_rows(conn)}
    show("rows the second merge replaced", sorted(old - new, key=str))
    show("rows the second merge brought in", sorted(new - old, key=str))
    show("main table now", main_rows(conn))

    tablora.drop_table(conn, "homes")
    objects = conn.execute(
        "SELECT count(*) FROM sqlite_master WHERE tbl_name IN ('homes', 'temp_homes')"
    ).fetchone()
    records = conn.execute(
        "SELECT (SELECT count(*) FROM index_table) + (SELECT count(*) FROM unique_table)"
    ).fetchone()
    print(f"\ndropped homes: {objects[0]} tables or indexes and {records[0]} catalogue rows left")
    conn.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "demo.db")
