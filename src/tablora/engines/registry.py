"""The engines a target can name, and the one way from a target to a connection.

Each engine module gives an `Engine`: its URL schemes, its reading of a target and its
opening of one. A target without a scheme is a path, for the local SQLite file."""

from __future__ import annotations

from typing import Any

from tablora.engines import dqlite, libsql, sqlite
from tablora.engines.targets import SCHEME, Engine, Options, Target

ENGINES: tuple[Engine, ...] = (sqlite.ENGINE, libsql.ENGINE, dqlite.ENGINE)
_BY_NAME = {engine.name: engine for engine in ENGINES}
_BY_SCHEME = {scheme: engine for engine in ENGINES for scheme in engine.schemes}
_PLAIN = next(engine for engine in ENGINES if not engine.schemes)


def parse(target: object) -> Target:
    """The engine and address of `target`; ValueError on a malformed one."""
    if not isinstance(target, str) or not target.strip():
        raise ValueError(f"tablora.connect: no database target in {target!r}")
    scheme = SCHEME.match(target)
    if scheme is None:
        return _PLAIN.parse(target, "")
    name = scheme.group(1).lower()
    engine = _BY_SCHEME.get(name)
    if engine is None:
        known = ", ".join(f"{s}://" for s in _BY_SCHEME)
        raise ValueError(
            f"tablora.connect: unknown scheme {name!r} in {target!r} (use a path, file:, {known})"
        )
    return engine.parse(target, name)


def engine_of(conn: object) -> Engine:
    """The engine behind a connection: an adapter's own, else a local file's (sqlite3, or
    any other driver of a local file)."""
    adapters = ((libsql.ENGINE, libsql.Connection), (dqlite.ENGINE, dqlite.Connection))
    for engine, adapter in adapters:
        if isinstance(conn, adapter):
            return engine
    return sqlite.ENGINE


def open_target(where: Target, options: Options) -> Any:
    """A connection to a parsed target; an auth token only for an engine that takes one."""
    if options.auth_token is not None and where.engine != "libsql":
        raise ValueError(
            f"tablora.connect: an auth_token is for libSQL servers, not a {where.engine} target"
        )
    return _BY_NAME[where.engine].open(where, options)
