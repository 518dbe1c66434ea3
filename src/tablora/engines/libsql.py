"""A libSQL server (sqld) through the `libsql` driver.

Over its HTTP protocol the driver keeps a transaction opened by BEGIN from one
request to the next, and its connection already has sqlite3's legacy
transaction surface (`in_transaction`, `isolation_level`, `autocommit = -1`).
Two things differ, and the adapter handles them:

- A SAVEPOINT sent while no transaction is open does not outlive its request:
  the following RELEASE fails with "no such savepoint". Such a savepoint is
  sent as BEGIN (a deferred transaction reads one snapshot, which is what the
  savepoint was for) and its RELEASE as COMMIT.
- `cursor.rowcount` adds up the changes of every statement the cursor ran, and
  the connection has no `total_changes`: the adapter counts per statement.

An executemany of a row INSERT or an id DELETE goes as a few packed
statements (batching.py) instead of one request per row. The driver's errors
come out as one clean line each (hrana.py); after one that ended the
transaction (the server's time limit), the connection goes on without it.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from tablora.engines import adapter, hrana
from tablora.engines.batching import packed
from tablora.engines.drivers import require
from tablora.engines.statements import savepoint_name, words


class Connection(adapter.Connection):
    def __init__(self, raw: Any) -> None:
        super().__init__(raw)
        self._emulated: str | None = None  # the savepoint sent as BEGIN
        self._shadows = 0  # real savepoints of the same name inside it

    @property
    def in_transaction(self) -> bool:
        return bool(self.raw.in_transaction)

    @property
    def isolation_level(self) -> Any:  # type: ignore[override]
        return self.raw.isolation_level

    def _run(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        with self._clean_errors():
            return self._sent(cursor, sql, params, many)

    def _end(self, verb: str) -> None:
        with self._clean_errors():
            super()._end(verb)

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
            if not self.raw.in_transaction:  # the server ended it, or none was open
                self._ended()
            raise error from None

    def _sent(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        head = words(sql)
        verb = head[0] if head else ""
        name = savepoint_name(head) if verb in ("RELEASE", "ROLLBACK") else None
        if verb == "SAVEPOINT" and len(head) > 1:
            if not self.raw.in_transaction:
                self._send(cursor, "BEGIN")
                self._emulated, self._shadows = head[1], 0
                return -1
            if head[1] == self._emulated:
                self._shadows += 1
        elif name is not None and name == self._emulated:
            if self._shadows:
                self._shadows -= (verb == "RELEASE")
            elif verb == "RELEASE":
                self._send(cursor, "COMMIT")
                self._emulated = None
                return -1
            else:  # ROLLBACK TO the savepoint that opened the transaction
                self._send(cursor, "ROLLBACK")
                self._send(cursor, "BEGIN")
                return -1
        before = max(int(cursor.rowcount), 0)
        statements = (
            packed(sql, params) if many and self.packing and isinstance(params, list) else None
        )
        if statements is not None:
            for text, values in statements:
                cursor.execute(text, values)
                self.statements += 1
        elif many:
            cursor.executemany(sql, params)  # the driver takes lists only
            self.statements += len(params)
        else:
            cursor.execute(sql, params)
            self.statements += 1
        if verb in ("BEGIN", "COMMIT", "END") or (verb == "ROLLBACK" and name is None):
            self._emulated = None
        return int(cursor.rowcount) - before

    def _send(self, cursor: Any, sql: str) -> None:
        cursor.execute(sql)
        self.statements += 1

    def _ended(self) -> None:
        self._emulated = None


def open_server(url: str) -> Connection:
    """A connection to the libSQL server at `url` (http:// or https://)."""
    libsql = require("libsql", "libsql", "libsql")
    return Connection(libsql.connect(url))
