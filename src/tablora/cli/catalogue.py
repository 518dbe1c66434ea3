"""What a database holds: managed tables, their columns, row counts, indexes and unique rules."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from tablora.cli.errors import CliError


def quote(name: str) -> str:
    """An SQL identifier in double quotes."""
    return '"' + name.replace('"', '""') + '"'


def table_names(conn: Any) -> set[str]:
    return {
        name for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
    }


def managed_tables(conn: Any) -> list[str]:
    """Tables that have a staging twin temp_<name>."""
    names = table_names(conn)
    return sorted(name for name in names if "temp_" + name in names)


def require_table(conn: Any, db: str, table: str) -> None:
    managed = managed_tables(conn)
    if table in managed:
        return
    known = f"managed tables: {', '.join(managed)}" if managed else "it has no managed tables"
    raise CliError(f"unknown table {table!r} in {db} ({known})")


def columns_of(conn: Any, table: str) -> list[str]:
    return [str(row[1]) for row in conn.execute(f"PRAGMA table_info({quote(table)})")]


def count_rows(conn: Any, table: str) -> int:
    (count,) = conn.execute(f"SELECT count(*) FROM {quote(table)}").fetchone()
    return int(count)


@dataclass
class Rule:
    name: str
    columns: str
    positions: list[int]


def unique_rules(conn: Any, table: str) -> list[Rule]:
    """The table's unique rules as the catalogue records them."""
    rules = []
    for name, columns, col_num in conn.execute(
        "SELECT unique_name, columns, col_num FROM unique_table WHERE table_name = ?", (table,)
    ):
        try:
            positions = [int(piece) for piece in str(col_num).split(",")]
        except ValueError:
            raise CliError(
                f"unique rule {name!r} of {table!r} has unreadable column positions {col_num!r}"
            ) from None
        rules.append(Rule(str(name), str(columns), positions))
    return rules


def registered_indexes(conn: Any, table: str) -> list[tuple[str, str]]:
    return [
        (str(name), str(columns))
        for name, columns in conn.execute(
            "SELECT index_name, columns FROM index_table WHERE table_name = ?", (table,)
        )
    ]


def sql_indexes(conn: Any, table: str) -> set[str]:
    return {
        name
        for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (table,)
        )
    }
