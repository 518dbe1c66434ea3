"""Two-tier tables over SQLite; the functions live in tablora.tablora."""

from tablora.connect import connect

__all__ = ["connect"]
