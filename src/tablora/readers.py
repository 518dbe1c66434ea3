"""Reading rows from CSV, TSV or JSON Lines, by file or standard input: the readers of
`Table.stage_csv`, `Table.stage_json` and the command-line tool."""

from __future__ import annotations

import codecs
import csv
import io
import json
import math
import os
import re
import stat
import sys
from collections.abc import Callable, Iterator
from typing import IO, TextIO

from tablora.errors import InputError

# `json` is read as JSON Lines, as a .json file is.
FORMATS_IN = ("csv", "tsv", "jsonl", "json")
EXTENSIONS = {".csv": "csv", ".tsv": "tsv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl"}
DEFAULT_ENCODING = "utf-8-sig"  # UTF-8, skipping a byte-order mark
_INT = re.compile(r"-?(?:0|[1-9][0-9]*)\Z")
_DECIMAL = re.compile(r"-?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+(?=[eE]))(?:[eE][-+]?[0-9]+)?\Z")
_INT_RANGE = range(-(2**63), 2**63)
# Byte-order marks that name an encoding, the longer first (UTF-32 LE starts as UTF-16 LE does).
_BOMS = ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"),
         (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))  # fmt: skip


def fitting_encoding(head: bytes) -> str:
    """The encoding to suggest for input that starts with `head` and is not UTF-8: the one its
    byte-order mark names, else latin-1, which reads any bytes."""
    return next((name for bom, name in _BOMS if head.startswith(bom)), "latin-1")


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

    def __init__(self, path: str, encoding: str | None = None) -> None:
        self.path = path
        self.encoding = encoding or DEFAULT_ENCODING
        self.label = "<stdin>" if path == "-" else path
        if path == "-":
            binary: IO[bytes] = sys.stdin.buffer
        else:
            if os.path.isdir(path):
                raise InputError(f"{path} is a directory, not an input file")
            try:
                binary = open(path, "rb")  # noqa: SIM115 - closed in close()
            except FileNotFoundError:
                raise InputError(f"input file not found: {path}") from None
            except OSError as exc:
                raise InputError(f"cannot read {path}: {exc.strerror}") from None
        self.binary = binary
        self._owned = path != "-"
        self._fd: int | None = None
        self._head = b""  # the first bytes, once sniff() or text() has seen them
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
        self._head = head
        head = head.removeprefix(b"\xef\xbb\xbf").lstrip()
        return "jsonl" if head[:1] in (b"{", b"[") else "csv"

    def text(self) -> TextIO:
        peek = getattr(self.binary, "peek", None)
        if peek is not None and not self._head:  # for the hint, should it not decode
            self._head = peek(64)[:64]
        return io.TextIOWrapper(self.binary, encoding=self.encoding, newline="", errors="strict")

    def undecodable(self, exc: UnicodeDecodeError) -> InputError:
        """The error for input that is not text in the encoding, naming the line when the
        file can be read again from its start (the decoder reads ahead by a buffer)."""
        where, head = self.label, self._head
        if self._owned:
            with open(self.path, "rb") as again:
                head = again.read(64)
                again.seek(0)
                decoder = codecs.getincrementaldecoder(self.encoding)()
                lines = 1
                for raw in again if self._fd is not None else ():
                    try:
                        lines += decoder.decode(raw).count("\n")
                    except UnicodeDecodeError:
                        where = f"{self.label}:{lines}"
                        break
        name = "UTF-8" if self.encoding == DEFAULT_ENCODING else self.encoding
        return InputError(
            f"{where}: input is not {name} text ({exc.reason}); "
            f"name its encoding with --encoding, e.g. --encoding {fitting_encoding(head)}"
        )

    def close(self) -> None:
        if self._owned:
            self.binary.close()


def input_format(path: str, given: str | None, source: Source) -> str:
    """csv, tsv or jsonl: as `given` (json meaning JSON Lines), else by the extension of
    `path`, else sniffed from standard input ('-')."""
    if given is not None:
        return "jsonl" if given == "json" else given
    if path == "-":
        return source.sniff()
    extension = os.path.splitext(path)[1].lower()
    if extension not in EXTENSIONS:
        raise InputError(
            f"cannot tell the format of {path!r} from its extension; "
            f"pass --format {'|'.join(FORMATS_IN)}"
        )
    return EXTENSIONS[extension]


def delimiter(given: str | None, kind: str) -> str:
    if given is not None:
        return given
    return "\t" if kind == "tsv" else ","


