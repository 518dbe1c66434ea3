"""A dqlite cluster through dqlite-dbapi, with sqlite3's legacy transactions.

dqlite-dbapi runs every statement in autocommit unless an explicit BEGIN is
open. The adapter opens that BEGIN where sqlite3's legacy mode would (before
a data change, and also before a schema change) and tracks the transaction
from the statements that pass, so `comm=False` leaves work uncommitted and
`rollback()` undoes it. Every statement goes to the cluster's leader. An
executemany of a row INSERT or an id DELETE goes as a few packed statements
(batching.py) instead of one request per row.
"""

from __future__ import annotations

import re
import time
from collections.abc import Sequence
from typing import Any

from tablora.engines import adapter
from tablora.engines.batching import packed
from tablora.engines.drivers import require
from tablora.engines.statements import IMPLICIT_BEGIN, Transaction, keyword

# How long connect() keeps trying the listed nodes: a leader election after
# the loss of the old leader takes a few seconds.
LEADER_WAIT_SECONDS = 30.0

# dqlite's wire format counts a statement's parameters in one byte: from the
# 256th on they are lost (NULL) or the statement fails with "not an error".
MAX_PARAMETERS = 255

# dqlite replicates the WAL; a node that is told to leave WAL mode (dqlite
# 1.11 as Debian ships it) aborts with "free(): invalid pointer".
_SET_JOURNAL_MODE = re.compile(r"\s*PRAGMA\s+(?:\w+\s*\.\s*)?journal_mode\s*[=(]", re.I)


class Connection(adapter.Connection):
    max_parameters = MAX_PARAMETERS

    def __init__(self, raw: Any) -> None:
        super().__init__(raw)
        self._transaction = Transaction()

    @property
    def in_transaction(self) -> bool:
        return self._transaction.open

    def _run(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        if _SET_JOURNAL_MODE.match(sql):
            raise self.raw.NotSupportedError(
                "dqlite keeps its databases in WAL mode: PRAGMA journal_mode cannot be set"
            )
        if not many and len(params) > MAX_PARAMETERS:
            raise self.raw.NotSupportedError(
                f"dqlite binds at most {MAX_PARAMETERS} parameters per statement, "
                f"not {len(params)}"
            )
        if not self._transaction.open and keyword(sql) in IMPLICIT_BEGIN:
            cursor.execute("BEGIN")
            self.statements += 1
            self._transaction.begin()
        if many:
            rows = params if hasattr(params, "__len__") else list(params)
            statements = packed(sql, rows, MAX_PARAMETERS) if self.packing else None
            if statements is not None:
                changed = 0
                for text, values in statements:
                    cursor.execute(text, values)
                    self.statements += 1
                    changed += max(cursor.rowcount, 0)
                return changed
            cursor.executemany(sql, rows)
            self.statements += len(rows)  # one request per parameter set
        else:
            cursor.execute(sql, params)
            self.statements += 1
        self._transaction.ran(sql)
        return int(cursor.rowcount)

    def _ended(self) -> None:
        self._transaction.end()


def open_cluster(addresses: Sequence[str], database: str) -> Connection:
    """A connection to the leader, asking the listed nodes in turn."""
    dqlitedbapi = require("dqlitedbapi", "dqlite", "dqlite")
    deadline = time.monotonic() + LEADER_WAIT_SECONDS
    while True:
        for address in addresses:
            # "deferred" sends a plain BEGIN as written (the driver's default
            # turns it into BEGIN IMMEDIATE).
            raw = dqlitedbapi.connect(
                address, database=database, session_mode="deferred", timeout=5.0
            )
            try:
                raw.connect()
            except dqlitedbapi.Error as exc:
                raw.close()
                last = exc
                continue
            return Connection(raw)
        if time.monotonic() > deadline:
            raise dqlitedbapi.OperationalError(
                f"no dqlite leader reachable through {','.join(addresses)}: {last}"
            )
        time.sleep(0.2)
