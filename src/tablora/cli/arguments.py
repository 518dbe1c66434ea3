"""What the commands' command lines share: the parser class, the database argument, the
CSV options and the value checks. Each command declares its own options in its module."""

from __future__ import annotations

import argparse
import codecs
from collections.abc import Sequence
from typing import NoReturn

import tablora

PROG = "tablora"


class Parser(argparse.ArgumentParser):
    """Usage errors as one line that points to the help of the parser that refused them;
    a command's options and positionals may come in any order."""

    _intermixing = False

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        # argparse reads an optional positional (info's TABLE) together with the one before
        # it, so `info x.db --format json homes` would leave `homes` over. The intermixed
        # parse reads all positionals together; it calls this method again for its passes.
        if self._intermixing or any(
            isinstance(action, argparse._SubParsersAction) for action in self._actions
        ):
            return super().parse_known_args(args, namespace)
        self._intermixing = True
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self._intermixing = False


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds, not {text}")
    return value


def add_database(command: argparse.ArgumentParser, more: str = "") -> None:
    """DB, the first positional of every command, and how long to wait for it."""
    command.add_argument(
        "db",
        metavar="DB",
        help="database: a file path, a file: URI or a target such as dqlite://host:port/db" + more,
    )
    command.add_argument(
        "--timeout",
        type=seconds,
        metavar="SECONDS",
        help="how long to wait for a locked database or a server (tablora.connect's timeout=)",
    )
    command.add_argument(
        "--auth-token-env",
        metavar="NAME",
        help="the environment variable holding a libSQL server's JWT (default: LIBSQL_AUTH_TOKEN)",
    )


def one_character(text: str) -> str:
    value = text.encode().decode("unicode_escape") if text.startswith("\\") else text
    if len(value) != 1:
        raise argparse.ArgumentTypeError(f"must be one character (or \\t), not {text!r}")
    return value


def encoding(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {text!r}") from None


def add_csv_options(command: argparse.ArgumentParser) -> None:
    """--delimiter and --encoding, for commands that read CSV."""
    command.add_argument(
        "--delimiter",
        type=one_character,
        metavar="CHAR",
        help="CSV field separator (default: ',' for CSV, tab for TSV; '\\t' for a tab)",
    )
    command.add_argument(
        "--encoding",
        type=encoding,
        metavar="NAME",
        help="text encoding of the input, e.g. latin-1 or cp1252 (default: utf-8)",
    )


class VersionAction(argparse.Action):
    """--version, the package's own version number."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        print(f"{parser.prog} {tablora.__version__}")
        parser.exit(0)