def csv_columns(
    path: str, encoding: str | None, given_delimiter: str | None
) -> tuple[list[str], list[str]]:
    """The names in the first non-blank line of the CSV (or .tsv) file `path`, and the SQL
    type of each column as its fields show it (guess_types)."""
    source = Source(path, encoding)
    try:
        kind = "tsv" if path.lower().endswith(".tsv") else "csv"
        reader = csv.reader(source.text(), delimiter=delimiter(given_delimiter, kind), strict=True)
        for fields in reader:
            if fields:
                names = [field.strip() for field in fields]
                return names, guess_types(len(names), (row for row in reader if row))
    except UnicodeDecodeError as exc:
        raise source.undecodable(exc) from None
    except csv.Error as exc:
        raise InputError(f"{source.label}:{reader.line_num}: malformed CSV row: {exc}") from None
    finally:
        source.close()
    raise InputError(f"{source.label} has no header line")


class TypeGuess:
    """The SQL type of one column of a file, from every field read, as `infer` reads each:
    INTEGER while each non-blank field is an integer, REAL while each is a number, TEXT after
    any other field. A column with no non-blank field is TEXT."""

    def __init__(self) -> None:
        self.integer = self.real = True
        self.seen = False

    def add(self, field: str) -> None:
        if not field or not self.real:
            return
        self.seen = True
        value = infer(field)
        if isinstance(value, str):
            self.integer = self.real = False
        elif isinstance(value, float):
            self.integer = False

    @property
    def sql_type(self) -> str:
        if not self.seen or not self.real:
            return "TEXT"
        return "INTEGER" if self.integer else "REAL"


def guess_types(width: int, rows: Iterator[list[str]]) -> list[str]:
    """The SQL type of each of `width` columns of raw text rows."""
    guesses = [TypeGuess() for _ in range(width)]
    for fields in rows:
        for guess, field in zip(guesses, fields):
            guess.add(field)
    return [guess.sql_type for guess in guesses]


def header_order(header: list[str], cols: list[str], where: str) -> list[int]:
    """For each column in table order, its field position in the header, or -1."""
    lookup = {name.lower(): at for at, name in enumerate(cols)}
    order = [-1] * len(cols)
    for at, raw in enumerate(header):
        name = raw.strip()
        if name.lower() not in lookup:
            raise InputError(
                f"{where}: unknown column {name!r} in the header (columns: {', '.join(cols)}; "
                "use --no-header for a file without a header line)"
            )
        if order[lookup[name.lower()]] != -1:
            raise InputError(f"{where}: column {name!r} appears twice in the header")
        order[lookup[name.lower()]] = at
    return order


def csv_rows(
    text: TextIO,
    label: str,
    cols: list[str],
    *,
    delimiter: str,
    header: bool,
    as_text: bool,
    empty_as_null: bool = False,
) -> Iterator[list[object]]:
    """The rows of a CSV text in table column order; a header names the columns (any
    order, any subset, in any letter case). Fields are numbers where they write one unless
    `as_text`; an empty field is NULL with `empty_as_null`."""
    reader = csv.reader(text, delimiter=delimiter, strict=True)
    convert: Callable[[str], object] = (lambda field: field) if as_text else infer
    if empty_as_null:
        plain = convert
        convert = lambda field: plain(field) if field else None  # noqa: E731
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
                raise InputError(
                    f"{label}:{reader.line_num}: expected {width} field{'s' if width != 1 else ''}"
                    f"{'' if header else ' (' + ', '.join(cols) + ')'}, got {len(fields)}"
                )
            if identity:
                yield [convert(field) for field in fields]
            else:
                yield [None if at < 0 else convert(fields[at]) for at in order]
    except csv.Error as exc:
        raise InputError(f"{label}:{reader.line_num}: malformed CSV row: {exc}") from None


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
            raise InputError(f"{where}: invalid JSON: {exc.msg} (column {exc.colno})") from None
        if isinstance(value, dict):
            row: list[object] = [None] * len(cols)
            for key, item in value.items():
                if key.lower() not in lookup:
                    raise InputError(
                        f"{where}: unknown column {key!r} (columns: {', '.join(cols)})"
                    )
                row[lookup[key.lower()]] = item
        elif isinstance(value, list):
            if len(value) != len(cols):
                raise InputError(
                    f"{where}: expected {len(cols)} values ({', '.join(cols)}), got {len(value)}"
                )
            row = value
        else:
            raise InputError(
                f"{where}: expected a JSON object or array per line, got {type(value).__name__}"
            )
        for name, item in zip(cols, row):
            if not isinstance(item, _SCALARS):
                raise InputError(
                    f"{where}: value of {name!r} is a JSON {type(item).__name__}; "
                    "only strings, numbers, booleans and null can be stored"
                )
            if isinstance(item, int) and item not in _INT_RANGE:
                raise InputError(f"{where}: value of {name!r} does not fit in 64 bits")
        yield row

