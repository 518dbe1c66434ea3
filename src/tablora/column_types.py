"""Column types: what a type given to `create_table` declares, and the type a column of a
CSV file holds, as `create --from-csv` infers it.

A declared type gives the column SQLite's affinity, so that the text '42' read from a file
and the integer 42 given from Python are stored alike, as the integer 42.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

from tablora.errors import ArgumentError

AFFINITY: dict[type, str] = {int: "INTEGER", float: "REAL", str: "TEXT", bytes: "BLOB"}
# The words the command line takes for a type (--type col=int).
TYPE_WORDS = {"int": "INTEGER", "integer": "INTEGER", "float": "REAL", "real": "REAL",
              "str": "TEXT", "text": "TEXT", "bytes": "BLOB", "blob": "BLOB"}  # fmt: skip
# SQL type text: names with an optional size, as VARCHAR(20) or DECIMAL(10, 2); nothing
# that could end the column definition.
_SQL_TYPE = re.compile(r"[A-Za-z][A-Za-z0-9_ ]*(\(\s*[+-]?\d+\s*(,\s*[+-]?\d+\s*)?\))?\Z")
_INT = re.compile(r"-?(?:0|[1-9][0-9]*)\Z")
_DECIMAL = re.compile(r"-?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+(?=[eE]))(?:[eE][-+]?[0-9]+)?\Z")
_INT_RANGE = range(-(2**63), 2**63)


def declared_type(column: str, given: object) -> str:
    """The SQL type text for `given`: int, float, str, bytes (bool counts as int) or SQL text;
    None declares no type."""
    if given is None:
        return ""
    if isinstance(given, type):
        for python_type, affinity in AFFINITY.items():
            if issubclass(given, python_type):
                return affinity
    elif isinstance(given, str) and _SQL_TYPE.match(given.strip()):
        return given.strip()
    raise ArgumentError(
        f"column {column!r}: type must be int, float, str, bytes or SQL type text, "
        f"not {given!r}"
    )


def type_word(column: str, word: str) -> str:
    """The SQL type of a command-line type word (int, float, text, blob and their aliases)."""
    try:
        return TYPE_WORDS[word.strip().lower()]
    except KeyError:
        raise ArgumentError(
            f"column {column!r}: unknown type {word!r} (types: int, float, text, blob)"
        ) from None


def number_of(field: str) -> int | float | None:
    """The number an integer or decimal literal writes, or None for any other text."""
    if not field or not (field[0].isdigit() or field[0] in "-."):
        return None
    if _INT.match(field):
        number = int(field)
        return number if number in _INT_RANGE else None
    if _DECIMAL.match(field):
        real = float(field)
        return real if real - real == 0 else None  # finite
    return None


class TypeGuess:
    """The type of one column of a file, from every field read: INTEGER while each
    non-blank field is an integer literal, REAL while each is a number, TEXT after any
    other field. A column with no non-blank field is TEXT."""

    def __init__(self) -> None:
        self.integer = self.real = True
        self.seen = False

    def add(self, field: str) -> None:
        if not field or not self.real:
            return
        self.seen = True
        number = number_of(field)
        if number is None:
            self.integer = self.real = False
        elif isinstance(number, float):
            self.integer = False

    @property
    def sql_type(self) -> str:
        if not self.seen or not self.real:
            return "TEXT"
        return "INTEGER" if self.integer else "REAL"


def guess_types(width: int, rows: Iterable[list[str]]) -> list[str]:
    """The SQL type of each of `width` columns of raw text rows."""
    guesses = [TypeGuess() for _ in range(width)]
    for fields in rows:
        for guess, field in zip(guesses, fields):
            guess.add(field)
    return [guess.sql_type for guess in guesses]
