"""A local SQLite file through the standard sqlite3 driver: the engine of plain paths and
``file:`` URIs."""

from __future__ import annotations

import sqlite3

from tablora.engines.targets import Engine, Options, Target

SQLITE_BUSY_SECONDS = 5.0  # sqlite3.connect's own default


def _parse(target: str, scheme: str) -> Target:
    return Target("sqlite", target)


def _open(where: Target, options: Options) -> sqlite3.Connection:
    busy = SQLITE_BUSY_SECONDS if options.timeout is None else options.timeout
    return sqlite3.connect(where.location, timeout=busy, uri=where.location.startswith("file:"))


# A step of 50,000 rows into a main table of 1M takes about 0.25 s: a stager with the
# default busy timeout waits less than a second.
ENGINE = Engine("sqlite", (), _parse, _open, step_rows=50_000)
