"""Names and lists as they are given on the command line."""

from __future__ import annotations

import re

from tablora.cli.errors import CliError

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


def check_identifier(name: str, what: str) -> str:
    if not IDENTIFIER.match(name):
        raise CliError(
            f"invalid {what} {name!r}: use letters, digits and '_', not starting with a digit"
        )
    return name


def split_list(text: str) -> list[str]:
    return [piece.strip() for piece in text.split(",")]
