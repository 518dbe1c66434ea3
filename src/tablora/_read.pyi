"""The streamed newest-wins read; made by the extension tablora.tablora when it is imported.
Private: the everyday layer's entry, not part of the library's surface."""

from collections.abc import Iterator, Mapping, Sequence
from typing import Any

class NewestRows(Iterator[tuple[Any, ...]]):
    """The rows of one newest_rows call, read from one snapshot."""

    def __next__(self) -> tuple[Any, ...]: ...
    def make_as(self, row_type: type[tuple[Any, ...]], /) -> NewestRows:
        """Make the rows from the next one on as instances of the given subclass of tuple;
        return the iterator."""
    def close(self) -> None:
        """Release the read snapshot now; the iterator then yields nothing more."""

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
    """Iterate over the rows find returns for the table, as tuples, streamed."""
