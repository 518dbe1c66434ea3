"""The catalogue as the package's own code reads it; made by the extension tablora.tablora
when it is imported. Private: not part of the library's surface."""

from typing import Any

TABLES: tuple[str, str]

def prepare(conn: Any) -> None:
    """Create the catalogue tables when they are missing, and commit."""

def rule_positions(conn: Any, table: object) -> dict[Any, list[int]]:
    """The table's unique rules: rule name -> column positions, in catalogue order."""

def staging_name(table: object) -> str:
    """The name of the table's staging twin."""

def index_name(table: object, name: object) -> str:
    """The SQL name of a registered index."""
