"""`tablora find`: both tiers at once, printed as a table, CSV, JSON or JSON Lines."""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
from collections.abc import Iterator
from typing import Any, TextIO

from tablora.cli.arguments import add_database, positive
from tablora.cli.database import open_database
from tablora.cli.errors import CliError
from tablora.cli.names import split_list
from tablora.cli.wording import count_of
from tablora.row import Row

HELP = "query staged and main rows at once, the newest row of each key winning"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser)
    parser.add_argument("table", metavar="TABLE", help="managed table")
    parser.add_argument(
        "--select", default="*", metavar="COLS", help="columns joined by ',' (default: *)"
    )
    parser.add_argument("--where", metavar="SQL", help="SQL condition, spliced after WHERE")
    parser.add_argument("--order-by", metavar="SQL", help="SQL ordering, spliced after ORDER BY")
    parser.add_argument(
        "--limit", type=positive, metavar="N", help="print at most N rows (after --order-by)"
    )
    parser.add_argument(
        "--format",
        choices=("table", "csv", "json", "jsonl"),
        help="output format (default: table on a terminal, csv otherwise)",
    )


def _cell(value: object) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, bytes):
        return "x'" + value.hex() + "'"
    return str(value)


def write_table(out: TextIO, header: list[str], rows: list[list[Any]]) -> None:
    cells = [[_cell(value) for value in row] for row in rows]
    widths = [len(name) for name in header]
    numeric = [True] * len(header)
    for row, texts in zip(rows, cells):
        for at, (value, text) in enumerate(zip(row, texts)):
            widths[at] = max(widths[at], len(text))
            number = isinstance(value, (int, float)) and not isinstance(value, bool)
            if value is not None and not number:
                numeric[at] = False

    def line(texts: list[str]) -> str:
        return "  ".join(
            text.rjust(width) if right else text.ljust(width)
            for text, width, right in zip(texts, widths, numeric)
        ).rstrip()

    out.write(line(header) + "\n")
    out.write("  ".join("-" * width for width in widths) + "\n")
    for texts in cells:
        out.write(line(texts) + "\n")
    out.write(f"({count_of(len(rows), 'row')})\n")


def _json(row: dict[str, Any]) -> str:
    """A row as JSON, non-ASCII text written as it is (the output is UTF-8)."""
    return json.dumps(row, default=_json_value, ensure_ascii=False)


def _json_value(value: object) -> object:
    if isinstance(value, bytes):
        return value.hex()
    raise TypeError(f"cannot write {type(value).__name__} as JSON")


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    with open_database(args) as db:
        table = db[args.table]
        header = table.columns
        if args.select.strip() != "*":
            header = []
            for piece in split_list(args.select):
                try:
                    column = table.columns[table.position(piece, "--select")]
                except KeyError:
                    raise CliError(f"--select: unknown column {piece!r} "
                                   f"(columns: {', '.join(table.columns)})") from None  # fmt: skip
                if column in header:
                    raise CliError(f"--select: column {piece!r} is selected twice")
                header.append(column)
        # ORDER BY and LIMIT apply to the newest-wins rows of both tiers together.
        rows = table.rows_where(args.where or None, select=header, order_by=args.order_by or None,
                                limit=args.limit)  # fmt: skip
        with contextlib.closing(rows):  # ended before the connection, when the reader goes away
            write_rows(out, args.format or ("table" if out.isatty() else "csv"), header, rows)


def write_rows(out: TextIO, kind: str, header: list[str], rows: Iterator[Row]) -> None:
    """The rows in the output format `kind`; all but the aligned table are streamed."""
    if kind == "table":
        write_table(out, header, [list(row) for row in rows])
    elif kind == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(["" if v is None else v for v in row] for row in rows)
    elif kind == "jsonl":
        for row in rows:
            out.write(_json(dict(zip(header, row))) + "\n")
    else:
        out.write("[")
        for at, row in enumerate(rows):
            text = _json(dict(zip(header, row)))
            out.write(("," if at else "") + "\n" + text)
        out.write("\n]\n")
