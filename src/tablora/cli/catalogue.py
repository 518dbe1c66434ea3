"""What a database holds: managed tables, their columns, row counts, indexes and unique rules.

Table names go into statements unquoted, as the library splices them: managed tables have
plain names (letters, digits and '_').
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from tablora import _catalogue
from tablora.database import Database


def staging_table(table: str) -> str:
    """The staging twin of a managed table, named as the library names it."""
    return _catalogue.staging_name(table)


def sql_index_name(table: str, index: str) -> str:
    """The SQL name under which the library builds a registered index."""
    return _catalogue.index_name(table, index)


def table_names(conn: Any) -> set[str]:
    return {
        name for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
    }


def managed_tables(conn: Any) -> list[str]:
    """The managed tables, as `Database.table_names` finds them."""
    return Database(conn).table_names()


def require_table(conn: Any, db: str, table: str) -> None:
    """Raises the layer's UnknownTableError, naming the managed tables, unless `table` is one."""
    Database(conn).table(table)


def columns_of(conn: Any, table: str) -> list[str]:
    return [str(row[1]) for row in conn.execute(f"PRAGMA table_info({table})")]


def count_rows(conn: Any, table: str) -> int:
    (count,) = conn.execute(f"SELECT count(*) FROM {table}").fetchone()
    return int(count)


@dataclass
class Rule:
    """A unique rule as the catalogue records it; the library reads its positions."""

    name: str
    columns: str
    col_num: str


def unique_rules(conn: Any, table: str) -> list[Rule]:
    return [
        Rule(str(name), str(columns), str(col_num))
        for name, columns, col_num in conn.execute(
            "SELECT unique_name, columns, col_num FROM unique_table "
            "WHERE table_name = ? COLLATE NOCASE",
            (table,),
        )
    ]


def registered_indexes(conn: Any, table: str) -> list[tuple[str, str]]:
    return [
        (str(name), str(columns))
        for name, columns in conn.execute(
            "SELECT index_name, columns FROM index_table WHERE table_name = ? COLLATE NOCASE",
            (table,),
        )
    ]


def sql_indexes(conn: Any, table: str) -> set[str]:
    return {
        name
        for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ? COLLATE NOCASE",
            (table,),
        )
    }
