"""Two-tier tables over SQLite: a main table and its staging twin temp_<table>.

Names (tables, columns, indexes, rules), select lists and conditions are
spliced into SQL statements as they are given: they are trusted SQL
fragments, never user input. Row values always travel as bound parameters.
"""

import sqlite3
from collections.abc import Iterable, Mapping, MutableSet, Sequence
from os import PathLike
from typing import Any, Literal, NotRequired, Protocol, TypeAlias, TypedDict, TypeVar

_Address: TypeAlias = str | bytes | PathLike[str] | PathLike[bytes]
_RowRef: TypeAlias = tuple[int, int]
_Visited = TypeVar("_Visited", bound=MutableSet[tuple[int, int]])

class Connection(Protocol):
    """What the functions use of a DB-API connection: a sqlite3 connection, or one that
    tablora.connect returns for any target."""

    @property
    def in_transaction(self) -> bool: ...
    @property
    def total_changes(self) -> int: ...
    def cursor(self) -> Any: ...
    def execute(self, sql: str, parameters: Any = ..., /) -> Any: ...
    def commit(self) -> None: ...
    def rollback(self) -> None: ...
    def close(self) -> None: ...

class IndexEntry(TypedDict):
    """An index of create_table: its name and its columns joined by ','.

    create_table sets the key 'table' on every entry it registers.
    """

    name: str
    cols: str
    table: NotRequired[str]

class TableIndex(TypedDict):
    """An index as insert_index takes it: table, index name, columns joined by ','."""

    table: str
    name: str
    cols: str

class UniqueEntry(TypedDict):
    """A unique rule of create_table: its name and zero-based column positions."""

    name: str
    cols: Sequence[int]

class DB:
    """Names one database within the process and hands out connections to it."""

    name: str
    address: _Address
    def __init__(self, name: str, address: _Address) -> None: ...
    def connection(self) -> sqlite3.Connection: ...

def insert_index(conn: Connection, index: TableIndex, comm: bool = True) -> None:
    """Insert index for fast search."""

def drop_index(conn: Connection, table: str, name: str, comm: bool = True) -> None:
    """Drop one index of table."""

def active_table_index(conn: Connection, table: str, comm: bool = True) -> None:
    """Activate indexes of table after drooping them for fast insertion."""

def drop_table_index(conn: Connection, table: str, comm: bool = True) -> None:
    """Drop index of table for fast insert rows."""

def insert_unique(
    conn: Connection,
    table: str,
    name: str,
    cols: str,
    cols_num: str,
    comm: bool = True,
) -> None:
    """Insert uniques of table, the last one with unique features replaces old ones."""

def drop_unique(conn: Connection, table: str, name: str, comm: bool = True) -> None:
    """Delete one unique of table."""

def create_table(
    conn: Connection,
    name: str,
    cols: Sequence[str],
    index: Iterable[IndexEntry],
    unique: Iterable[UniqueEntry],
    comm: bool = True,
) -> None:
    """Create table with indexes and uniques."""

def insert_temp(
    conn: Connection, table: str, rows: Iterable[Sequence[object]], comm: bool = True
) -> None:
    """Fast temp_table insertion."""

def delete_row_main(
    conn: Connection, table: str, ids: Iterable[int | str], comm: bool = True
) -> None:
    """Fast delete selcted rows from main_table."""

def temp_to_main(conn: Connection, table: str, comm: bool = True) -> None:
    """Fast temp to main insertion."""

def _insert_main(
    conn: Connection, table: str, rows: Iterable[Sequence[object]], comm: bool = True
) -> None: ...
def drop_table(conn: Connection, table: str, comm: bool = True) -> None:
    """Drop table with indexes and uniques."""

def find(conn: Connection, select: str, table: str, conditions: str) -> list[list[Any]]:
    """Find rows from temp and main tables."""

def _check_newest_unique(
    conn: Connection,
    table: str,
    rowid: _RowRef,
    row: Sequence[Any],
    uniques: Mapping[str, Iterable[int]],
    cols: Sequence[str],
    total_select: str,
    eqivalent_set: _Visited,
) -> tuple[Literal[True], _Visited] | tuple[Literal[False], None]: ...
