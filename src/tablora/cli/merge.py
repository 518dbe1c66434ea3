"""`tablora merge`: temp_to_main with its time, what it did and, on a terminal, its phases."""

from __future__ import annotations

import argparse
import sqlite3
import time
from typing import NamedTuple, TextIO

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


def watch_phases(conn: sqlite3.Connection, phases: Phases) -> None:
    """Show the phase of every statement the merge sends (sqlite3 connections only)."""
    phases.show("reading")

    def seen(statement: str) -> None:
        phase = PHASES.get(statement[:6].upper())
        phases.show(phase or phases.phase)

    conn.set_trace_callback(seen)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args)
    try:
        require_table(conn, args.db, args.table)
        staged = count_rows(conn, staging_table(args.table))
        before = count_rows(conn, args.table)
        changes = conn.total_changes
        watched: tuple[sqlite3.Connection, Phases] | None = None
        if not args.no_progress and err.isatty() and isinstance(conn, sqlite3.Connection):
            label = f"merging {count_of(staged, 'staged row')} into {args.table}"
            watched = conn, Phases(err, f"{label} ({count_of(before, 'row')})")
            watch_phases(*watched)
        started = time.perf_counter()
        try:
            T.temp_to_main(conn, args.table)
        except IndexError as exc:
            conn.rollback()
            raise CliError(f"a unique rule of {args.table!r} does not fit its columns: {exc}") from None
        except BaseException:
            conn.rollback()
            raise
        finally:
            if watched is not None:
                watched[0].set_trace_callback(None)
                watched[1].finish()
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
