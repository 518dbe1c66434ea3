"""What a `tablora.connect` target names, and what every engine gives to read and open one.

- a path or a ``file:`` URI: a local SQLite file;
- ``libsql://host[:port]``, ``http://…``, ``https://…``: a libSQL server.
  ``libsql://`` means TLS as in libSQL's own clients, except on a loopback
  host, where a development server speaks plain HTTP; ``?tls=0`` or
  ``?tls=1`` says which;
- ``dqlite://host:port[,host:port…]/database``: a dqlite cluster, reached
  through whichever listed node answers.
"""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any
from urllib.parse import SplitResult

# How long a writer waits for a lock held by others unless connect(timeout=) says
# otherwise: sqlite3.connect's own default.
BUSY_SECONDS = 5.0

SCHEME = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")


@dataclass(frozen=True)
class Target:
    engine: str  # "sqlite", "libsql" or "dqlite"
    location: str  # the path, the server's URL or the database name
    nodes: tuple[str, ...] = ()  # dqlite: host:port of every listed node


@dataclass(frozen=True)
class Options:
    """What a caller may say about opening a target, beside the target itself."""

    timeout: float | None = None  # seconds; each engine says what it waits for
    auth_token: str | None = None  # libSQL only; never shown in an error or a repr

    def timeout_or(self, default: float) -> float:
        """The caller's timeout, or the engine's `default` when none was given."""
        return default if self.timeout is None else self.timeout

    def __repr__(self) -> str:
        token = "None" if self.auth_token is None else "'…'"
        return f"Options(timeout={self.timeout!r}, auth_token={token})"


@dataclass(frozen=True)
class Engine:
    """One engine: the URL schemes it answers to (none: plain paths), how it reads a target
    of those schemes (scheme lower-cased), how it opens a connection to one, and the staged
    rows per step of a stepped merge that keep one step well inside what the engine and the
    writers beside the merge can wait for (measured: docs/scaling.md), and whether the
    stepped merge may hold the lock longer while no one else commits: only where
    `PRAGMA data_version` on a connection changes when, and only when, another connection
    commits, and a waiting writer tries again at least every pause (SQLite's busy
    handler)."""

    name: str
    schemes: tuple[str, ...]
    parse: Callable[[str, str], Target]
    open: Callable[[Target, Options], Any]
    step_rows: int
    quiet_stretches: bool = False


def port_ok(parts: SplitResult) -> bool:
    try:
        parts.port
    except ValueError:
        return False
    return True


def host_port(node: str) -> bool:
    host, colon, port = node.rpartition(":")
    return bool(host) and bool(colon) and port.isdigit() and 0 < int(port) < 65536


def loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False
