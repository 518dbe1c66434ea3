"""A row read by the layer: a tuple whose values are also reachable by column name.

All rows of one result share one class that holds the name -> position map, so a row
costs what a tuple costs (as `sqlite3.Row` shares its cursor's description).
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import Any, ClassVar, SupportsIndex, overload

from tablora.errors import UnknownColumnError


class Row(tuple[Any, ...]):
    """`row["name"]`, `row[0]`, `row.keys()`, `dict(row.items())`; equal to the plain tuple."""

    __slots__ = ()
    _positions: ClassVar[dict[str, int]] = {}
    _table: ClassVar[str] = ""

    @overload
    def __getitem__(self, key: str | SupportsIndex) -> Any: ...
    @overload
    def __getitem__(self, key: slice) -> tuple[Any, ...]: ...
    def __getitem__(self, key: str | SupportsIndex | slice) -> Any:
        if isinstance(key, str):
            try:
                key = self._positions[key]
            except KeyError:
                raise UnknownColumnError(
                    f"row of table {self._table!r} has no column {key!r} "
                    f"(columns: {', '.join(self._positions)})"
                ) from None
        return tuple.__getitem__(self, key)

    def keys(self) -> list[str]:
        return list(self._positions)

    def items(self) -> Iterator[tuple[str, Any]]:
        return zip(self._positions, self)

    def asdict(self) -> dict[str, Any]:
        return dict(zip(self._positions, self))

    def __repr__(self) -> str:
        return "Row(" + ", ".join(f"{name}={value!r}" for name, value in self.items()) + ")"


def row_class(table: str, names: Sequence[str]) -> type[Row]:
    """The class of the rows of one result, with columns `names` in this order."""
    return type("Row", (Row,), {"__slots__": (), "_positions": {n: i for i, n in enumerate(names)},
                                "_table": table})  # fmt: skip
