"""Importing an optional driver, with the extra that installs it named."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, driver: str, extra: str) -> ModuleType:
    """Import `module`; when missing, say which tablora extra brings it."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as exc:
        if exc.name != module:
            raise  # the driver is there but something it needs is not
        raise ImportError(
            f"the {driver} driver is missing: pip install 'tablora[{extra}]'", name=module
        ) from None
