"""`tablora merge`: Table.merge with its time, what it did and, on a terminal, its phases."""

from __future__ import annotations

import argparse
from typing import TextIO

from tablora.cli.arguments import add_database, positive
from tablora.cli.catalogue import count_rows, staging_table
from tablora.cli.database import open_database
from tablora.cli.errors import CliError
from tablora.cli.wording import count_of
from tablora.progress import Phases

HELP = "move the staged rows into the main table under the unique rules"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser)
    parser.add_argument("table", metavar="TABLE", help="managed table")
    parser.add_argument(
        "--no-progress", action="store_true", help="no phase display, even on a terminal"
    )
    parser.add_argument(
        "--step-rows",
        type=step_size,
        metavar="N",
        help="merge in steps of at most N staged rows (default: the engine's step), each "
        "its own transaction, so that stagers wait for one step at most",
    )


def step_size(text: str) -> int | bool:
    """A number of rows, or `default`: the engine's step (Table.merge's step_rows=True)."""
    return True if text == "default" else positive(text)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    with open_database(args) as db:
        table = db[args.table]
        conn = db.conn
        phases: Phases | None = None
        if not args.no_progress and err.isatty():
            # The label's counts are taken before the merge; what it did comes from the merge.
            staged = count_rows(conn, staging_table(table.name))
            label = f"merging {count_of(staged, 'staged row')} into {table.name}"
            phases = Phases(err, f"{label} ({count_of(count_rows(conn, table.name), 'row')})")
        try:
            done = table.merge(progress=phases.show if phases is not None else None,
                               step_rows=args.step_rows)  # fmt: skip
        except IndexError as exc:
            raise CliError(f"a unique rule of {table.name!r} does not fit its columns: {exc}") from None
        finally:
            if phases is not None:
                phases.finish()
        after = count_rows(conn, table.name)
    out.write(
        f"merged {table.name} in {done.seconds:.2f} s: {done.staged:,} staged, "
        f"{done.inserted:,} inserted, {done.replaced:,} replaced, "
        f"{done.left_out:,} left out (older duplicates); {count_of(after, 'row')} in {table.name}\n"
    )
