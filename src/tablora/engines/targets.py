"""Reading a `tablora.connect` target.

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
from dataclasses import dataclass
from urllib.parse import SplitResult, parse_qs, urlsplit

_SCHEME = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")


@dataclass(frozen=True)
class Target:
    engine: str  # "sqlite", "libsql" or "dqlite"
    location: str  # the path, the server's URL or the database name
    nodes: tuple[str, ...] = ()  # dqlite: host:port of every listed node


def parse(target: object) -> Target:
    """The engine and address of `target`; ValueError on a malformed one."""
    if not isinstance(target, str) or not target.strip():
        raise ValueError(f"tablora.connect: no database target in {target!r}")
    scheme = _SCHEME.match(target)
    if scheme is None:
        return Target("sqlite", target)
    name = scheme.group(1).lower()
    if name in ("libsql", "http", "https"):
        return _libsql(target, name)
    if name == "dqlite":
        return _dqlite(target)
    raise ValueError(
        f"tablora.connect: unknown scheme {name!r} in {target!r} "
        "(use a path, file:, libsql://, http://, https:// or dqlite://)"
    )


def _libsql(target: str, scheme: str) -> Target:
    parts = urlsplit(target)
    query = parse_qs(parts.query, keep_blank_values=True)
    tls = query.pop("tls", [None])[-1]
    if not (parts.hostname and _port_ok(parts) and parts.path in ("", "/") and not query):
        tls = "bad"
    if tls not in (None, "0", "1") or (tls is not None and scheme != "libsql"):
        raise ValueError(
            f"tablora.connect: expected {scheme}://host[:port]"
            f"{'[?tls=0|1]' if scheme == 'libsql' else ''}, got {target!r}"
        )
    if scheme == "libsql":
        secure = tls == "1" if tls is not None else not _loopback(parts.hostname or "")
        scheme = "https" if secure else "http"
    return Target("libsql", f"{scheme}://{parts.netloc}")


def _port_ok(parts: SplitResult) -> bool:
    try:
        parts.port
    except ValueError:
        return False
    return True


def _dqlite(target: str) -> Target:
    nodes_text, slash, database = target[len("dqlite://") :].partition("/")
    nodes = tuple(node.strip() for node in nodes_text.split(","))
    if not slash or not database or "/" in database or not all(map(_host_port, nodes)):
        raise ValueError(
            f"tablora.connect: expected dqlite://host:port[,host:port...]/database, got {target!r}"
        )
    return Target("dqlite", database, nodes)


def _host_port(node: str) -> bool:
    host, colon, port = node.rpartition(":")
    return bool(host) and bool(colon) and port.isdigit() and 0 < int(port) < 65536


def _loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False
