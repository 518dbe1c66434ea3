"""Lists as they are given on the command line."""

from __future__ import annotations


def split_list(text: str) -> list[str]:
    return [piece.strip() for piece in text.split(",")]
