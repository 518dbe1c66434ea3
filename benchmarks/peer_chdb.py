"""The peer engine: chdb (embedded ClickHouse) with a ReplacingMergeTree.

The table is ordered by the key, so a merge keeps one row per key: the one
inserted last, as tablora keeps the newest. An input holds the main rows as one
part and the newer rows as a second part; `OPTIMIZE TABLE ... FINAL` merges the
two, `SELECT ... FINAL` reads them as if merged.

    python benchmarks/peer_chdb.py FOLDER MAIN NEWER   # builds an input folder
"""

from __future__ import annotations

import csv
import json
import sys
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path

import dataset

TABLE = "peer.t"
SCHEMA = "name String, type String, address String, age Int64"


def version() -> str | None:
    """chdb's version, or None when the optional peer is not installed."""
    try:
        import chdb
    except ImportError:
        return None
    return str(chdb.__version__)


def session(folder: Path):  # type: ignore[no-untyped-def]
    from chdb import session as chdb_session
    return chdb_session.Session(str(folder))


def parts(sess) -> int:  # type: ignore[no-untyped-def]
    database, table = TABLE.split(".")
    out = sess.query("SELECT count() FROM system.parts "
                     f"WHERE database = '{database}' AND table = '{table}' AND active", "CSV")
    return int(out.bytes().decode().strip())


def _load(sess, rows: Iterator[list[dataset.Row]]) -> None:  # type: ignore[no-untyped-def]
    """One INSERT of all the rows, read back from a CSV file."""
    with tempfile.NamedTemporaryFile("w", suffix=".csv", newline="") as f:
        writer = csv.writer(f)
        for batch in rows:
            writer.writerows(batch)
        f.flush()
        sess.query(f"INSERT INTO {TABLE} SELECT * FROM file('{f.name}', 'CSV', '{SCHEMA}')")


def build(folder: Path, main: int, newer: int) -> None:
    sess = session(folder)
    sess.query("CREATE DATABASE IF NOT EXISTS peer")
    sess.query(f"CREATE TABLE {TABLE} ({SCHEMA}) ENGINE = ReplacingMergeTree ORDER BY name")
    _load(sess, dataset.batches(dataset.main_row, main))
    sess.query(f"OPTIMIZE TABLE {TABLE} FINAL")
    _load(sess, dataset.batches(lambda i: dataset.staged_row(i, main), newer))
    if parts(sess) != 2:
        raise RuntimeError(f"expected the main and the newer part, found {parts(sess)}")
    sess.close()


def _opened(folder: Path):  # type: ignore[no-untyped-def]
    sess = session(folder)
    found = parts(sess)  # also loads the table before the measured call
    if found != 2:
        raise RuntimeError(f"the input's two parts were merged already ({found} left)")
    return sess


def prepare_merge(folder: Path, n: int) -> Callable[[], object]:
    sess = _opened(folder)
    return lambda: sess.query(f"OPTIMIZE TABLE {TABLE} FINAL")


def prepare_find(folder: Path, n: int) -> Callable[[], object]:
    sess = _opened(folder)
    # JSONCompact parsed by json is the quickest way here from chdb to lists of values.
    return lambda: json.loads(sess.query(f"SELECT * FROM {TABLE} FINAL", "JSONCompact")
                              .bytes())["data"]


if __name__ == "__main__":
    build(Path(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]))
