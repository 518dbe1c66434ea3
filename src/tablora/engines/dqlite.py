"""A dqlite cluster through dqlite-dbapi, with sqlite3's legacy transactions.

dqlite-dbapi runs every statement in autocommit unless an explicit BEGIN is
open. The adapter opens that BEGIN where sqlite3's legacy mode would (before
a data change, and also before a schema change) and tracks the transaction
from the statements that pass, so `comm=False` leaves work uncommitted and
`rollback()` undoes it. Every statement goes to the cluster's leader.

Two settings make it usable at size and under failover:

- dqlite 1.11's VFS cannot read back a page that SQLite spilled to the WAL in
  the middle of a transaction: once a transaction has dirtied more pages than
  the page cache holds (483 by default), the next read of a spilled page fails
  with "disk I/O error" (SQLITE_IOERR_SHORT_READ). Every connection turns
  spilling off, so the transaction's dirty pages stay in the leader's memory
  until COMMIT.
- A connection lost while COMMIT is in flight leaves the outcome unknown: the
  leader may have replicated the transaction before it went. That is raised as
  the driver's `AmbiguousCommitError`, never as a plain `OperationalError`.
"""

from __future__ import annotations

import re
import socket
import time
from collections.abc import Sequence
from typing import Any

from tablora.engines import adapter
from tablora.engines.drivers import require
from tablora.engines.statements import IMPLICIT_BEGIN, Transaction, keyword
from tablora.engines.targets import Engine, Options, Target, host_port

# How long connect() keeps trying the listed nodes by default: a leader
# election after the loss of the old leader takes a few seconds.
LEADER_WAIT_SECONDS = 30.0
# How long one node may take to accept a TCP connection before it counts as
# not listening, and to answer a connection attempt of the driver.
LISTEN_PROBE_SECONDS = 1.0
DIAL_SECONDS = 5.0
# How long the driver waits for the answer to one request. With spilling off
# (see above) a large transaction's pages are written and replicated at COMMIT:
# a million-row merge's COMMIT takes seconds, more on a busy machine.
ANSWER_SECONDS = 600.0

# dqlite's wire format counts a statement's parameters in one byte: from the
# 256th on they are lost (NULL) or the statement fails with "not an error".
MAX_PARAMETERS = 255

# dqlite replicates the WAL; a node that is told to leave WAL mode (dqlite
# 1.11 as Debian ships it) aborts with "free(): invalid pointer".
_SET_JOURNAL_MODE = re.compile(r"\s*PRAGMA\s+(?:\w+\s*\.\s*)?journal_mode\s*[=(]", re.I)


class Connection(adapter.Connection):
    most_parameters = MAX_PARAMETERS

    def __init__(self, raw: Any) -> None:
        super().__init__(raw)
        self._transaction = Transaction()
        # PEP 249's optional extension, as on the driver's connection.
        self.AmbiguousCommitError = raw.AmbiguousCommitError

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
            self._execute(cursor, "BEGIN")
            self._transaction.begin()
        if keyword(sql) in ("COMMIT", "END") or self._transaction.releases_outermost(sql):
            self._committing(lambda: self._execute(cursor, sql, params))
            self._transaction.ran(sql)
            return int(cursor.rowcount)
        changed = self._send(cursor, sql, params, many)
        self._transaction.ran(sql)
        return changed

    def _end(self, verb: str) -> None:
        if verb == "COMMIT":
            self._committing(lambda: adapter.Connection._end(self, verb))
        else:
            super()._end(verb)

    def _committing(self, commit: Any) -> None:
        """Run `commit`; a failure of the connection meanwhile is ambiguous.

        The driver itself reports only the leader's "leadership lost" answer as
        ambiguous. An error without a result code never came from the leader
        (the connection closed, timed out or broke), so the COMMIT may have
        been applied. An error with a code is the leader's definite refusal,
        and a connection already lost before COMMIT lost the transaction too.
        """
        if self.raw.closed:
            commit()  # the driver's own error: nothing was sent
            return
        try:
            commit()
        except self.raw.AmbiguousCommitError:
            self._transaction.end()
            raise
        except (self.raw.OperationalError, self.raw.InterfaceError, OSError) as exc:
            if getattr(exc, "code", None) is not None:
                raise
            self._transaction.end()
            raise self.raw.AmbiguousCommitError(
                "the connection to the dqlite leader failed during COMMIT; the transaction "
                f"may or may not have been applied ({exc})"
            ) from exc

    def _ended(self) -> None:
        self._transaction.end()


