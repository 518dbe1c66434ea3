"""Packing an executemany into a few statements for a networked engine.

dqlite-dbapi and libSQL's HTTP driver send every parameter set of an
executemany as its own request, so a staged batch of N rows costs N round
trips. Two shapes the library sends in bulk have a one-statement equivalent:

- ``INSERT [OR …] INTO t [(cols)] VALUES (?, …, ?)`` for many rows is one
  INSERT with many VALUES rows: SQLite inserts them in order, so row ids,
  replacements and changed-row counts come out as with one row at a time;
- ``DELETE FROM t WHERE … IN (?)`` for many ids is one DELETE with the ids
  in the IN list: deleting a row twice deletes it once.

A packed statement fails or succeeds whole; with executemany the rows before
a failing one stay inserted. The library never relies on that: after an
error the caller rolls back.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator, Sequence
from typing import Any

# SQLite's historical default limit of bound parameters, kept under so that
# the packed statements run on any build.
MAX_PARAMETERS = 999
MAX_ROWS = 500

_INSERT = re.compile(
    r"\s*((?:INSERT|REPLACE)\b[^?'\"`\[]*?\bVALUES\s*)"
    r"(\(\s*\?(?:\s*,\s*\?)*\s*\))\s*;?\s*",
    re.IGNORECASE | re.DOTALL,
)
_DELETE_IN = re.compile(
    r"(\s*DELETE\b[^?'\"`\[]*\bIN\s*)\(\s*\?\s*\)\s*;?\s*", re.IGNORECASE | re.DOTALL
)


def packed(
    sql: str, rows: Sequence[Sequence[Any]], max_parameters: int = MAX_PARAMETERS
) -> Iterator[tuple[str, list[Any]]] | None:
    """The statements, with their parameters (at most `max_parameters` each),
    that do what executemany(sql, rows) does; None when `sql` has no packed form."""
    insert = _INSERT.fullmatch(sql)
    delete = None if insert else _DELETE_IN.fullmatch(sql)
    if insert is not None:
        head, one_row = insert.groups()
        width = one_row.count("?")
        per = max(1, min(MAX_ROWS, max_parameters // width))

        def text(n: int) -> str:
            return head + ",".join([one_row] * n)
    elif delete is not None:
        width, per = 1, max_parameters

        def text(n: int) -> str:
            return f"{delete.group(1)}({','.join('?' * n)})"
    else:
        return None
    # Rows of another shape go to the driver as they are, for its own error.
    if not all(type(row) in (tuple, list) and len(row) == width for row in rows):
        return None
    return _chunks(rows, per, text)


def _chunks(
    rows: Sequence[Sequence[Any]], per: int, text: Callable[[int], str]
) -> Iterator[tuple[str, list[Any]]]:
    for start in range(0, len(rows), per):
        chunk = rows[start : start + per]
        yield text(len(chunk)), [value for row in chunk for value in row]
