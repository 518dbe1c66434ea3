"""The errors the tool reports as a plain line: bad input, an unusable database, and what
a database driver refused."""

from __future__ import annotations

import sys


class CliError(Exception):
    """Bad input or a state the command cannot work with: one line for the user."""


def driver_of(exc: BaseException) -> str | None:
    """The name of the database driver that raised `exc`, or None for any other error.

    Every DB-API driver derives its exceptions from the `Error` its package exports
    (sqlite3.Error, dqlitedbapi.Error, libsql.Error), so no driver needs naming here.
    """
    for cls in type(exc).__mro__:
        package = cls.__module__.partition(".")[0]
        module = sys.modules.get(package)
        if cls.__name__ == "Error" and module is not None and getattr(module, "Error", None) is cls:
            return "SQLite" if package == "sqlite3" else package
    return None
