"""The errors of the everyday layer (`Database`, `Table`): one family under `Error`.

Each also derives from the built-in type a caller of a dict or a function would catch
already: `KeyError` for a name that is not there (a table, a column, a rule, a row),
`ValueError` for an argument the layer cannot use. Every message names what it is about.
"""

from __future__ import annotations


class Error(Exception):
    """Base of every error the layer raises itself; driver errors pass through unchanged."""

    def __str__(self) -> str:
        # KeyError would show its message in quotes, as the repr of a key.
        return str(self.args[0]) if self.args else ""


class UnknownTableError(Error, KeyError):
    """No managed table of that name in the database."""


class UnknownColumnError(Error, KeyError):
    """A column name the table does not have."""


class UnknownRuleError(Error, KeyError):
    """A unique rule name the table does not have."""


class NotFoundError(Error, KeyError):
    """`Table.get` found no row for the key."""


class TableExistsError(Error, ValueError):
    """`create_table` would replace a table, and `replace=True` was not given."""


class ArgumentError(Error, ValueError):
    """An argument the layer cannot use: a bad name, type, count or shape."""


class InputError(Error, ValueError):
    """Rows in a file (CSV, JSON Lines) that cannot be read: the message names the line."""
