"""Two-tier tables over SQLite; the functions live in tablora.tablora."""

from importlib.metadata import PackageNotFoundError, version

from tablora.connect import connect

try:
    # The one version number is pyproject's, as the installed metadata holds it.
    __version__ = version("tablora")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["__version__", "connect"]
