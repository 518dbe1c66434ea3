"""Two-tier tables over SQLite.

The everyday layer: `Database` and `Table` (names, types, bound values, streamed reads);
the low-level functions live in tablora.tablora.
"""

from importlib.metadata import PackageNotFoundError, version

from tablora.connect import connect
from tablora.database import Database
from tablora.errors import (
    ArgumentError,
    Error,
    InputError,
    NotFoundError,
    TableExistsError,
    UnknownColumnError,
    UnknownRuleError,
    UnknownTableError,
)
from tablora.row import Row
from tablora.table import MergeSummary, Table

try:
    # The one version number is pyproject's, as the installed metadata holds it.
    __version__ = version("tablora")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "ArgumentError",
    "Database",
    "Error",
    "InputError",
    "MergeSummary",
    "NotFoundError",
    "Row",
    "Table",
    "TableExistsError",
    "UnknownColumnError",
    "UnknownRuleError",
    "UnknownTableError",
    "__version__",
    "connect",
]
