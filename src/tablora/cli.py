"""The tablora command-line tool: info, create, stage, merge and find.

Every subcommand opens the database through a `DB` handle and works with the
library's own functions; the tool adds input parsing, checks that turn bad
input into one-line messages, counts, timing and output formatting.
Only the standard library is used.
"""

from __future__ import annotations

import argparse
import csv
import io
import itertools
import json
import math
import os
import re
import sqlite3
import stat
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, NoReturn, TextIO

from tablora import tablora as T

PROG = "tablora"
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
CATALOGUE_TABLES = ("index_table", "unique_table")
FORMATS_IN = ("csv", "tsv", "jsonl")
EXTENSIONS = {".csv": "csv", ".tsv": "tsv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl"}

EXAMPLES = """\
examples:
  tablora create homes.db homes --cols name,type,address,age \\
      --index index_0=name,type,address --unique unique_0=0,1 --unique unique_1=address
  tablora stage homes.db homes homes.csv
  tablora merge homes.db homes
  tablora find homes.db homes --select name,age --where "age > 30"
  tablora info homes.db
"""

_handles = itertools.count()


class CliError(Exception):
    """Bad input or a state the command cannot work with: one line for the user."""


# ---- argument parsing ---------------------------------------------------------------


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
    info.add_argument("db", metavar="DB", help="database file")
    info.add_argument("table", metavar="TABLE", nargs="?", help="show this table only")
    info.add_argument(
        "--format", choices=("text", "json"), default="text", help="output format (default: text)"
    )
    info.set_defaults(run=cmd_info)

    create = commands.add_parser(
        "create", help="create a managed table (main and staging) with indexes and unique rules"
    )
    create.add_argument("db", metavar="DB", help="database file (created when missing)")
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
    stage.add_argument("db", metavar="DB", help="database file")
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
    merge.add_argument("db", metavar="DB", help="database file")
    merge.add_argument("table", metavar="TABLE", help="managed table")
    merge.set_defaults(run=cmd_merge)

    find = commands.add_parser(
        "find", help="query staged and main rows at once, the newest row of each key winning"
    )
    find.add_argument("db", metavar="DB", help="database file")
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


# ---- database helpers ---------------------------------------------------------------


def quote(name: str) -> str:
    """An SQL identifier in double quotes."""
    return '"' + name.replace('"', '""') + '"'


def open_db(path: str, *, create: bool = False) -> sqlite3.Connection:
    """A connection from a fresh DB handle; the file must exist unless `create`."""
    if os.path.isdir(path):
        raise CliError(f"{path} is a directory, not a database file")
    if not create and not os.path.exists(path):
        raise CliError(f"database not found: {path}")
    try:
        handle = T.DB(f"tablora-cli-{next(_handles)}", path)
        return handle.connection()
    except sqlite3.Error as exc:
        raise CliError(f"cannot open {path} as an SQLite database: {exc}") from None


def table_names(conn: sqlite3.Connection) -> set[str]:
    return {
        name for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
    }


def managed_tables(conn: sqlite3.Connection) -> list[str]:
    """Tables that have a staging twin temp_<name>."""
    names = table_names(conn)
    return sorted(name for name in names if "temp_" + name in names)


def require_table(conn: sqlite3.Connection, db: str, table: str) -> None:
    managed = managed_tables(conn)
    if table in managed:
        return
    known = f"managed tables: {', '.join(managed)}" if managed else "it has no managed tables"
    raise CliError(f"unknown table {table!r} in {db} ({known})")


def columns_of(conn: sqlite3.Connection, table: str) -> list[str]:
    return [str(row[1]) for row in conn.execute(f"PRAGMA table_info({quote(table)})")]


def count_rows(conn: sqlite3.Connection, table: str) -> int:
    (count,) = conn.execute(f"SELECT count(*) FROM {quote(table)}").fetchone()
    return int(count)


@dataclass
class Rule:
    name: str
    columns: str
    positions: list[int]


