"""Open a database by target and prepare its catalogue.

``connect(target)`` returns a DB-API connection on which every function of
``tablora.tablora`` behaves as on a sqlite3 connection to a file in the
driver's default (legacy) transaction mode. Targets:

- a path (text or ``os.PathLike``), or a ``file:`` URI: the standard ``sqlite3`` driver;
- ``libsql://host:port``, ``http://host:port``, ``https://host:port``: a libSQL
  server through the ``libsql`` driver (``pip install 'tablora[libsql]'``);
- ``dqlite://host:port[,host:port...]/database``: a dqlite cluster through
  ``dqlite-dbapi`` (``pip install 'tablora[dqlite]'``), on its leader.

See docs/scaling.md for what each engine changes.
"""

from __future__ import annotations

import os
import sqlite3
from typing import TYPE_CHECKING, Any

import tablora.tablora  # noqa: F401  (makes tablora._catalogue)
from tablora import _catalogue
from tablora.engines import targets

if TYPE_CHECKING:
    from tablora.tablora import Connection

SQLITE_BUSY_SECONDS = 5.0  # sqlite3.connect's own default


def connect(target: str | os.PathLike[str], *, timeout: float | None = None) -> Connection:
    """A connection to ``target`` with the catalogue tables prepared.

    A path object names a local file, as it does for ``sqlite3.connect``.
    ``timeout``, in seconds, is how long to wait: for a locked local file
    (sqlite3's busy timeout, 5 by default) and for a dqlite cluster to have a
    leader (30 by default); a libSQL server takes none. A server target where
    nothing listens fails at once.
    """
    where = targets.parse(os.fspath(target) if isinstance(target, os.PathLike) else target)
    if timeout is not None and (
        isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0
    ):
        raise ValueError(f"tablora.connect: timeout must be a number of seconds, not {timeout!r}")
    conn: Connection = _open(where, timeout)
    try:
        _catalogue.prepare(conn)
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

        wait = dqlite.LEADER_WAIT_SECONDS if timeout is None else timeout
        return dqlite.open_cluster(where.nodes, where.location, wait)
    busy = SQLITE_BUSY_SECONDS if timeout is None else timeout
    return sqlite3.connect(where.location, timeout=busy, uri=where.location.startswith("file:"))
