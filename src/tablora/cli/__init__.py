"""The tablora command-line tool: info, create, stage, merge and find.

Every command opens its database target with `tablora.connect` and works through
`tablora.Database` and `Table`; the tool adds input parsing, checks that turn bad
input into one-line messages, counts, timing and output formatting. Each
command lives in a module of its own, which declares its options
(`add_arguments`) and runs them (`run`); only the standard library is used.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from types import ModuleType
from typing import TextIO

from tablora.cli import create, find, info, merge, stage
from tablora.cli.arguments import PROG, Parser, VersionAction
from tablora.cli.errors import CliError, driver_of
from tablora.errors import Error

__all__ = ["CliError", "build_parser", "main"]

COMMANDS: dict[str, ModuleType] = {
    "info": info,
    "create": create,
    "stage": stage,
    "merge": merge,
    "find": find,
}

EXAMPLES = """\
examples:
  tablora create homes.db homes --from-csv examples/homes.csv \\
      --index by_age=age --unique owner=name,type --unique place=address
  tablora stage homes.db homes examples/homes.csv
  tablora merge homes.db homes
  tablora find homes.db homes --select name,age --where "age > 30"
  tablora info homes.db
"""


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole tool, one subparser per command."""
    parser = Parser(
        prog=PROG,
        description="Two-tier tables over SQLite: stage rows fast, merge them under "
        "newest-wins unique rules, query both tiers at once.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action=VersionAction, nargs=0, help="print the version and exit"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, module in COMMANDS.items():
        command = commands.add_parser(name, help=module.HELP, description=module.HELP)
        module.add_arguments(command)
        command.set_defaults(run=module.run)
    return parser


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments; an unknown option is refused by the command it was given to."""
    parser = build_parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        [commands] = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
        commands.choices[args.command].error(f"unrecognized arguments: {' '.join(unknown)}")
    return args


def committed_before(interrupt: KeyboardInterrupt) -> bool:
    """Whether the library committed the call's work before raising the interrupt: it says
    so in a note, since the signal arrived during its commit."""
    notes = getattr(interrupt, "__notes__", [])
    return any("committed its work before this exception was raised" in note for note in notes)


def one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split())


def main(argv: Sequence[str] | None = None) -> int:
    """Run the tool; returns the exit status (0 success, 1 bad input, 2 bad usage)."""
    args = parse(argv)
    out, err = sys.stdout, sys.stderr
    command: Callable[[argparse.Namespace, TextIO, TextIO], None] = args.run
    try:
        command(args, out, err)
        out.flush()
    except (CliError, ValueError, Error) as exc:  # bad input: the layer's errors name it
        err.write(f"{PROG}: error: {one_line(exc)}\n")
        return 1
    except KeyboardInterrupt as exc:
        if committed_before(exc):
            err.write(f"\n{PROG}: interrupted after the {args.command} had committed its work\n")
        else:
            err.write(f"\n{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (`tablora find ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as exc:  # never a traceback for the user
        driver = driver_of(exc)
        if driver is not None:  # the database refused: bad input, as sqlite3's errors are
            err.write(f"{PROG}: error: {driver}: {one_line(exc)}\n")
            return 1
        if os.environ.get("TABLORA_TRACEBACK"):
            raise
        err.write(f"{PROG}: internal error: {type(exc).__name__}: {one_line(exc)}\n")
        return 70
    return 0