def unique_rules(conn: sqlite3.Connection, table: str) -> list[Rule]:
    rules = []
    for name, columns, col_num in conn.execute(
        "SELECT unique_name, columns, col_num FROM unique_table WHERE table_name = ?", (table,)
    ):
        try:
            positions = [int(piece) for piece in str(col_num).split(",")]
        except ValueError:
            raise CliError(
                f"unique rule {name!r} of {table!r} has unreadable column positions {col_num!r}"
            ) from None
        rules.append(Rule(str(name), str(columns), positions))
    return rules


def registered_indexes(conn: sqlite3.Connection, table: str) -> list[tuple[str, str]]:
    return [
        (str(name), str(columns))
        for name, columns in conn.execute(
            "SELECT index_name, columns FROM index_table WHERE table_name = ?", (table,)
        )
    ]


def sql_indexes(conn: sqlite3.Connection, table: str) -> set[str]:
    return {
        name
        for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (table,)
        )
    }


def check_identifier(name: str, what: str) -> str:
    if not IDENTIFIER.match(name):
        raise CliError(
            f"invalid {what} {name!r}: use letters, digits and '_', not starting with a digit"
        )
    return name


def split_list(text: str) -> list[str]:
    return [piece.strip() for piece in text.split(",")]


# ---- info ---------------------------------------------------------------------------


def describe(conn: sqlite3.Connection, table: str) -> dict[str, Any]:
    columns = columns_of(conn, table)
    built = sql_indexes(conn, table)
    return {
        "name": table,
        "columns": columns,
        "indexes": [
            {"name": name, "cols": cols, "built": f"{table}_{name}" in built}
            for name, cols in registered_indexes(conn, table)
        ],
        "unique": [
            {"name": rule.name, "cols": rule.columns, "positions": rule.positions}
            for rule in unique_rules(conn, table)
        ],
        "staged": count_rows(conn, "temp_" + table),
        "main": count_rows(conn, table),
    }


def cmd_info(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args.db)
    try:
        if args.table is not None:
            require_table(conn, args.db, args.table)
            tables = [args.table]
        else:
            tables = managed_tables(conn)
        described = [describe(conn, table) for table in tables]
    finally:
        conn.close()
    if args.format == "json":
        json.dump({"database": args.db, "tables": described}, out, indent=2)
        out.write("\n")
        return
    if not described:
        out.write(f"{args.db}: no managed tables\n")
        return
    out.write(f"{args.db}: {len(described)} managed table{'s' if len(described) != 1 else ''}\n")
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


# ---- create -------------------------------------------------------------------------


def _named(given: str, option: str) -> tuple[str, str]:
    name, sep, value = given.partition("=")
    if not sep or not name.strip() or not value.strip():
        raise CliError(f"{option} expects NAME=VALUE, got {given!r}")
    return check_identifier(name.strip(), f"{option[2:]} name"), value


