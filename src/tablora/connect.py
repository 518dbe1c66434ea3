"""Open a database by target and prepare its catalogue.

``connect(target)`` returns a DB-API connection on which every function of
``tablora.tablora`` behaves as on a sqlite3 connection to a file in the
driver's default (legacy) transaction mode. Targets:

- a path, or a ``file:`` URI: the standard ``sqlite3`` driver;
- ``libsql://host:port``, ``http://host:port``, ``https://host:port``: a libSQL
  server through the ``libsql`` driver (``pip install 'tablora[libsql]'``);
- ``dqlite://host:port[,host:port...]/database``: a dqlite cluster through
  ``dqlite-dbapi`` (``pip install 'tablora[dqlite]'``), on its leader.

See docs/scaling.md for what each engine changes.
"""

from __future__ import annotations

import sqlite3
from typing import Any

from tablora.engines import targets

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


def connect(target: str, *, timeout: float | None = None) -> Any:
    """A connection to ``target`` with the catalogue tables prepared.

    ``timeout``: how many seconds to wait for a dqlite cluster to have a
    leader (default 30; other engines ignore it). A target where nothing
    listens fails at once.
    """
    where = targets.parse(target)
    if timeout is not None and not (isinstance(timeout, (int, float)) and timeout >= 0):
        raise ValueError(f"tablora.connect: timeout must be a number of seconds, not {timeout!r}")
    conn = _open(where, timeout)
    try:
        prepare_catalogue(conn)
    except BaseException:
        conn.close()
        raise
    return conn


def _open(where: targets.Target, timeout: float | None) -> Any:
    if where.engine == "libsql":
        from tablora.engines import libsql

        return libsql.open_server(where.location)
    if where.engine == "dqlite":
        from tablora.engines import dqlite

        if timeout is None:
            return dqlite.open_cluster(where.nodes, where.location)
        return dqlite.open_cluster(where.nodes, where.location, timeout)
    return sqlite3.connect(where.location, uri=where.location.startswith("file:"))
