"""`tablora merge`: temp_to_main with its time, what it did and, on a terminal, its phases."""

from __future__ import annotations

import argparse
import time
from collections.abc import Iterator
from typing import Any, NamedTuple, TextIO

from tablora import tablora as T
from tablora.cli.arguments import add_database
from tablora.cli.catalogue import count_rows, require_table, staging_table
from tablora.cli.database import open_db
from tablora.cli.errors import CliError
from tablora.cli.progress import Phases
from tablora.cli.wording import count_of

HELP = "move the staged rows into the main table under the unique rules"

# The merge runs inside one call of the library; the statements it sends tell its phase.
# Reads before the first of these are its reading phase.
PHASES = {"DELETE": "deleting", "INSERT": "inserting", "CREATE": "rebuilding indexes",
          "DROP I": "dropping indexes"}  # fmt: skip


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser)
    parser.add_argument("table", metavar="TABLE", help="managed table")
    parser.add_argument(
        "--no-progress", action="store_true", help="no phase display, even on a terminal"
    )


class MergeCounts(NamedTuple):
    inserted: int
    replaced: int
    left_out: int


def merge_counts(staged: int, main_before: int, main_after: int, changed: int) -> MergeCounts:
    """What a merge did, from the rows it changed and the main table's size around it.

    The merge deletes each replaced main row, inserts each surviving staged row and
    deletes each staged row it read: `changed` (the growth of the connection's
    total_changes) is replaced + inserted + staged, while the main table grows by
    inserted - replaced.
    """
    growth = main_after - main_before
    inserted = (changed - staged + growth) // 2
    return MergeCounts(inserted, inserted - growth, staged - inserted)


class Watched:
    """The caller's connection, passed to the merge so that each statement it sends shows
    its phase. Statements are seen once per execute or executemany call (a chunk of rows),
    so watching costs next to nothing; everything else is the connection's own."""

    def __init__(self, conn: Any, phases: Phases) -> None:
        self._conn, self._phases = conn, phases
        phases.show("reading")

    def __getattr__(self, name: str) -> Any:
        return getattr(self._conn, name)

    def cursor(self) -> _WatchedCursor:
        return _WatchedCursor(self._conn.cursor(), self._phases)


class _WatchedCursor:
    def __init__(self, cursor: Any, phases: Phases) -> None:
        self._cursor, self._phases = cursor, phases

    def __getattr__(self, name: str) -> Any:
        return getattr(self._cursor, name)

    def __iter__(self) -> Iterator[Any]:
        return iter(self._cursor)

    def _saw(self, sql: str) -> None:
        self._phases.show(PHASES.get(sql.lstrip()[:6].upper(), self._phases.phase))

    def execute(self, sql: str, *parameters: Any) -> _WatchedCursor:
        self._saw(sql)
        self._cursor.execute(sql, *parameters)
        return self

    def executemany(self, sql: str, rows: Any) -> _WatchedCursor:
        self._saw(sql)
        self._cursor.executemany(sql, rows)
        return self


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args)
    try:
        require_table(conn, args.db, args.table)
        staged = count_rows(conn, staging_table(args.table))
        before = count_rows(conn, args.table)
        changes = conn.total_changes
        phases: Phases | None = None
        merged: Any = conn  # or the same connection, watched
        if not args.no_progress and err.isatty():
            label = f"merging {count_of(staged, 'staged row')} into {args.table}"
            phases = Phases(err, f"{label} ({count_of(before, 'row')})")
            merged = Watched(conn, phases)
        started = time.perf_counter()
        try:
            T.temp_to_main(merged, args.table)
        except IndexError as exc:
            conn.rollback()
            raise CliError(f"a unique rule of {args.table!r} does not fit its columns: {exc}") from None
        except BaseException:
            conn.rollback()
            raise
        finally:
            if phases is not None:
                phases.finish()
        elapsed = time.perf_counter() - started
        changed = conn.total_changes - changes
        after = count_rows(conn, args.table)
    finally:
        conn.close()
    counts = merge_counts(staged, before, after, changed)
    out.write(
        f"merged {args.table} in {elapsed:.2f} s: {staged:,} staged, {counts.inserted:,} inserted, "
        f"{counts.replaced:,} replaced, {counts.left_out:,} left out (older duplicates); "
        f"{count_of(after, 'row')} in {args.table}\n"
    )
