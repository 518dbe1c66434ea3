"""`tablora info`: the managed tables with columns, indexes, rules and row counts."""

from __future__ import annotations

import argparse
import json
from typing import Any, TextIO

from tablora.cli.arguments import add_database
from tablora.cli.catalogue import (
    columns_of,
    count_rows,
    registered_indexes,
    sql_index_name,
    sql_indexes,
    staging_table,
    unique_rules,
)
from tablora.cli.database import open_database
from tablora.cli.wording import count_of

HELP = "list the managed tables with columns, indexes, rules and row counts"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_database(parser)
    parser.add_argument("table", metavar="TABLE", nargs="?", help="show this table only")
    parser.add_argument(
        "--format", choices=("text", "json"), default="text", help="output format (default: text)"
    )


def describe(conn: Any, table: str) -> dict[str, Any]:
    built = sql_indexes(conn, table)
    return {
        "name": table,
        "columns": columns_of(conn, table),
        "indexes": [
            {"name": name, "cols": cols, "built": sql_index_name(table, name) in built}
            for name, cols in registered_indexes(conn, table)
        ],
        "unique": [
            {"name": rule.name, "cols": rule.columns, "col_num": rule.col_num}
            for rule in unique_rules(conn, table)
        ],
        "staged": count_rows(conn, staging_table(table)),
        "main": count_rows(conn, table),
    }


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    with open_database(args) as db:
        if args.table is not None:
            tables = [db[args.table].name]
        else:
            tables = db.table_names()
        described = [describe(db.conn, table) for table in tables]
    if args.format == "json":
        json.dump({"database": args.db, "tables": described}, out, indent=2, ensure_ascii=False)
        out.write("\n")
        return
    if not described:
        out.write(f"{args.db}: no managed tables\n")
        return
    out.write(f"{args.db}: {count_of(len(described), 'managed table')}\n")
    for entry in described:
        indexes = ", ".join(
            f"{index['name']} ({index['cols']})" + ("" if index["built"] else " [not built]")
            for index in entry["indexes"]
        )
        rules = ", ".join(f"{rule['name']} ({rule['cols']})" for rule in entry["unique"])
        out.write(
            f"\n{entry['name']}\n"
            f"  columns  {', '.join(entry['columns'])}\n"
            f"  indexes  {indexes or '-'}\n"
            f"  unique   {rules or '-'}\n"
            f"  rows     {entry['staged']:,} staged, {entry['main']:,} main\n"
        )
