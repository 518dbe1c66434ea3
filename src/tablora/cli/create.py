"""`tablora create`: a managed table, checked in full before the database is touched."""

from __future__ import annotations

import argparse
from typing import TextIO

from tablora import tablora as T
from tablora.cli.arguments import add_csv_options, add_database
from tablora.cli.catalogue import staging_table, table_names
from tablora.cli.database import open_db
from tablora.cli.errors import CliError
from tablora.cli.names import check_identifier, split_list
from tablora.cli.readers import csv_header
from tablora.cli.wording import count_of

HELP = "create a managed table (main and staging) with indexes and unique rules"
CATALOGUE_TABLES = ("index_table", "unique_table")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser, "; a missing local file is created")
    parser.add_argument("table", metavar="TABLE", help="name of the new table")
    columns = parser.add_mutually_exclusive_group(required=True)
    columns.add_argument("--cols", metavar="COLS", help="column names joined by ',', e.g. name,age")
    columns.add_argument(
        "--from-csv",
        metavar="FILE",
        help="take the column names from the header line of a CSV (or .tsv) file",
    )
    add_csv_options(parser)
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
        raise CliError(f"{option} expects NAME=VALUE, got {given!r}")
    return check_identifier(name.strip(), f"{option[2:]} name"), value


def _columns(args: argparse.Namespace) -> list[str]:
    if args.from_csv is None:
        given, where = split_list(args.cols), "--cols"
    else:
        given, where = csv_header(args), f"the header of {args.from_csv}"
    cols = [check_identifier(name, "column name") for name in given]
    lowered = [name.lower() for name in cols]
    for name in cols:
        if lowered.count(name.lower()) > 1:
            raise CliError(f"column {name!r} is listed twice in {where}")
    return cols


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    table = check_identifier(args.table, "table name")
    if table in CATALOGUE_TABLES or table.lower().startswith("sqlite_"):
        raise CliError(f"{table!r} is reserved; choose another table name")
    cols = _columns(args)
    position = {name.lower(): at for at, name in enumerate(cols)}

    def column(name: str, option: str) -> str:
        if name.lower() not in position:
            raise CliError(f"{option}: unknown column {name!r} (columns: {', '.join(cols)})")
        return cols[position[name.lower()]]

    names: set[str] = set()

    def claim(name: str) -> None:
        if name.lower() in names:
            raise CliError(f"index/rule name {name!r} is used twice")
        names.add(name.lower())

    index: list[T.IndexEntry] = []
    for given in args.index:
        name, value = _named(given, "--index")
        claim(name)
        index.append(
            {"name": name, "cols": ",".join(column(c, "--index") for c in split_list(value))}
        )
    unique: list[T.UniqueEntry] = []
    for given in args.unique:
        name, value = _named(given, "--unique")
        claim(name)
        positions = []
        for piece in split_list(value):
            if piece.isdigit():
                if int(piece) >= len(cols):
                    raise CliError(
                        f"--unique {name}: position {piece} is past the last column "
                        f"(positions 0 to {len(cols) - 1})"
                    )
                positions.append(int(piece))
            else:
                positions.append(position[column(piece, "--unique").lower()])
        unique.append({"name": name, "cols": positions})

    conn = open_db(args, create=True)
    try:
        existing = table_names(conn)
        clash = [name for name in (table, staging_table(table)) if name in existing]
        if clash and not args.replace:
            raise CliError(
                f"table {clash[0]!r} already exists in {args.db}; "
                "pass --replace to drop it with its rows, indexes and rules"
            )
        T.create_table(conn, table, cols, index, unique)
    finally:
        conn.close()
    out.write(
        f"created {table} ({', '.join(cols)}) and its staging table {staging_table(table)}: "
        f"{count_of(len(index), 'index', 'indexes')}, {count_of(len(unique), 'unique rule')}\n"
    )
