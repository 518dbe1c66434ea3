"""Input databases, built once per size and copied for every measured run.

Building a 5M-row table takes minutes; copying its file takes seconds. Each
input is built by this process (never by the process that measures on it),
kept under FOLDER/<fingerprint>/ and copied into a scratch folder per run.
The fingerprint covers the row generators, these builders and the built
extension, so a rebuilt library or changed rows never reuse a stale input.
"""

from __future__ import annotations

import hashlib
import shutil
import sqlite3
import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import tablora.tablora as T

import dataset

HERE = Path(__file__).parent


@dataclass(frozen=True)
class Input:
    """One input database.

    kind: "managed" (a tablora table t: `main` settled rows, `staged` staged
    rows), "keyed" (the same with one rule on the key and no plain index),
    "plain" (a SQLite table t of `main` rows with a UNIQUE index per rule and
    the age index), "bare" (an empty SQLite table t without index), or "chdb"
    (the peer's table: `main` rows and `staged` newer rows, see peer_chdb).
    """

    kind: str
    main: int = 0
    staged: int = 0

    @property
    def name(self) -> str:
        suffix = "" if self.kind == "chdb" else ".db"
        return f"{self.kind}-{self.main}-{self.staged}{suffix}"


def fingerprint() -> str:
    digest = hashlib.sha256()
    for source in ("dataset.py", "inputs.py", "peer_chdb.py"):
        digest.update((HERE / source).read_bytes())
    digest.update(Path(T.__file__).read_bytes())
    return digest.hexdigest()[:12]


class Inputs:
    def __init__(self, folder: Path):
        folder.mkdir(parents=True, exist_ok=True)
        (folder / ".gitignore").write_text("*\n")
        self.home = folder / fingerprint()
        for other in folder.iterdir():  # inputs of an older build or older rows
            if other.is_dir() and other != self.home:
                shutil.rmtree(other)
        self.scratch = self.home / "scratch"
        shutil.rmtree(self.scratch, ignore_errors=True)
        self.scratch.mkdir(parents=True)

    def path(self, wanted: Input) -> Path:
        """The cached input, built first when missing."""
        path = self.home / wanted.name
        if not path.exists():
            part = self.home / (wanted.name + ".part")
            shutil.rmtree(part, ignore_errors=True)
            part.unlink(missing_ok=True)
            self._build(wanted, part)
            part.rename(path)
        return path

    @contextmanager
    def copy(self, wanted: Input) -> Iterator[Path]:
        """A private copy of the input for one run, removed afterwards."""
        source = self.path(wanted)
        target = self.scratch / wanted.name
        if source.is_dir():
            shutil.copytree(source, target, symlinks=True)  # chdb links inside its folder
        else:
            shutil.copyfile(source, target)
        try:
            yield target
        finally:
            if target.is_dir():
                shutil.rmtree(target)
            else:
                target.unlink()
            for leftover in self.scratch.glob(wanted.name + "-*"):  # a journal, if any
                leftover.unlink()

    def _build(self, wanted: Input, path: Path) -> None:
        if wanted.kind == "chdb":
            subprocess.run([sys.executable, str(HERE / "peer_chdb.py"), str(path),
                            str(wanted.main), str(wanted.staged)], check=True)
            return
        if wanted.kind in ("managed", "keyed") and wanted.staged:
            shutil.copyfile(self.path(Input(wanted.kind, wanted.main)), path)
            with _managed(path) as conn:
                for batch in dataset.batches(lambda i: dataset.staged_row(i, wanted.main),
                                             wanted.staged):
                    T.insert_temp(conn, "t", batch, comm=False)
                conn.commit()
            return
        builder = {"managed": _settled, "keyed": _settled, "plain": _plain, "bare": _bare}
        builder[wanted.kind](path, wanted)


@contextmanager
def _managed(path: Path) -> Iterator[sqlite3.Connection]:
    conn = T.DB(f"bench-input-{path}", str(path)).connection()
    try:
        yield conn
    finally:
        conn.close()


def _settled(path: Path, wanted: Input) -> None:
    """A tablora table whose main table holds the rows, loaded as the docs advise for bulk
    loads: indexes dropped, rows appended (their keys are all distinct), indexes rebuilt."""
    indexes = dataset.INDEXES if wanted.kind == "managed" else []
    uniques = dataset.UNIQUES if wanted.kind == "managed" else dataset.KEY_UNIQUES
    with _managed(path) as conn:
        # create_table marks the entries it is given: hand it copies.
        T.create_table(conn, "t", list(dataset.COLS), [i.copy() for i in indexes],
                       [u.copy() for u in uniques])
        T.drop_table_index(conn, "t", comm=False)
        for batch in dataset.batches(dataset.main_row, wanted.main):
            conn.executemany(dataset.INSERT, batch)
        T.active_table_index(conn, "t", comm=False)
        conn.commit()


def _plain(path: Path, wanted: Input) -> None:
    """The baseline's table: UNIQUE indexes matching the rules, and the same plain index."""
    conn = sqlite3.connect(path)
    conn.execute(f"CREATE TABLE t ({','.join(dataset.COLS)})")
    for batch in dataset.batches(dataset.main_row, wanted.main):
        conn.executemany(dataset.INSERT, batch)
    conn.execute("CREATE UNIQUE INDEX t_unique_0 ON t (name, type)")
    conn.execute("CREATE UNIQUE INDEX t_unique_1 ON t (address)")
    conn.execute("CREATE INDEX t_index_age ON t (age)")
    conn.commit()
    conn.close()


def _bare(path: Path, wanted: Input) -> None:
    conn = sqlite3.connect(path)
    conn.execute(f"CREATE TABLE t ({','.join(dataset.COLS)})")
    conn.commit()
    conn.close()
