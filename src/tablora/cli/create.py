"""`tablora create`: a managed table through `Database.create_table`; a `create` that fails
leaves no new database file behind."""

from __future__ import annotations

import argparse
from typing import TextIO

from tablora.cli.arguments import add_csv_options, add_database
from tablora.cli.catalogue import staging_table
from tablora.cli.database import open_database
from tablora.cli.errors import CliError
from tablora.cli.names import split_list
from tablora.cli.wording import count_of
from tablora.column_types import type_word
from tablora.errors import TableExistsError
from tablora.readers import csv_columns

HELP = "create a managed table (main and staging) with indexes and unique rules"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser, "; a missing local file is created")
    parser.add_argument("table", metavar="TABLE", help="name of the new table")
    columns = parser.add_mutually_exclusive_group(required=True)
    columns.add_argument(
        "--cols", metavar="COLS", help="column names joined by ',', e.g. name,age (untyped)"
    )
    columns.add_argument(
        "--from-csv",
        metavar="FILE",
        help="take the column names from the header line of a CSV (or .tsv) file, and each "
        "column's type from its fields: int, else float, else text",
    )
    add_csv_options(parser)
    parser.add_argument(
        "--type",
        action="append",
        default=[],
        metavar="COL=TYPE",
        help="declare a column's type: int, float, text or blob; overrides --from-csv's "
        "(repeatable)",
    )
    parser.add_argument(
        "--index",
        action="append",
        default=[],
        metavar="NAME=COLS",
        help="register an index over columns joined by ',' (repeatable)",
    )
    parser.add_argument(
        "--unique",
        action="append",
        default=[],
        metavar="NAME=POSITIONS",
        help="add a unique rule over zero-based column positions (or names) joined by ',' "
        "(repeatable)",
    )
    parser.add_argument(
        "--replace",
        action="store_true",
        help="drop an existing table of that name, with its rows, indexes and rules",
    )


def _named(given: str, option: str) -> tuple[str, str]:
    name, sep, value = given.partition("=")
    if not sep or not name.strip() or not value.strip():
        raise CliError(f"{option} expects {'COL=TYPE' if option == '--type' else 'NAME=VALUE'}, "
                       f"got {given!r}")  # fmt: skip
    return name.strip(), value


def _columns(args: argparse.Namespace) -> dict[str, str | None]:
    """Column name -> SQL type (None: untyped), from --cols or the CSV file and --type."""
    if args.from_csv is None:
        columns: dict[str, str | None] = {}
        for name in split_list(args.cols):
            if name in columns:
                raise CliError(f"column {name!r} is listed twice in --cols")
            columns[name] = None
    else:
        names, types = csv_columns(args.from_csv, args.encoding, args.delimiter)
        columns = dict(zip(names, types))
        if len(columns) < len(names):
            twice = next(name for name in names if names.count(name) > 1)
            raise CliError(f"column {twice!r} is listed twice in the header of {args.from_csv}")
    by_folded = {name.lower(): name for name in columns}
    for given in args.type:
        name, word = _named(given, "--type")
        if name.lower() not in by_folded:
            raise CliError(f"--type: unknown column {name!r} (columns: {', '.join(columns)})")
        columns[by_folded[name.lower()]] = type_word(name, word)
    return columns


def _positions(value: str, cols: list[str]) -> list[str]:
    """A --unique value's columns: zero-based positions or names, as column names."""
    named = []
    for piece in split_list(value):
        if piece.isdigit():
            if int(piece) >= len(cols):
                raise CliError(f"position {piece} is past the last column "
                               f"(positions 0 to {len(cols) - 1})")  # fmt: skip
            named.append(cols[int(piece)])
        else:
            named.append(piece)
    return named


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    columns = _columns(args)
    cols = list(columns)
    indexes = {}
    for given in args.index:
        name, value = _named(given, "--index")
        indexes[name] = split_list(value)
    unique = {}
    for given in args.unique:
        name, value = _named(given, "--unique")
        try:
            unique[name] = _positions(value, cols)
        except CliError as exc:
            raise CliError(f"--unique {name}: {exc}") from None
    definition = (
        cols if all(kind is None for kind in columns.values())
        else columns
    )  # fmt: skip
    with open_database(args, create=True) as db:
        try:
            db.create_table(args.table, definition, unique=unique, indexes=indexes,
                            replace=args.replace)  # fmt: skip
        except TableExistsError as exc:  # point to the option that overrides the refusal
            raise CliError(str(exc).replace("replace=True", "--replace")) from None
    out.write(
        f"created {args.table} ({', '.join(cols)}) and its staging table "
        f"{staging_table(args.table)}: "
        f"{count_of(len(indexes), 'index', 'indexes')}, {count_of(len(unique), 'unique rule')}\n"
    )
