"""`tablora stage`: rows from a file into the staging table, all or nothing."""

from __future__ import annotations

import argparse
import time
from collections.abc import Iterator
from typing import Any, TextIO

from tablora import tablora as T
from tablora.cli.arguments import add_csv_options, add_database, positive
from tablora.cli.catalogue import columns_of, count_rows, require_table, staging_table
from tablora.cli.database import open_db
from tablora.cli.errors import CliError
from tablora.cli.progress import Progress
from tablora.cli.readers import FORMATS_IN, Source, csv_rows, delimiter, input_format, json_rows
from tablora.cli.wording import count_of

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
        "--batch-size",
        type=positive,
        default=5000,
        metavar="N",
        help="rows per insert_temp call (default: 5000)",
    )
    parser.add_argument(
        "--no-progress", action="store_true", help="no progress bar, even on a terminal"
    )


def stage_rows(
    conn: Any,
    table: str,
    rows: Iterator[list[object]],
    batch_size: int,
    progress: Progress | None,
    source: Source,
) -> int:
    """Insert the rows in batches through insert_temp and commit once; all or nothing."""
    count = 0
    batch: list[list[object]] = []
    try:
        for row in rows:
            batch.append(row)
            if len(batch) >= batch_size:
                T.insert_temp(conn, table, batch, comm=False)
                count += len(batch)
                batch = []
                if progress is not None:
                    progress.update(count)
        if batch:
            T.insert_temp(conn, table, batch, comm=False)
            count += len(batch)
        conn.commit()
    except CliError as exc:
        conn.rollback()
        raise CliError(f"{exc}; nothing was staged") from None
    except UnicodeDecodeError as exc:
        conn.rollback()
        raise CliError(f"{source.undecodable(exc)}; nothing was staged") from None
    except BaseException:
        conn.rollback()
        raise
    if progress is not None:
        progress.update(count, force=True)
    return count


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args)
    try:
        require_table(conn, args.db, args.table)
        cols = columns_of(conn, args.table)
        source = Source(args.file, args.encoding)
        try:
            kind = input_format(args, source)
            text = source.text()
            if kind == "jsonl":
                rows = json_rows(text, source.label, cols)
            else:
                rows = csv_rows(
                    text,
                    source.label,
                    cols,
                    delimiter=delimiter(args, kind),
                    header=not args.no_header,
                    as_text=args.as_text,
                )
            progress = None
            if not args.no_progress and err.isatty():
                progress = Progress(err, f"staging {args.table}", source)
            started = time.perf_counter()
            try:
                count = stage_rows(conn, args.table, rows, args.batch_size, progress, source)
            finally:
                if progress is not None:
                    progress.finish()
            elapsed = time.perf_counter() - started
        finally:
            source.close()
        staged = count_rows(conn, staging_table(args.table))
    finally:
        conn.close()
    rate = count / elapsed if elapsed > 0 else 0.0
    out.write(
        f"staged {count_of(count, 'row')} from {source.label} into "
        f"{staging_table(args.table)} in {elapsed:.2f} s ({rate:,.0f} rows/s); "
        f"{count_of(staged, 'row')} staged now\n"
    )