def open_cluster(
    addresses: Sequence[str], database: str, timeout: float = LEADER_WAIT_SECONDS
) -> Connection:
    """A connection to the leader, asking the listed nodes in turn for up to
    `timeout` seconds; at once when no listed node is listening at all."""
    dqlitedbapi = require("dqlitedbapi", "dqlite", "dqlite")
    deadline = time.monotonic() + timeout
    while True:
        for address in addresses:
            # "deferred" sends a plain BEGIN as written (the driver's default
            # turns it into BEGIN IMMEDIATE).
            raw = dqlitedbapi.connect(
                address, database=database, session_mode="deferred",
                timeout=ANSWER_SECONDS, dial_timeout=DIAL_SECONDS,
            )
            try:
                raw.connect()
                _keep_dirty_pages(raw, dqlitedbapi)
            except dqlitedbapi.Error as exc:
                raw.close()
                last = exc
                continue
            return Connection(raw)
        if not any(map(_listening, addresses)):
            raise dqlitedbapi.OperationalError(
                f"no dqlite node listening at {','.join(addresses)}"
            )
        if time.monotonic() > deadline:
            raise dqlitedbapi.OperationalError(
                f"no dqlite leader reachable through {','.join(addresses)} "
                f"(none within {timeout:g} s): {last}"
            )
        time.sleep(0.2)


def _keep_dirty_pages(raw: Any, dqlitedbapi: Any) -> None:
    """Turn off spilling dirty pages to the WAL before COMMIT (see above)."""
    cursor = raw.cursor()
    try:
        cursor.execute("PRAGMA cache_spill=0")
    except dqlitedbapi.OperationalError as exc:
        # dqlite answers a pragma that returns no row with the error "not an
        # error"; the setting took, as the check below confirms.
        if not str(exc).startswith("not an error"):
            raise
    spill = cursor.execute("PRAGMA cache_spill").fetchone()
    if spill is None or spill[0] != 0:
        raise dqlitedbapi.OperationalError(f"dqlite kept cache_spill at {spill}")


def _listening(address: str) -> bool:
    """Whether anything accepts a TCP connection at `address` (host:port)."""
    host, _, port = address.rpartition(":")
    try:
        socket.create_connection((host.strip("[]"), int(port)), LISTEN_PROBE_SECONDS).close()
    except OSError:
        return False
    return True


def _parse(target: str, scheme: str) -> Target:
    nodes_text, slash, database = target[len("dqlite://") :].partition("/")
    nodes = tuple(node.strip() for node in nodes_text.split(","))
    if not slash or not database or "/" in database or not all(map(host_port, nodes)):
        raise ValueError(
            f"tablora.connect: expected dqlite://host:port[,host:port...]/database, got {target!r}"
        )
    return Target("dqlite", database, nodes)


def _open(where: Target, options: Options) -> Connection:
    wait = options.timeout_or(LEADER_WAIT_SECONDS)
    return open_cluster(where.nodes, where.location, wait)


# A COMMIT is one Raft entry, of about 180 bytes per changed row of 100 bytes: a step of
# 25,000 rows makes an entry of about 5 MB, and takes about 0.2 s into a main table of 1M.
# No quiet stretches: the leader makes a writer wait by rules of its own, and beside
# half-second stretches a stager already waited up to 0.87 s (docs/benchmarks.md).
ENGINE = Engine("dqlite", ("dqlite",), _parse, _open, step_rows=25_000)