def cmd_create(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    table = check_identifier(args.table, "table name")
    if table in CATALOGUE_TABLES or table.lower().startswith("sqlite_"):
        raise CliError(f"{table!r} is reserved; choose another table name")
    cols = [check_identifier(name, "column name") for name in split_list(args.cols)]
    lowered = [name.lower() for name in cols]
    for name in cols:
        if lowered.count(name.lower()) > 1:
            raise CliError(f"column {name!r} is listed twice in --cols")
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

    conn = open_db(args.db, create=True)
    try:
        existing = table_names(conn)
        clash = [name for name in (table, "temp_" + table) if name in existing]
        if clash and not args.replace:
            raise CliError(
                f"table {clash[0]!r} already exists in {args.db}; "
                "pass --replace to drop it with its rows, indexes and rules"
            )
        T.create_table(conn, table, cols, index, unique)
    finally:
        conn.close()
    out.write(
        f"created {table} ({', '.join(cols)}) and its staging table temp_{table}: "
        f"{len(index)} index{'es' if len(index) != 1 else ''}, "
        f"{len(unique)} unique rule{'s' if len(unique) != 1 else ''}\n"
    )


# ---- stage: input readers -----------------------------------------------------------

_INT = re.compile(r"-?(?:0|[1-9][0-9]*)\Z")
_DECIMAL = re.compile(r"-?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+(?=[eE]))(?:[eE][-+]?[0-9]+)?\Z")
_INT_RANGE = range(-(2**63), 2**63)


def infer(field: str) -> object:
    """An integer or decimal literal as a number; any other field as it is."""
    if not field or not (field[0].isdigit() or field[0] in "-."):
        return field
    if _INT.match(field):
        number = int(field)
        return number if number in _INT_RANGE else field
    if _DECIMAL.match(field):
        real = float(field)
        return real if math.isfinite(real) else field
    return field


class Source:
    """Where the rows come from: a path or standard input, with the byte progress."""

    def __init__(self, path: str) -> None:
        self.label = "<stdin>" if path == "-" else path
        if path == "-":
            binary: IO[bytes] = sys.stdin.buffer
        else:
            if os.path.isdir(path):
                raise CliError(f"{path} is a directory, not an input file")
            try:
                binary = open(path, "rb")  # noqa: SIM115 - closed in close()
            except FileNotFoundError:
                raise CliError(f"input file not found: {path}") from None
            except OSError as exc:
                raise CliError(f"cannot read {path}: {exc.strerror}") from None
        self.binary = binary
        self._owned = path != "-"
        self._fd: int | None = None
        self.total: int | None = None
        try:
            fd = binary.fileno()
            info = os.fstat(fd)
            if stat.S_ISREG(info.st_mode):
                self._fd, self.total = fd, info.st_size
        except (OSError, ValueError, io.UnsupportedOperation):
            pass

    def position(self) -> int | None:
        """Bytes read so far (ahead by one buffer), when the input is a regular file."""
        if self._fd is None:
            return None
        try:
            return os.lseek(self._fd, 0, os.SEEK_CUR)
        except OSError:
            return None

    def sniff(self) -> str:
        """'jsonl' when the first non-blank character opens a JSON value, else 'csv'."""
        peek = getattr(self.binary, "peek", None)
        head: bytes = peek(64) if peek is not None else b""
        head = head.removeprefix(b"\xef\xbb\xbf").lstrip()
        return "jsonl" if head[:1] in (b"{", b"[") else "csv"

    def text(self) -> TextIO:
        return io.TextIOWrapper(self.binary, encoding="utf-8-sig", newline="", errors="strict")

    def close(self) -> None:
        if self._owned:
            self.binary.close()


def input_format(args: argparse.Namespace, source: Source) -> str:
    if args.format is not None:
        return str(args.format)
    if args.file == "-":
        return source.sniff()
    extension = os.path.splitext(args.file)[1].lower()
    if extension not in EXTENSIONS:
        raise CliError(
            f"cannot tell the format of {args.file!r} from its extension; "
            f"pass --format {'|'.join(FORMATS_IN)}"
        )
    return EXTENSIONS[extension]


def header_order(header: list[str], cols: list[str], where: str) -> list[int]:
    """For each column in table order, its field position in the header, or -1."""
    lookup = {name.lower(): at for at, name in enumerate(cols)}
    order = [-1] * len(cols)
    for at, raw in enumerate(header):
        name = raw.strip()
        if name.lower() not in lookup:
            raise CliError(
                f"{where}: unknown column {name!r} in the header (columns: {', '.join(cols)}; "
                "use --no-header for a file without a header line)"
            )
        if order[lookup[name.lower()]] != -1:
            raise CliError(f"{where}: column {name!r} appears twice in the header")
        order[lookup[name.lower()]] = at
    return order


def csv_rows(
    text: TextIO, label: str, cols: list[str], *, delimiter: str, header: bool, as_text: bool
) -> Iterator[list[object]]:
    reader = csv.reader(text, delimiter=delimiter, strict=True)
    convert: Callable[[str], object] = (lambda field: field) if as_text else infer
    try:
        order = list(range(len(cols)))
        width = len(cols)
        if header:
            first = next(reader, None)
            while first == []:
                first = next(reader, None)
            if first is None:
                return
            order = header_order(first, cols, f"{label}:{reader.line_num}")
            width = len(first)
        identity = order == list(range(width)) and width == len(cols)
        for fields in reader:
            if not fields:
                continue
            if len(fields) != width:
                raise CliError(
                    f"{label}:{reader.line_num}: expected {width} field{'s' if width != 1 else ''}"
                    f"{'' if header else ' (' + ', '.join(cols) + ')'}, got {len(fields)}"
                )
            if identity:
                yield [convert(field) for field in fields]
            else:
                yield [None if at < 0 else convert(fields[at]) for at in order]
    except csv.Error as exc:
        raise CliError(f"{label}:{reader.line_num}: malformed CSV row: {exc}") from None


_SCALARS = (str, int, float, bool, type(None))


def json_rows(text: TextIO, label: str, cols: list[str]) -> Iterator[list[object]]:
    lookup = {name.lower(): at for at, name in enumerate(cols)}
    for number, line in enumerate(text, 1):
        if not line.strip():
            continue
        where = f"{label}:{number}"
        try:
            value = json.loads(line.rstrip("\r\n"))
        except json.JSONDecodeError as exc:
            raise CliError(f"{where}: invalid JSON: {exc.msg} (column {exc.colno})") from None
        if isinstance(value, dict):
            row: list[object] = [None] * len(cols)
            for key, item in value.items():
                if key.lower() not in lookup:
                    raise CliError(
                        f"{where}: unknown column {key!r} (columns: {', '.join(cols)})"
                    )
                row[lookup[key.lower()]] = item
        elif isinstance(value, list):
            if len(value) != len(cols):
                raise CliError(
                    f"{where}: expected {len(cols)} values ({', '.join(cols)}), got {len(value)}"
                )
            row = value
        else:
            raise CliError(
                f"{where}: expected a JSON object or array per line, got {type(value).__name__}"
            )
        for name, item in zip(cols, row):
            if not isinstance(item, _SCALARS):
                raise CliError(
                    f"{where}: value of {name!r} is a JSON {type(item).__name__}; "
                    "only strings, numbers, booleans and null can be stored"
                )
            if isinstance(item, int) and item not in _INT_RANGE:
                raise CliError(f"{where}: value of {name!r} does not fit in 64 bits")
        yield row


# ---- stage: progress ----------------------------------------------------------------


class Progress:
    """A one-line progress bar on a terminal: done share, rows and rows per second."""

    INTERVAL = 0.1

    def __init__(self, stream: TextIO, label: str, source: Source) -> None:
        self.stream = stream
        self.label = label
        self.source = source
        self.start = time.perf_counter()
        self.last = 0.0
        encoding = (getattr(stream, "encoding", None) or "ascii").lower()
        self.cells = ("█", "░") if encoding.startswith("utf") else ("#", "-")

    def update(self, rows: int, *, force: bool = False) -> None:
        now = time.perf_counter()
        if not force and now - self.last < self.INTERVAL:
            return
        self.last = now
        elapsed = max(now - self.start, 1e-9)
        figures = [f"{rows:,} rows", f"{rows / elapsed:,.0f} rows/s"]
        share = None
        position, total = self.source.position(), self.source.total
        if position is not None and total:
            share = min(position / total, 1.0)
            figures.insert(0, f"{share:4.0%}")
            if share > 0.01:
                left = int(elapsed * (1 - share) / share)
                figures.append(f"eta {left // 60}:{left % 60:02d}")
        label = f"staging {self.label}"
        width = self._columns() - 1
        line = "  ".join([label, *figures])
        if share is not None:
            cells = min(30, width - len(line) - 4)  # the bar and its brackets, in the room left
            if cells >= 10:
                filled = int(share * cells)
                bar = "[" + self.cells[0] * filled + self.cells[1] * (cells - filled) + "]"
                line = "  ".join([label, bar, *figures])
        self.stream.write("\r" + line[:width] + "\x1b[K")
        self.stream.flush()

    def _columns(self) -> int:
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (OSError, ValueError, io.UnsupportedOperation):
            columns = 0
        return columns if columns >= 20 else 80

    def finish(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()


def stage_rows(
    conn: sqlite3.Connection,
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


# ---- merge --------------------------------------------------------------------------


def replaced_rows(conn: sqlite3.Connection, table: str, cols: list[str]) -> int:
    """Main rows that share the values of some unique rule with a staged row.

    These are the rows the merge deletes: it finds them with the same joins.
    """
    selects = []
    for rule in unique_rules(conn, table):
        try:
            names = [cols[at] for at in rule.positions]
        except IndexError:
            raise CliError(
                f"unique rule {rule.name!r} of {table!r} names a column position "
                f"past the last column ({rule.positions})"
            ) from None
        on = " AND ".join(f"m.{quote(name)} = s.{quote(name)}" for name in names)
        selects.append(
            f"SELECT m.rowid AS id FROM {quote('temp_' + table)} AS s "
            f"JOIN {quote(table)} AS m ON {on}"
        )
    if not selects:
        return 0
    # A main row may match several staged rows, under several rules: count it once.
    union = " UNION ALL ".join(selects)
    (count,) = conn.execute(f"SELECT count(DISTINCT id) FROM ({union})").fetchone()
    return int(count)


def cmd_merge(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args.db)
    try:
        require_table(conn, args.db, args.table)
        cols = columns_of(conn, args.table)
        staged = count_rows(conn, "temp_" + args.table)
        before = count_rows(conn, args.table)
        replaced = replaced_rows(conn, args.table, cols) if staged else 0
        started = time.perf_counter()
        try:
            T.temp_to_main(conn, args.table)
        except BaseException:
            conn.rollback()
            raise
        elapsed = time.perf_counter() - started
        after = count_rows(conn, args.table)
    finally:
        conn.close()
    inserted = after - before + replaced
    left_out = staged - inserted
    out.write(
        f"merged {args.table} in {elapsed:.2f} s: {staged:,} staged, {inserted:,} inserted, "
        f"{replaced:,} replaced, {left_out:,} left out (older duplicates); "
        f"{after:,} rows in {args.table}\n"
    )


# ---- find ---------------------------------------------------------------------------


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
    out.write(f"({len(rows):,} row{'s' if len(rows) != 1 else ''})\n")


def _json_value(value: object) -> object:
    if isinstance(value, bytes):
        return value.hex()
    raise TypeError(f"cannot write {type(value).__name__} as JSON")


def cmd_find(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    conn = open_db(args.db)
    try:
        require_table(conn, args.db, args.table)
        cols = columns_of(conn, args.table)
        if args.select.strip() == "*":
            select, header = "*", cols
        else:
            lookup = {name.lower(): name for name in cols}
            header = []
            for piece in split_list(args.select):
                if piece.lower() not in lookup:
                    raise CliError(
                        f"--select: unknown column {piece!r} (columns: {', '.join(cols)})"
                    )
                if lookup[piece.lower()] in header:
                    raise CliError(f"--select: column {piece!r} is selected twice")
                header.append(lookup[piece.lower()])
            select = ",".join(header)
        conditions = ""
        if args.where:
            conditions += f"WHERE {args.where}"
        if args.order_by:
            conditions += f" ORDER BY {args.order_by}"
        rows = T.find(conn, select, args.table, conditions.strip())
    finally:
        conn.close()
    if args.limit is not None:
        rows = rows[: args.limit]
    kind = args.format or ("table" if out.isatty() else "csv")
    if kind == "table":
        write_table(out, header, rows)
    elif kind == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        writer.writerows([["" if v is None else v for v in row] for row in rows])
    elif kind == "jsonl":
        for row in rows:
            out.write(json.dumps(dict(zip(header, row)), default=_json_value) + "\n")
    else:
        out.write("[")
        for at, row in enumerate(rows):
            text = json.dumps(dict(zip(header, row)), default=_json_value)
            out.write(("," if at else "") + "\n" + text)
        out.write("\n]\n")


# ---- entry point --------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Run the tool; returns the exit status (0 success, 1 bad input, 2 bad usage)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    out, err = sys.stdout, sys.stderr
    command: Callable[[argparse.Namespace, TextIO, TextIO], None] = args.run
    try:
        command(args, out, err)
        out.flush()
    except CliError as exc:
        err.write(f"{PROG}: error: {exc}\n")
        return 1
    except sqlite3.Error as exc:
        err.write(f"{PROG}: error: SQLite: {exc}\n")
        return 1
    except ValueError as exc:
        err.write(f"{PROG}: error: {exc}\n")
        return 1
    except KeyboardInterrupt:
        err.write(f"\n{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (`tablora find ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as exc:  # never a traceback for the user
        if os.environ.get("TABLORA_TRACEBACK"):
            raise
        err.write(f"{PROG}: internal error: {type(exc).__name__}: {exc}\n")
        return 70
    return 0
