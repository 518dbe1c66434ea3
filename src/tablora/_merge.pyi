"""The staging merge with its counts, which the layer's Table.merge calls; made by the
extension tablora.tablora when it is imported. Private: not part of the library's surface."""

from collections.abc import Callable
from typing import Any

def merge(
    conn: Any,
    table: str,
    upto: int | None = None,
    keep_indexes: bool | None = None,
    progress: Callable[[str], object] | None = None,
    comm: object = True,
) -> tuple[int, int, int]:
    """temp_to_main, returning (staged, inserted, replaced) as the database counts them."""
