"""The rows and the table layout every workload shares.

Rows are made from their position alone, so the process that builds an input
file and the process that measures a call make the very same rows.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tablora.tablora import IndexEntry, UniqueEntry

COLS = ["name", "type", "address", "age"]
INDEXES: list[IndexEntry] = [{"name": "index_age", "cols": "age"}]
UNIQUES: list[UniqueEntry] = [{"name": "unique_0", "cols": [0, 1]}, {"name": "unique_1", "cols": [2]}]
# The peer comparison: one key (name) and no other index, as a table ordered by the key.
KEY_UNIQUES: list[UniqueEntry] = [{"name": "unique_key", "cols": [0]}]

# The plain SQL a user would write for table t without tablora.
INSERT = "INSERT INTO t VALUES (?,?,?,?)"
UPSERT = "INSERT OR REPLACE INTO t VALUES (?,?,?,?)"

# The rows a small batch stages into a large main table.
SMALL_BATCH = 1_000

Row = tuple[object, ...]


def main_row(i: int) -> Row:
    return (f"n{i}", f"t{i % 5}", f"a{i}", i % 100)


def staged_row(i: int, main_n: int) -> Row:
    """30% of staged rows replace main rows, 10% repeat an earlier staged row's keys."""
    if i % 10 < 3 and main_n:
        j = (i * 7919) % main_n  # a main row's keys, spread over the whole table
        return (f"n{j}", f"t{j % 5}", f"a{j}", 1000 + i % 100)
    if i % 10 == 3 and i >= 10:
        j = i - 7  # an earlier staged row's keys (i - 7 ends in 6, a fresh row)
        return (f"s{j}", "u", f"b{j}", 2000 + i % 100)
    return (f"s{i}", "u", f"b{i}", 2000 + i % 100)


def main_rows(n: int) -> list[Row]:
    return [main_row(i) for i in range(n)]


def staged_rows(n: int, main_n: int) -> list[Row]:
    return [staged_row(i, main_n) for i in range(n)]


def batches(make: Callable[[int], Row], n: int, size: int = 100_000) -> Iterator[list[Row]]:
    """Rows 0..n-1 in lists of at most `size`, so a builder never holds them all."""
    for start in range(0, n, size):
        yield [make(i) for i in range(start, min(n, start + size))]
