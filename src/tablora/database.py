"""`Database`: a database of managed tables, opened by target or over a connection."""

from __future__ import annotations

import contextlib
import os
import weakref
from collections.abc import Generator, Iterator, Mapping, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any

import tablora.tablora as extension
from tablora import _catalogue
from tablora.column_types import declared_type
from tablora.connect import connect
from tablora.errors import ArgumentError, TableExistsError, UnknownTableError
from tablora.identifiers import PLAIN_NAME, column_position, plain_name, quoted
from tablora.row import Row
from tablora.table import Table

if TYPE_CHECKING:
    from tablora.tablora import Connection, IndexEntry

CATALOGUE_TABLES = {"index_table", "unique_table"}


class Database:
    """The managed tables of one database.

    `target` is what `tablora.connect` takes (a path, `os.PathLike`, a `file:` URI,
    `libsql://`, `http(s)://`, `dqlite://`), which this object opens and `close()` closes;
    or an open DB-API connection, which stays the caller's: `close()` leaves it open.
    `timeout` and `auth_token` are `tablora.connect`'s.

    Each write method is one unit of work: it commits at its end, or rolls back what it
    did when it fails. Inside a transaction the caller opened, it neither commits nor
    rolls back, and the caller decides.
    """

    def __init__(
        self,
        target: str | os.PathLike[str] | Connection,
        *,
        timeout: float | None = None,
        auth_token: str | None = None,
    ) -> None:
        # The rows_where iterators not yet ended: each holds a read snapshot on the connection.
        self.reads: weakref.WeakSet[Generator[Row]] = weakref.WeakSet()
        if isinstance(target, (str, os.PathLike)):
            self.conn: Connection = connect(target, timeout=timeout, auth_token=auth_token)
            self._owned = True
        elif callable(getattr(target, "cursor", None)) and callable(getattr(target, "commit", None)):
            if timeout is not None or auth_token is not None:
                raise ArgumentError("timeout and auth_token apply to a target the Database "
                                    "opens, not to a connection given to it")  # fmt: skip
            self.conn = target
            self._owned = False
            if len(self._names("name IN ('index_table', 'unique_table')")) < 2:
                _catalogue.prepare(target)  # commits: only on a database without its catalogue
        else:
            raise ArgumentError(
                f"Database takes a path, a target text or a DB-API connection, not {target!r}"
            )

    # ---- life ---------------------------------------------------------------------------

    def close(self) -> None:
        """End the reads still open (`rows_where` iterators not read to their end), then
        close the connection this object opened; a connection given to it stays open."""
        for reading in list(self.reads):
            reading.close()
        if self._owned:
            self.conn.close()

    def __enter__(self) -> Database:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    @contextlib.contextmanager
    def unit_of_work(self) -> Iterator[None]:
        """Commit what the block did, or roll it back when it fails; inside the caller's own
        transaction, do neither."""
        outer = bool(getattr(self.conn, "in_transaction", False))
        try:
            yield
            if not outer:
                self.conn.commit()
        except BaseException:
            # A COMMIT that failed (a reader holding the file) leaves the block's work
            # open: undone here, so that no later commit publishes what was reported failed.
            if not outer:
                self.conn.rollback()
            raise

    # ---- tables -------------------------------------------------------------------------

    def _names(self, condition: str) -> list[str]:
        return [str(name) for (name,) in self.conn.execute(
            f"SELECT name FROM sqlite_master WHERE type = 'table' AND {condition}")]  # fmt: skip

    def _columns(self, table: str) -> list[str]:
        return [str(row[1]) for row in self.conn.execute(f"PRAGMA table_info({quoted(table)})")]

    def table_names(self) -> list[str]:
        """The managed tables, sorted: each table whose staging twin exists with the same
        columns, whose name the library can splice, and that is not a catalogue table."""
        tables = self._names("1")
        by_folded = {name.lower(): name for name in tables}
        managed = []
        for name in tables:
            twin = by_folded.get(_catalogue.staging_name(name).lower())
            if (twin is None or not PLAIN_NAME.match(name) or name.lower() in CATALOGUE_TABLES
                    or self._columns(name) != self._columns(twin)):  # fmt: skip
                continue
            managed.append(name)
        return sorted(managed)

    def table(self, name: str) -> Table:
        """The managed table `name` (in any letter case, as SQLite matches names)."""
        managed = self.table_names()
        if name not in managed:
            folded = [known for known in managed if known.lower() == str(name).lower()]
            if not folded:
                known = ", ".join(managed) if managed else "none"
                raise UnknownTableError(f"unknown table {name!r} (managed tables: {known})")
            name = folded[0]
        return Table(self, name, self._columns(name))

    __getitem__ = table

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.lower() in {t.lower() for t in self.table_names()}

    def create_table(
        self,
        name: str,
        columns: Sequence[str] | Mapping[str, type | str | None],
        *,
        unique: Mapping[str, str | Sequence[str]] | None = None,
        indexes: Mapping[str, str | Sequence[str]] | None = None,
        replace: bool = False,
    ) -> Table:
        """A new managed table (main and staging) with unique rules and indexes.

        `columns` is a list of names, or a mapping name -> type (int, float, str, bytes or
        SQL type text), which declares each column's affinity. `unique` and `indexes` map a
        rule or index name to its column names (a list, or one name). Column names may be
        any text. A table of that name is refused unless `replace=True`, which drops it
        with its rows, indexes and rules.
        """
        plain_name(name, "table name")
        if name.lower() in CATALOGUE_TABLES or name.lower().startswith("sqlite_"):
            raise ArgumentError(f"table name {name!r} is reserved; choose another")
        names, definitions = self._column_definitions(name, columns)
        rules = _named_columns(name, "unique rule", unique, names)
        index_columns = _named_columns(name, "index", indexes, names)
        # SQLite names are one in any letter case: <table>_<name> would be one index.
        for clash in {r.lower() for r in rules} & {i.lower() for i in index_columns}:
            raise ArgumentError(f"table {name!r}: {clash!r} names both a unique rule and an "
                                "index; they would share one registered index")  # fmt: skip
        index_entries: list[IndexEntry] = [
            {"name": index, "cols": ",".join(quoted(names[p]) for p in positions)}
            for index, positions in index_columns.items()
        ]
        taken = {n.lower() for n in self._names("1")}
        existing = [n for n in (name, _catalogue.staging_name(name)) if n.lower() in taken]
        if existing and not replace:
            raise TableExistsError(
                f"table {existing[0]!r} already exists; pass replace=True to drop it "
                "with its rows, indexes and rules"
            )
        with self.unit_of_work():
            extension.create_table(self.conn, name, definitions, index_entries, [], comm=False)
            # Recorded here rather than by create_table, which would name a rule's columns by
            # their whole definitions ('"age" INTEGER') in the rule's supporting index.
            for rule, positions in rules.items():
                extension.insert_unique(self.conn, name, rule,
                                        ",".join(quoted(names[p]) for p in positions),
                                        ",".join(map(str, positions)), comm=False)  # fmt: skip
        return Table(self, name, names)

    def _column_definitions(
        self, table: str, columns: Sequence[str] | Mapping[str, type | str | None]
    ) -> tuple[list[str], list[str]]:
        """The column names and, for create_table, each name quoted with its type if any."""
        if isinstance(columns, str):
            raise ArgumentError(f"table {table!r}: columns must be a list of names or a "
                                f"mapping name -> type, not the text {columns!r}")  # fmt: skip
        typed = isinstance(columns, Mapping)
        names = list(columns)
        if not names:
            raise ArgumentError(f"table {table!r} needs at least one column")
        seen: set[str] = set()
        definitions = []
        for column in names:
            if not isinstance(column, str) or not column:
                raise ArgumentError(f"table {table!r}: column names are non-empty texts, "
                                    f"not {column!r}")  # fmt: skip
            if column.lower() in seen:
                raise ArgumentError(f"table {table!r}: column {column!r} is listed twice")
            if column.lower() in ("rowid", "oid", "_rowid_"):
                raise ArgumentError(f"table {table!r}: {column!r} is SQLite's row id; "
                                    "choose another column name")  # fmt: skip
            seen.add(column.lower())
            text = quoted(column)
            if typed:
                kind = declared_type(column, columns[column])  # type: ignore[call-overload]
                text += " " + kind if kind else ""
            definitions.append(text)
        return names, definitions


def _named_columns(
    table: str, what: str, given: Mapping[str, str | Sequence[str]] | None, names: Sequence[str]
) -> dict[str, list[int]]:
    """Rule or index name -> column positions, from a mapping name -> column names."""
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise ArgumentError(f"table {table!r}: {what}s are a mapping name -> column names, "
                            f"not {given!r}")  # fmt: skip
    found: dict[str, list[int]] = {}
    for name, columns in given.items():
        plain_name(name, f"{what} name")
        listed = [columns] if isinstance(columns, str) else list(columns)
        if not listed:
            raise ArgumentError(f"{what} {name!r} of table {table!r} names no column")
        found[name] = [column_position(table, names, c, f"{what} {name!r}") for c in listed]
    return found
