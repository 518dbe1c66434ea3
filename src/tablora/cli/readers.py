"""`tablora stage`: reading rows from CSV, TSV or JSON Lines, by file or standard input."""

from __future__ import annotations

import argparse
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

from tablora.cli.errors import CliError

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

    def undecodable(self, exc: UnicodeDecodeError) -> CliError:
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
        return CliError(
            f"{where}: input is not {name} text ({exc.reason}); "
            f"name its encoding with --encoding, e.g. --encoding {fitting_encoding(head)}"
        )

    def close(self) -> None:
        if self._owned:
            self.binary.close()


def input_format(args: argparse.Namespace, source: Source) -> str:
    """csv, tsv or jsonl."""
    if args.format is not None:
        return "jsonl" if args.format == "json" else str(args.format)
    if args.file == "-":
        return source.sniff()
    extension = os.path.splitext(args.file)[1].lower()
    if extension not in EXTENSIONS:
        raise CliError(
            f"cannot tell the format of {args.file!r} from its extension; "
            f"pass --format {'|'.join(FORMATS_IN)}"
        )
    return EXTENSIONS[extension]


def delimiter(args: argparse.Namespace, kind: str) -> str:
    if args.delimiter is not None:
        return str(args.delimiter)
    return "\t" if kind == "tsv" else ","


def csv_header(args: argparse.Namespace) -> list[str]:
    """The names in the first non-blank line of the CSV file `args.from_csv`."""
    source = Source(args.from_csv, args.encoding)
    try:
        kind = "tsv" if args.from_csv.lower().endswith(".tsv") else "csv"
        reader = csv.reader(source.text(), delimiter=delimiter(args, kind), strict=True)
        for fields in reader:
            if fields:
                return [field.strip() for field in fields]
    except UnicodeDecodeError as exc:
        raise source.undecodable(exc) from None
    except csv.Error as exc:
        raise CliError(f"{source.label}:{reader.line_num}: malformed CSV row: {exc}") from None
    finally:
        source.close()
    raise CliError(f"{source.label} has no header line")


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

