"""Open a database by target and prepare its catalogue.

``connect(target)`` returns a DB-API connection on which every function of
``tablora.tablora`` behaves as on a sqlite3 connection to a file in the
driver's default mode. Targets:

- a path, or a ``file:`` URI: the standard ``sqlite3`` driver.
"""

from __future__ import annotations

import sqlite3
from typing import Any

CATALOGUE = (
    "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)",
    "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)",
)


def prepare_catalogue(conn: Any) -> None:
    """Create the catalogue tables when they are missing, and commit."""
    cursor = conn.cursor()
    for statement in CATALOGUE:
        cursor.execute(statement)
    conn.commit()


def connect(target: str) -> Any:
    """A connection to ``target`` with the catalogue tables prepared."""
    if not isinstance(target, str) or not target:
        raise ValueError(f"tablora.connect: no database target in {target!r}")
    conn = sqlite3.connect(target, uri=target.startswith("file:"))
    prepare_catalogue(conn)
    return conn
