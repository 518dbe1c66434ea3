"""The streamed newest-wins read the layer's rows_where is built on; made by the extension
tablora.tablora when it is imported. Private: not part of the library's surface."""

from collections.abc import Iterator, Mapping, Sequence
from typing import Any

class NewestRows(Iterator[tuple[Any, ...]]):
    def __next__(self) -> tuple[Any, ...]: ...
    def close(self) -> None: ...

def newest_rows(
    conn: Any,
    table: str,
    select: Sequence[int] | None = None,
    where: str | None = None,
    params: Sequence[Any] | Mapping[str, Any] = (),
    order_by: str | None = None,
    limit: int | None = None,
    offset: int | None = None,
) -> NewestRows:
    """The rows find returns, streamed, holding one read snapshot while open."""
