"""A DB-API connection and cursor over another driver's connection.

What the library needs of a connection is stated once, as the protocol
`tablora.tablora.Connection` in the stub; an adapter gives it over a driver
that does not, as sqlite3 does in its default (legacy) transaction mode.

The engine adapters (dqlite, remote libSQL) subclass `Connection` and decide
in `_run` how one statement reaches their driver; everything else here is
shared: cursors that route `execute`/`executemany` through `_run`, the one
loop that sends a statement to the driver (`_send`, packing an executemany of
rows), the counting of changed rows for `total_changes`, and sqlite3's legacy
transaction surface (`isolation_level = ""`, `in_transaction`, `commit`,
`rollback`, the context manager).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import Any, TypeVar

from tablora.engines.batching import MAX_PARAMETERS, packed
from tablora.engines.statements import DATA_CHANGE, keyword

Read = TypeVar("Read")


class Connection:
    """Base adapter; `raw` is the driver's connection."""

    # sqlite3's legacy mode, with deferred transactions: the core sends
    # "BEGIN " before its first schema statement when no transaction is open.
    isolation_level = ""
    autocommit = -1  # sqlite3.LEGACY_TRANSACTION_CONTROL
    # Most parameters one packed statement may bind on this engine.
    most_parameters = MAX_PARAMETERS
    # The driver's cursor.rowcount adds up every statement the cursor ran.
    cumulative_rowcount = False

    def __init__(self, raw: Any) -> None:
        self.raw = raw
        self.packing = True  # executemany as packed statements (batching.py)
        self.total_changes = 0

    # -- the engine's part -------------------------------------------------

    @property
    def in_transaction(self) -> bool:
        raise NotImplementedError

    def _run(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        """Run one statement (for every parameter set when `many`) on the
        driver's `cursor`; return the number of rows it changed (-1: none)."""
        raise NotImplementedError

    def _end(self, verb: str) -> None:
        """End the open transaction with COMMIT or ROLLBACK, through the
        driver's own commit() and rollback(): they tell an ambiguous commit
        (the leader lost during COMMIT) from a failed one."""
        if verb == "COMMIT":
            self.raw.commit()
        else:
            self.raw.rollback()
        self._ended()

    def _ended(self) -> None:
        """Forget the transaction that just ended."""

    def _before_statement(self) -> None:
        """Called before each statement, before its driver cursor is chosen."""

    def _read(self, read: Callable[[], Read]) -> Read:
        """Fetch rows through `read`; a driver may report a statement's error
        only when its rows are fetched."""
        return read()

    # -- sending -------------------------------------------------------------

    def _send(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        """Send one statement on the driver's `cursor`, for every parameter set when
        `many`: an executemany of row INSERTs or id DELETEs as a few packed statements
        (batching.py) instead of one request per row. The rows it changed (-1: none)."""
        start = max(int(cursor.rowcount), 0) if self.cumulative_rowcount else 0
        if not many:
            self._execute(cursor, sql, params)
            return int(cursor.rowcount) - start
        rows = params if isinstance(params, list) else list(params)  # drivers take lists only
        statements = packed(sql, rows, self.most_parameters) if self.packing else None
        if statements is None:
            self._execute_many(cursor, sql, rows)
            return int(cursor.rowcount) - start
        changed = 0
        for text, values in statements:
            self._execute(cursor, text, values)
            changed += max(int(cursor.rowcount), 0)
        return int(cursor.rowcount) - start if self.cumulative_rowcount else changed

    # Every statement reaches the driver through one of these two.
    def _execute(self, cursor: Any, sql: str, params: Any = ()) -> None:
        cursor.execute(sql, params)

    def _execute_many(self, cursor: Any, sql: str, rows: list[Any]) -> None:
        cursor.executemany(sql, rows)

    # -- the DB-API surface ------------------------------------------------

    def cursor(self) -> Cursor:
        return Cursor(self, self.raw.cursor())

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Cursor:
        return self.cursor().execute(sql, params)

    def executemany(self, sql: str, seq: Iterable[Sequence[Any]]) -> Cursor:
        return self.cursor().executemany(sql, seq)

    def commit(self) -> None:
        if self.in_transaction:
            self._end("COMMIT")

    def rollback(self) -> None:
        if self.in_transaction:
            self._end("ROLLBACK")

    def close(self) -> None:
        self.raw.close()

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        # As sqlite3: commit on success, roll back on error; stay open.
        if kind is None:
            self.commit()
        else:
            self.rollback()

    def _counted(self, cursor: Any, sql: str, params: Any, many: bool) -> int:
        changed = self._run(cursor, sql, params, many)
        if changed > 0 and keyword(sql) in DATA_CHANGE:
            self.total_changes += changed
        return changed


class Cursor:
    """A cursor of an adapted connection; reads go straight to the driver's."""

    arraysize = 1

    def __init__(self, connection: Connection, raw: Any) -> None:
        self.connection = connection
        self.raw = raw
        self.rowcount = -1
        self._raw_of = connection.raw

    def _statement_cursor(self) -> Any:
        """The driver's cursor for the next statement: a new one when the
        adapter has replaced the driver's connection since this one was made."""
        self.connection._before_statement()
        if self._raw_of is not self.connection.raw:
            self.raw, self._raw_of = self.connection.raw.cursor(), self.connection.raw
        return self.raw

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Cursor:
        self.rowcount = self.connection._counted(self._statement_cursor(), sql, params, False)
        return self

    def executemany(self, sql: str, seq: Iterable[Sequence[Any]]) -> Cursor:
        self.rowcount = self.connection._counted(self._statement_cursor(), sql, seq, True)
        return self

    def fetchone(self) -> Any:
        return self.connection._read(self.raw.fetchone)

    # After a statement without rows, sqlite3 fetches [] (libsql: None).
    def fetchmany(self, size: int | None = None) -> list[Any]:
        count = self.arraysize if size is None else size
        return self.connection._read(lambda: self.raw.fetchmany(count)) or []

    def fetchall(self) -> list[Any]:
        return self.connection._read(self.raw.fetchall) or []

    @property
    def description(self) -> Any:
        return self.raw.description

    @property
    def lastrowid(self) -> Any:
        return self.raw.lastrowid

    def close(self) -> None:
        self.raw.close()

    def __iter__(self) -> Cursor:
        return self

    def __next__(self) -> Any:
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row
