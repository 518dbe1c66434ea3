"""`tablora stage`: rows from a file into the staging table, all or nothing."""

from __future__ import annotations

import argparse
import time
from collections.abc import Iterator
from typing import Any, TextIO

from tablora import tablora as T
from tablora.cli.catalogue import columns_of, count_rows, require_table
from tablora.cli.database import open_db
from tablora.cli.errors import CliError
from tablora.cli.progress import Progress
from tablora.cli.readers import Source, csv_rows, input_format, json_rows


def stage_rows(
    conn: Any,
    table: str,
    rows: Iterator[list[object]],
    batch_size: int,
    progress: Progress | None,
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
        raise CliError(f"input is not UTF-8 text ({exc.reason}); nothing was staged") from None
    except BaseException:
        conn.rollback()
        raise
    if progress is not None:
        progress.update(count, force=True)
    return count


def cmd_stage(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args.db)
    try:
        require_table(conn, args.db, args.table)
        cols = columns_of(conn, args.table)
        source = Source(args.file)
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
                    delimiter="\t" if kind == "tsv" else ",",
                    header=not args.no_header,
                    as_text=args.as_text,
                )
            progress = None
            if not args.no_progress and err.isatty():
                progress = Progress(err, args.table, source)
            started = time.perf_counter()
            try:
                count = stage_rows(conn, args.table, rows, args.batch_size, progress)
            finally:
                if progress is not None:
                    progress.finish()
            elapsed = time.perf_counter() - started
        finally:
            source.close()
        staged = count_rows(conn, "temp_" + args.table)
    finally:
        conn.close()
    rate = count / elapsed if elapsed > 0 else 0.0
    out.write(
        f"staged {count:,} row{'s' if count != 1 else ''} from {source.label} into "
        f"temp_{args.table} in {elapsed:.2f} s ({rate:,.0f} rows/s); "
        f"{staged:,} rows staged now\n"
    )
