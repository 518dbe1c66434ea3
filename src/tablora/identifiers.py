"""Names in the layer's statements: column names quoted as identifiers, table, index and
rule names checked as names the library can splice, and a column found by its name."""

from __future__ import annotations

import functools
import re
import sqlite3
from collections.abc import Sequence

from tablora.errors import ArgumentError, UnknownColumnError

# Table, index and rule names are spliced into the library's statements as they are (and
# into the names temp_<table> and <table>_<index>), so they must stand unquoted.
PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


def quoted(name: str) -> str:
    """A column name as it can stand in a statement: as it is where SQLite reads it so,
    else quoted (a name with blanks or other signs, a keyword as from, to or order)."""
    return name if _stands_plain(name) else '"' + name.replace('"', '""') + '"'


@functools.lru_cache(maxsize=4096)
def _stands_plain(name: str) -> bool:
    # SQLite itself says which words it reads as a column name: its keywords, and which
    # of them may still name a column, are its own (and change between its versions).
    if not PLAIN_NAME.match(name):
        return False
    probe = sqlite3.connect(":memory:")
    try:
        probe.execute(f"CREATE TABLE probe ({name})")
        return [row[1] for row in probe.execute("PRAGMA table_info(probe)")] == [name]
    except sqlite3.Error:
        return False
    finally:
        probe.close()


def plain_name(name: object, what: str) -> str:
    if not isinstance(name, str) or not PLAIN_NAME.match(name):
        raise ArgumentError(
            f"{what} {name!r} must be letters, digits and '_', not starting with a digit"
        )
    return name


def column_position(table: str, names: Sequence[str], column: object, what: str) -> int:
    """The position of `column` among `names`: the exact name, else in any letter case."""
    if isinstance(column, str):
        if column in names:
            return list(names).index(column)
        for at, name in enumerate(names):
            if name.lower() == column.lower():
                return at
    raise UnknownColumnError(
        f"{what}: table {table!r} has no column {column!r} (columns: {', '.join(names)})"
    )


def split_columns(text: str) -> list[str]:
    """The column names of an index's columns text ("a,b" or '"Customer ID","to"')."""
    names, current, quoted_run, at = [], "", False, 0
    while at < len(text):
        char = text[at]
        if char == '"':
            if quoted_run and text[at + 1 : at + 2] == '"':
                current += '"'
                at += 1
            else:
                quoted_run = not quoted_run
        elif char == "," and not quoted_run:
            names.append(current.strip())
            current = ""
        else:
            current += char
        at += 1
    names.append(current.strip())
    return names
