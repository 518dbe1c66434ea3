"""Opening the database a command names: a local file or any target `tablora.connect` knows."""

from __future__ import annotations

import os
import re
import sqlite3
from typing import Any
from urllib.parse import unquote, urlsplit

import tablora
from tablora.cli.errors import CliError

# `scheme://...` names a database on another machine (libsql://, dqlite://, ...).
_REMOTE = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def local_path(target: str) -> str | None:
    """The file a target names on this machine; None for a remote database."""
    if target.startswith("file:"):
        return unquote(urlsplit(target).path)
    if _REMOTE.match(target):
        return None
    return target


def open_db(target: str, *, create: bool = False) -> Any:
    """A connection to `target`; a local file must exist unless `create`."""
    path = local_path(target)
    if path is not None:
        if os.path.isdir(path):
            raise CliError(f"{target} is a directory, not a database file")
        if not create and not os.path.exists(path):
            raise CliError(f"database not found: {target}")
    try:
        # Looked up at call time, so that every engine the package adds is reached.
        return tablora.connect(target)
    except sqlite3.Error as exc:
        raise CliError(f"cannot open {target} as an SQLite database: {exc}") from None
    except OSError as exc:
        raise CliError(f"cannot reach {target}: {exc}") from None
