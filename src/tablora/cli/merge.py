"""`tablora merge`: the library's merge with its time, what it did and, on a terminal, its phases."""

from __future__ import annotations

import argparse
import time
from typing import TextIO

from tablora import _merge
from tablora.cli.arguments import add_database
from tablora.cli.catalogue import count_rows, require_table, staging_table
from tablora.cli.database import open_db
from tablora.cli.errors import CliError
from tablora.cli.progress import Phases
from tablora.cli.wording import count_of

HELP = "move the staged rows into the main table under the unique rules"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser)
    parser.add_argument("table", metavar="TABLE", help="managed table")
    parser.add_argument(
        "--no-progress", action="store_true", help="no phase display, even on a terminal"
    )


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args)
    try:
        require_table(conn, args.db, args.table)
        phases: Phases | None = None
        if not args.no_progress and err.isatty():
            # The label's counts are taken before the merge; what it did comes from the merge.
            staged = count_rows(conn, staging_table(args.table))
            label = f"merging {count_of(staged, 'staged row')} into {args.table}"
            phases = Phases(err, f"{label} ({count_of(count_rows(conn, args.table), 'row')})")
        started = time.perf_counter()
        try:
            staged, inserted, replaced = _merge.merge(
                conn, args.table, progress=phases.show if phases is not None else None
            )
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
        after = count_rows(conn, args.table)
    finally:
        conn.close()
    out.write(
        f"merged {args.table} in {elapsed:.2f} s: {staged:,} staged, {inserted:,} inserted, "
        f"{replaced:,} replaced, {staged - inserted:,} left out (older duplicates); "
        f"{count_of(after, 'row')} in {args.table}\n"
    )
