"""A local SQLite file through the standard sqlite3 driver: the engine of plain paths and
``file:`` URIs."""

from __future__ import annotations

import sqlite3

from tablora.engines.targets import BUSY_SECONDS, Engine, Options, Target


def _parse(target: str, scheme: str) -> Target:
    return Target("sqlite", target)


def _open(where: Target, options: Options) -> sqlite3.Connection:
    busy = options.timeout_or(BUSY_SECONDS)
    return sqlite3.connect(where.location, timeout=busy, uri=where.location.startswith("file:"))


# A step takes longer as the main table grows (0.25 s for 50,000 rows into 1M alone): beside
# a stager, steps of 50,000 into 5M kept a batch waiting 1.8 s, steps of 20,000 0.7 s at most.
# Quiet stretches: data_version tells other connections' commits, and a writer waiting in
# SQLite's busy handler tries again at least every 0.1 s, so one pause lets it in.
ENGINE = Engine("sqlite", (), _parse, _open, step_rows=20_000, quiet_stretches=True)
