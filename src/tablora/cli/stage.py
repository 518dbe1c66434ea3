"""`tablora stage`: rows from a file into the staging table, all or nothing."""

from __future__ import annotations

import argparse
import time
from collections.abc import Iterator
from typing import TextIO

from tablora.cli.arguments import add_csv_options, add_database, positive
from tablora.cli.catalogue import count_rows, staging_table
from tablora.cli.database import open_database
from tablora.cli.errors import CliError
from tablora.cli.wording import count_of
from tablora.errors import InputError
from tablora.progress import Progress
from tablora.readers import FORMATS_IN, Source, csv_rows, delimiter, input_format, json_rows
from tablora.table import Table

HELP = "load CSV or JSON Lines rows into the staging table"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser)
    parser.add_argument("table", metavar="TABLE", help="managed table")
    parser.add_argument("file", metavar="FILE", help="input file, or '-' for standard input")
    parser.add_argument(
        "--format",
        choices=FORMATS_IN,
        help="input format; json means JSON Lines (default: from the file's extension; "
        "sniffed for '-')",
    )
    add_csv_options(parser)
    parser.add_argument(
        "--no-header",
        action="store_true",
        help="CSV/TSV has no header line: fields are in table column order",
    )
    parser.add_argument(
        "--as-text",
        action="store_true",
        help="keep every CSV/TSV field as text (default: integers and decimals become numbers)",
    )
    parser.add_argument(
        "--empty-null",
        action="store_true",
        help="load an empty CSV/TSV field as NULL (default: as empty text)",
    )
    parser.add_argument(
        "--batch-size",
        type=positive,
        default=5000,
        metavar="N",
        help="rows per insert_temp call (default: 5000)",
    )
    parser.add_argument(
        "--no-progress", action="store_true", help="no progress bar, even on a terminal"
    )


def counted(rows: Iterator[list[object]], progress: Progress) -> Iterator[list[object]]:
    """The rows, with the progress line updated as they are read."""
    count = 0
    for count, row in enumerate(rows, 1):  # noqa: B007 - the count is the loop's result
        yield row
        progress.update(count)
    progress.update(count, force=True)


def stage_rows(table: Table, rows: Iterator[list[object]], batch_size: int, source: Source) -> int:
    """Stage the rows in batches through Table.stage, which commits once: all or nothing."""
    try:
        return table.stage(rows, batch_size=batch_size)
    except (CliError, InputError) as exc:
        raise CliError(f"{exc}; nothing was staged") from None
    except UnicodeDecodeError as exc:
        raise CliError(f"{source.undecodable(exc)}; nothing was staged") from None


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    with open_database(args) as db:
        table = db[args.table]
        source = Source(args.file, args.encoding)
        try:
            kind = input_format(args.file, args.format, source)
            text = source.text()
            if kind == "jsonl":
                rows = json_rows(text, source.label, table.columns)
            else:
                rows = csv_rows(
                    text,
                    source.label,
                    table.columns,
                    delimiter=delimiter(args.delimiter, kind),
                    header=not args.no_header,
                    as_text=args.as_text,
                    empty_as_null=args.empty_null,
                )
            progress = None
            if not args.no_progress and err.isatty():
                progress = Progress(err, f"staging {table.name}", source)
                rows = counted(rows, progress)
            started = time.perf_counter()
            try:
                count = stage_rows(table, rows, args.batch_size, source)
            finally:
                if progress is not None:
                    progress.finish()
            elapsed = time.perf_counter() - started
        finally:
            source.close()
        staged = count_rows(db.conn, staging_table(table.name))
    rate = count / elapsed if elapsed > 0 else 0.0
    out.write(
        f"staged {count_of(count, 'row')} from {source.label} into "
        f"{staging_table(table.name)} in {elapsed:.2f} s ({rate:,.0f} rows/s); "
        f"{count_of(staged, 'row')} staged now\n"
    )
