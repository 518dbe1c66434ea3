"""Open a database by target and prepare its catalogue.

``connect(target)`` returns a DB-API connection on which every function of
``tablora.tablora`` behaves as on a sqlite3 connection to a file in the
driver's default (legacy) transaction mode. Targets:

- a path (text or ``os.PathLike``), or a ``file:`` URI: the standard ``sqlite3`` driver;
- ``libsql://host:port``, ``http://host:port``, ``https://host:port``: a libSQL
  server through the ``libsql`` driver (``pip install 'tablora[libsql]'``);
- ``dqlite://host:port[,host:port...]/database``: a dqlite cluster through
  ``dqlite-dbapi`` (``pip install 'tablora[dqlite]'``), on its leader.

A libSQL server that asks for a JWT takes it as ``auth_token=``, or from the
environment variable ``LIBSQL_AUTH_TOKEN``. See docs/scaling.md for what each
engine changes.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

import tablora.tablora  # noqa: F401  (makes tablora._catalogue)
from tablora import _catalogue
from tablora.engines import registry
from tablora.engines.targets import Options

if TYPE_CHECKING:
    from tablora.tablora import Connection


def connect(
    target: str | os.PathLike[str], *, timeout: float | None = None, auth_token: str | None = None
) -> Connection:
    """A connection to ``target`` with the catalogue tables prepared.

    A path object names a local file, as it does for ``sqlite3.connect``.
    ``timeout``, in seconds, is how long to wait: for a locked local file or
    libSQL database (a busy timeout, 5 by default) and for a dqlite cluster to
    have a leader (30 by default). ``auth_token`` is
    the JWT of a libSQL server that asks for one (by default the variable
    LIBSQL_AUTH_TOKEN). A server target where nothing listens fails at once.
    """
    where = registry.parse(os.fspath(target) if isinstance(target, os.PathLike) else target)
    if timeout is not None and (
        isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0
    ):
        raise ValueError(f"tablora.connect: timeout must be a number of seconds, not {timeout!r}")
    if auth_token is not None and not isinstance(auth_token, str):
        raise ValueError("tablora.connect: auth_token must be text")
    conn: Connection = registry.open_target(where, Options(timeout, auth_token))
    try:
        _catalogue.prepare(conn)
    except BaseException:
        conn.close()
        raise
    return conn
