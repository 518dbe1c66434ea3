"""`tablora merge`: temp_to_main with its time and what it did."""

from __future__ import annotations

import argparse
import time
from typing import Any, NamedTuple, TextIO

from tablora import tablora as T
from tablora.cli.catalogue import columns_of, count_rows, require_table, unique_rules
from tablora.cli.database import open_db
from tablora.cli.errors import CliError


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


def check_rule_positions(conn: Any, table: str) -> None:
    """Every rule names columns the table has: say so plainly before the merge trips on it."""
    cols = columns_of(conn, table)
    for rule in unique_rules(conn, table):
        try:
            for at in rule.positions:
                cols[at]
        except IndexError:
            raise CliError(
                f"unique rule {rule.name!r} of {table!r} names a column position "
                f"past the last column ({rule.positions})"
            ) from None


def cmd_merge(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args.db)
    try:
        require_table(conn, args.db, args.table)
        staged = count_rows(conn, "temp_" + args.table)
        if staged:
            check_rule_positions(conn, args.table)
        before = count_rows(conn, args.table)
        changes = conn.total_changes
        started = time.perf_counter()
        try:
            T.temp_to_main(conn, args.table)
        except BaseException:
            conn.rollback()
            raise
        elapsed = time.perf_counter() - started
        changed = conn.total_changes - changes
        after = count_rows(conn, args.table)
    finally:
        conn.close()
    counts = merge_counts(staged, before, after, changed)
    out.write(
        f"merged {args.table} in {elapsed:.2f} s: {staged:,} staged, {counts.inserted:,} inserted, "
        f"{counts.replaced:,} replaced, {counts.left_out:,} left out (older duplicates); "
        f"{after:,} rows in {args.table}\n"
    )
