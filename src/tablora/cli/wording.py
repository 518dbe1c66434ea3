"""Counts as the tool prints them."""

from __future__ import annotations


def count_of(count: int, noun: str, plural: str | None = None) -> str:
    """'1 row', '2,000 rows'; `plural` for nouns that do not take an 's'."""
    return f"{count:,} {noun if count == 1 else plural or noun + 's'}"
