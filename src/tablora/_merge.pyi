"""The merge as the package's own code runs it; made by the extension tablora.tablora when it
is imported. Private: not part of the library's surface."""

from collections.abc import Callable
from typing import Any

def merge(
    conn: Any,
    table: object,
    through_row_id: int | None = None,
    keep_indexes: bool | None = None,
    progress: Callable[[str], object] | None = None,
    comm: object = True,
) -> tuple[int, int, int]:
    """Merge the table's staged rows as temp_to_main does, up to the staging row id
    through_row_id, and return (staged, inserted, replaced): the staged rows read, the rows
    inserted into the main table and the main rows deleted."""
