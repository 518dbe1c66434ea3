"""Importing an optional driver, with the extra that installs it named, and
the error classes of the drivers in use."""

from __future__ import annotations

import importlib
import sys
from types import ModuleType

# The optional drivers, by module; each has a PEP 249 base class `Error`.
DRIVERS = ("libsql", "dqlitedbapi")


class MissingDriver(ImportError):
    """An engine's driver is not installed; the message names the extra."""


def require(module: str, driver: str, extra: str) -> ModuleType:
    """Import `module`; when missing, say which tablora extra brings it."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as exc:
        if exc.name != module:
            raise  # the driver is there but something it needs is not
        raise MissingDriver(
            f"the {driver} driver is missing: pip install 'tablora[{extra}]'", name=module
        ) from None


def driver_errors() -> tuple[type[Exception], ...]:
    """The base error classes of the drivers imported so far (none: ())."""
    return tuple(
        sys.modules[module].Error
        for module in DRIVERS
        if getattr(sys.modules.get(module), "Error", None) is not None
    )
