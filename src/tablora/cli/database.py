"""Opening the database a command names: a local file or any target `tablora.connect` knows."""

from __future__ import annotations

import argparse
import contextlib
import os
import sqlite3
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any
from urllib.parse import unquote, urlsplit

import tablora
from tablora.cli.errors import CliError
from tablora.engines import registry

if TYPE_CHECKING:
    from tablora.tablora import Connection


def local_path(target: str) -> str | None:
    """The file a target names on this machine; None for a remote database."""
    where = registry.parse(target)
    if where.engine != "sqlite":
        return None
    if target.startswith("file:"):
        return unquote(urlsplit(target).path)
    return target


def open_db(args: argparse.Namespace, *, create: bool = False) -> Connection:
    """A connection to the command's DB; a local file must exist unless `create`."""
    target: str = args.db
    path = local_path(target)
    if path is not None:
        if os.path.isdir(path):
            raise CliError(f"{target} is a directory, not a database file")
        if not create and not os.path.exists(path):
            raise CliError(f"database not found: {target}")
    # Only a timeout that was given is passed on, so a target's own default stays.
    options: dict[str, Any] = {} if args.timeout is None else {"timeout": args.timeout}
    token_variable = getattr(args, "auth_token_env", None)
    if token_variable is not None:
        token = os.environ.get(token_variable)
        if not token:
            raise CliError(f"--auth-token-env: the variable {token_variable} is not set")
        options["auth_token"] = token
    try:
        # Looked up at call time, so that every engine the package adds is reached.
        return tablora.connect(target, **options)
    except sqlite3.Error as exc:
        raise CliError(f"cannot open {target} as an SQLite database: {exc}") from None
    except ImportError as exc:  # the driver of a remote target is not installed
        raise CliError(f"cannot open {target}: {exc}") from None
    except OSError as exc:
        raise CliError(f"cannot reach {target}: {exc}") from None


@contextlib.contextmanager
def open_database(args: argparse.Namespace, *, create: bool = False) -> Iterator[tablora.Database]:
    """The command's DB as a `tablora.Database`, closed at the end. With `create`, a local
    file that did not exist before is removed again when the command fails, so that a
    refused `create` leaves nothing behind."""
    path = local_path(args.db)
    new = create and path is not None and not os.path.exists(path)
    conn = open_db(args, create=create)
    try:
        yield tablora.Database(conn)
    except BaseException:
        if new and path is not None:
            conn.close()
            for leftover in (path, path + "-journal", path + "-wal", path + "-shm"):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(leftover)
        raise
    finally:
        conn.close()
