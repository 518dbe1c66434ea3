"""The tool's status lines, which live in tablora.progress, shared with `Table.merge`."""

from tablora.progress import Phases, Progress, StatusLine

__all__ = ["Phases", "Progress", "StatusLine"]
