"""Column types: what a type given to `create_table` or on the command line declares.

A declared type gives the column SQLite's affinity, so that the text '42' read from a file
and the integer 42 given from Python are stored alike, as the integer 42.
"""

from __future__ import annotations

import re

from tablora.errors import ArgumentError

AFFINITY: dict[type, str] = {int: "INTEGER", float: "REAL", str: "TEXT", bytes: "BLOB"}
# The words the command line takes for a type (--type col=int).
TYPE_WORDS = {"int": "INTEGER", "integer": "INTEGER", "float": "REAL", "real": "REAL",
              "str": "TEXT", "text": "TEXT", "bytes": "BLOB", "blob": "BLOB"}  # fmt: skip
# SQL type text: names with an optional size, as VARCHAR(20) or DECIMAL(10, 2); nothing
# that could end the column definition.
_SQL_TYPE = re.compile(r"[A-Za-z][A-Za-z0-9_ ]*(\(\s*[+-]?\d+\s*(,\s*[+-]?\d+\s*)?\))?\Z")


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
