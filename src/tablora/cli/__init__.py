"""The tablora command-line tool: info, create, stage, merge and find.

Every command opens its database target with `tablora.connect` and works with
the library's own functions; the tool adds input parsing, checks that turn bad
input into one-line messages, counts, timing and output formatting. Each
command lives in a module of its own; only the standard library is used.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
from collections.abc import Callable, Sequence
from typing import TextIO

from tablora.cli.arguments import PROG, build_parser
from tablora.cli.errors import CliError

__all__ = ["CliError", "build_parser", "main"]


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
