"""The tool's command line: one subcommand per command, usage errors as one line."""

from __future__ import annotations

import argparse
from typing import NoReturn

from tablora.cli.create import cmd_create
from tablora.cli.find import cmd_find
from tablora.cli.info import cmd_info
from tablora.cli.merge import cmd_merge
from tablora.cli.readers import FORMATS_IN
from tablora.cli.stage import cmd_stage

PROG = "tablora"

EXAMPLES = """\
examples:
  tablora create homes.db homes --cols name,type,address,age \\
      --index index_0=name,type,address --unique unique_0=0,1 --unique unique_1=address
  tablora stage homes.db homes homes.csv
  tablora merge homes.db homes
  tablora find homes.db homes --select name,age --where "age > 30"
  tablora info homes.db
"""


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line on stderr."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole tool, one subparser per command."""
    parser = _Parser(
        prog=PROG,
        description="Two-tier tables over SQLite: stage rows fast, merge them under "
        "newest-wins unique rules, query both tiers at once.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action=_VersionAction, nargs=0, help="print the version and exit"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = commands.add_parser(
        "info", help="list the managed tables with columns, indexes, rules and row counts"
    )
    _database(info)
    info.add_argument("table", metavar="TABLE", nargs="?", help="show this table only")
    info.add_argument(
        "--format", choices=("text", "json"), default="text", help="output format (default: text)"
    )
    info.set_defaults(run=cmd_info)

    create = commands.add_parser(
        "create", help="create a managed table (main and staging) with indexes and unique rules"
    )
    _database(create, "; a missing local file is created")
    create.add_argument("table", metavar="TABLE", help="name of the new table")
    create.add_argument(
        "--cols", required=True, metavar="COLS", help="column names joined by ',', e.g. name,age"
    )
    create.add_argument(
        "--index",
        action="append",
        default=[],
        metavar="NAME=COLS",
        help="register an index over columns joined by ',' (repeatable)",
    )
    create.add_argument(
        "--unique",
        action="append",
        default=[],
        metavar="NAME=POSITIONS",
        help="add a unique rule over zero-based column positions (or names) joined by ',' "
        "(repeatable)",
    )
    create.add_argument(
        "--replace",
        action="store_true",
        help="drop an existing table of that name, with its rows, indexes and rules",
    )
    create.set_defaults(run=cmd_create)

    stage = commands.add_parser("stage", help="load CSV or JSON Lines rows into the staging table")
    _database(stage)
    stage.add_argument("table", metavar="TABLE", help="managed table")
    stage.add_argument("file", metavar="FILE", help="input file, or '-' for standard input")
    stage.add_argument(
        "--format",
        choices=FORMATS_IN,
        help="input format (default: from the file's extension; sniffed for '-')",
    )
    stage.add_argument(
        "--no-header",
        action="store_true",
        help="CSV/TSV has no header line: fields are in table column order",
    )
    stage.add_argument(
        "--as-text",
        action="store_true",
        help="keep every CSV/TSV field as text (default: integers and decimals become numbers)",
    )
    stage.add_argument(
        "--batch-size",
        type=_positive,
        default=5000,
        metavar="N",
        help="rows per insert_temp call (default: 5000)",
    )
    stage.add_argument(
        "--no-progress", action="store_true", help="no progress bar, even on a terminal"
    )
    stage.set_defaults(run=cmd_stage)

    merge = commands.add_parser(
        "merge", help="move the staged rows into the main table under the unique rules"
    )
    _database(merge)
    merge.add_argument("table", metavar="TABLE", help="managed table")
    merge.set_defaults(run=cmd_merge)

    find = commands.add_parser(
        "find", help="query staged and main rows at once, the newest row of each key winning"
    )
    _database(find)
    find.add_argument("table", metavar="TABLE", help="managed table")
    find.add_argument(
        "--select", default="*", metavar="COLS", help="columns joined by ',' (default: *)"
    )
    find.add_argument("--where", metavar="SQL", help="SQL condition, spliced after WHERE")
    find.add_argument("--order-by", metavar="SQL", help="SQL ordering, spliced after ORDER BY")
    find.add_argument(
        "--limit", type=_positive, metavar="N", help="print at most N of the rows found"
    )
    find.add_argument(
        "--format",
        choices=("table", "csv", "json", "jsonl"),
        help="output format (default: table on a terminal, csv otherwise)",
    )
    find.set_defaults(run=cmd_find)
    return parser


def _database(command: argparse.ArgumentParser, more: str = "") -> None:
    command.add_argument(
        "db",
        metavar="DB",
        help="database: a file path, a file: URI or a target such as dqlite://host:port/db" + more,
    )


class _VersionAction(argparse.Action):
    """--version, looking the version up only when asked."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        try:
            from importlib.metadata import version

            text = version("tablora")
        except Exception:
            text = "unknown"
        print(f"{parser.prog} {text}")
        parser.exit(0)
