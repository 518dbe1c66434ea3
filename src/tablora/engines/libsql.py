"""A libSQL server (sqld) through the `libsql` driver.

Over its HTTP protocol the driver keeps a transaction opened by BEGIN from one
request to the next, and its connection already has sqlite3's legacy
transaction surface (`in_transaction`, `isolation_level`, `autocommit = -1`).
Three things differ, and the adapter handles them:

- A SAVEPOINT sent while no transaction is open does not outlive its request:
  the following RELEASE fails with "no such savepoint". Such a savepoint is
  sent as BEGIN (a deferred transaction reads one snapshot, which is what the
  savepoint was for) and its RELEASE as COMMIT.
- `cursor.rowcount` adds up the changes of every statement the cursor ran, and
  the connection has no `total_changes`: the adapter counts per statement.
- The server answers "database is locked" to a writer that has waited a few
  tenths of a second while others kept taking the lock (a stepped merge's
  steps). A statement that opened the transaction and met it is tried again
  from scratch, as sqlite3's busy timeout does, until the connection's
  timeout (5 s by default) has passed.

The driver's errors
come out as one clean line each (hrana.py); after one that ended the
transaction (the server's time limit), the connection goes on without it.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from urllib.parse import parse_qs, urlsplit

from tablora.engines import adapter, hrana
from tablora.engines.drivers import require
from tablora.engines.statements import savepoint_name, words
from tablora.engines.targets import BUSY_SECONDS, Engine, Options, Target, loopback, port_ok


# A statement that opens a transaction waits for the lock up to the connection's busy
# timeout; between tries the pause doubles from the first to the longest, as in SQLite's
# own busy handler.
BUSY_FIRST_PAUSE = 0.005
BUSY_LONGEST_PAUSE = 0.1
# The server ends a stream that sent no request for 10 s; a request started
# this long after the last one may find its stream gone.
STREAM_IDLE_SECONDS = 8.0
# Statements that only read: a transaction of nothing else loses nothing
# when its stream expires.
_READS = frozenset({"SELECT", "VALUES", "EXPLAIN", "BEGIN", "SAVEPOINT", "RELEASE"})


class Connection(adapter.Connection):
    cumulative_rowcount = True
    # The library's large reads go in ranges of row ids of at most this many
    # rows a statement, inside their one transaction: the driver reads about
    # 17 µs a row, so each range comes well within the stream's idle limit
    # and the server's largest response, and the stream is used between them.
    read_rows_per_request = 20_000

    def __init__(
        self, raw: Any, reconnect: Callable[[], Any], busy_seconds: float = BUSY_SECONDS
    ) -> None:
        super().__init__(raw)
        self._reconnect = reconnect
        self._busy_seconds = busy_seconds
        self._emulated: str | None = None  # the savepoint sent as BEGIN
        self._shadows = 0  # real savepoints of the same name inside it
        self._wrote = False  # the open transaction ran more than reads
        self._last_request = time.monotonic()

    @property
    def in_transaction(self) -> bool:
        return bool(self.raw.in_transaction)

    @property
    def isolation_level(self) -> Any:  # type: ignore[override]
        return self.raw.isolation_level

    def _run(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        # Inside an open transaction a lock met is the caller's to handle: its
        # reads may be stale by now, as with SQLite's own busy handler.
        opened = not self.raw.in_transaction
        gives_up = time.monotonic() + self._busy_seconds
        pause = BUSY_FIRST_PAUSE
        while True:
            try:
                return self._run_once(cursor, sql, params, many)
            except hrana.LibsqlError as error:
                if not (opened and error.code == hrana.BUSY and
                        time.monotonic() + pause < gives_up):  # fmt: skip
                    raise
            self._abandon()
            time.sleep(pause)
            pause = min(2 * pause, BUSY_LONGEST_PAUSE)

    def _run_once(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        self._last_request = time.monotonic()
        head = words(sql)
        verb = head[0] if head else ""
        if not self.raw.in_transaction:  # a transaction, if any, starts here
            self._wrote = False
        if not (verb in _READS or (verb == "PRAGMA" and "=" not in sql)):
            self._wrote = True
        ends = verb in ("COMMIT", "END") or (
            verb == "RELEASE" and savepoint_name(head) == self._emulated and not self._shadows
        )
        with self._expiry_forgiven(ends), self._clean_errors():
            return self._emulating_savepoints(cursor, sql, params, many)
        return -1  # a commit the expired stream forgave

    def _abandon(self) -> None:
        """Roll back the transaction the driver began for the statement that failed."""
        if self.raw.in_transaction:
            try:
                self.raw.rollback()
            except ValueError:
                pass
        self._ended()

    def _end(self, verb: str) -> None:
        with self._expiry_forgiven(True, verb == "ROLLBACK"), self._clean_errors():
            super()._end(verb)

    def _before_statement(self) -> None:
        # A long read (the driver takes about 17 µs a row) leaves the stream
        # idle past the server's limit; outside a transaction nothing is lost
        # by starting on a new one.
        idle = time.monotonic() - self._last_request
        if idle > STREAM_IDLE_SECONDS and not self.raw.in_transaction:
            self._replace_raw()

    @contextmanager
    def _expiry_forgiven(self, ends: bool, rolls_back: bool = False) -> Iterator[None]:
        """The end of a transaction on a stream the server has dropped: a
        rollback, or a commit of a transaction that only read (its reads were
        whole), ends as asked, on a new stream. Anything else raises."""
        wrote = self._wrote
        try:
            yield
        except hrana.LibsqlError as error:
            if error.code != hrana.STREAM_EXPIRED or not ends or (wrote and not rolls_back):
                raise
            self._replace_raw()

    def _replace_raw(self) -> None:
        self.raw = self._reconnect()
        self._ended()

    def _read(self, read: Callable[[], adapter.Read]) -> adapter.Read:
        with self._clean_errors():
            return read()

    @contextmanager
    def _clean_errors(self) -> Iterator[None]:
        try:
            yield
        except ValueError as exc:
            error = hrana.clean(exc)
            if error is None:
                raise
            if isinstance(error, hrana.TransactionTimeoutError) and self.raw.in_transaction:
                # The server has no transaction left; the driver still counts
                # one until a ROLLBACK, which the server refuses.
                try:
                    self.raw.rollback()
                except ValueError:
                    pass
            if error.code == hrana.STREAM_EXPIRED and self.raw.in_transaction:
                try:  # the server has no stream left: the driver's state goes too
                    self.raw.rollback()
                except ValueError:
                    pass
            if not self.raw.in_transaction:  # the server ended it, or none was open
                self._ended()
            raise error from None

    def _emulating_savepoints(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        head = words(sql)
        verb = head[0] if head else ""
        name = savepoint_name(head) if verb in ("RELEASE", "ROLLBACK") else None
        if verb == "SAVEPOINT" and len(head) > 1:
            if not self.raw.in_transaction:
                self._execute(cursor, "BEGIN")
                self._emulated, self._shadows = head[1], 0
                return -1
            if head[1] == self._emulated:
                self._shadows += 1
        elif name is not None and name == self._emulated:
            if self._shadows:
                self._shadows -= (verb == "RELEASE")
            elif verb == "RELEASE":
                self._execute(cursor, "COMMIT")
                self._emulated = None
                return -1
            else:  # ROLLBACK TO the savepoint that opened the transaction
                self._execute(cursor, "ROLLBACK")
                self._execute(cursor, "BEGIN")
                return -1
        changed = self._send(cursor, sql, params, many)
        if verb in ("BEGIN", "COMMIT", "END") or (verb == "ROLLBACK" and name is None):
            self._emulated = None
        return changed

    def _ended(self) -> None:
        self._emulated = None
        self._wrote = False


# A token given to connect() wins over the environment's.
AUTH_TOKEN_VARIABLE = "LIBSQL_AUTH_TOKEN"


def open_server(
    url: str, auth_token: str | None = None, busy_seconds: float = BUSY_SECONDS
) -> Connection:
    """A connection to the libSQL server at `url` (http:// or https://), with the
    server's JWT `auth_token` when it asks for one, whose statements wait up to
    `busy_seconds` for a lock held by others."""
    libsql = require("libsql", "libsql", "libsql")
    token = auth_token or ""
    return Connection(libsql.connect(url, auth_token=token),
                      lambda: libsql.connect(url, auth_token=token), busy_seconds)


def _parse(target: str, scheme: str) -> Target:
    parts = urlsplit(target)
    query = parse_qs(parts.query, keep_blank_values=True)
    tls = query.pop("tls", [None])[-1]
    if not (parts.hostname and port_ok(parts) and parts.path in ("", "/") and not query):
        tls = "bad"
    if tls not in (None, "0", "1") or (tls is not None and scheme != "libsql"):
        raise ValueError(
            f"tablora.connect: expected {scheme}://host[:port]"
            f"{'[?tls=0|1]' if scheme == 'libsql' else ''}, got {target!r}"
        )
    if scheme == "libsql":
        secure = tls == "1" if tls is not None else not loopback(parts.hostname or "")
        scheme = "https" if secure else "http"
    return Target("libsql", f"{scheme}://{parts.netloc}")


def _open(where: Target, options: Options) -> Connection:
    token = options.auth_token
    if token is None:
        token = os.environ.get(AUTH_TOKEN_VARIABLE) or None
    return open_server(where.location, token, options.timeout_or(BUSY_SECONDS))


# The server ends a transaction older than 5 s once another writer waits: a step of
# 50,000 rows into a main table of 1M takes about 0.35 s.
# No quiet stretches: after a transaction a connection may go on on a fresh server
# connection, whose data_version starts anew, so equal values do not mean that no one
# else committed.
ENGINE = Engine("libsql", ("libsql", "http", "https"), _parse, _open, step_rows=50_000)
