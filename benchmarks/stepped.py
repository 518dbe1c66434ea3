"""The stepped merge (`Table.merge(step_rows=N)`) on each engine, three measurements:

- step: one step of N staged rows (half replacing main rows) into a main table of
  `--main` rows, for each N of `--sizes`: what a step holds the write lock for, and on
  dqlite what one COMMIT (one Raft entry) carries. The engines' default step sizes are
  chosen from it;
- stager: a second process stages 1,000 rows every 50 ms (`insert_temp`, each batch
  committed; a file's connection with the default 5 s busy timeout) beside a stepped merge
  of `--rows` staged rows into `--rows` main rows; the worst wait of a batch and the 99th
  percentile, and every error either side saw;
- cost: the same stepped merge against one `temp_to_main` and against `INSERT OR REPLACE`
  of the same rows into a table with a UNIQUE constraint (sent packed on the servers).

Rows are about 100 bytes (key, a 60-digit padded name, version, k % 97), made inside the
database a chunk at a time so that no fill is one huge transaction. Needs the servers of
the engine tests, as benchmarks/engines.py does.

    python benchmarks/stepped.py step   [--engines ...] [--main N] [--sizes 10000,50000]
    python benchmarks/stepped.py stager [--engines sqlite,sqlite-wal,libsql,dqlite] [--rows N]
    python benchmarks/stepped.py cost   [--engines ...] [--rows N]
"""

from __future__ import annotations

import argparse
import importlib.util
import multiprocessing
import statistics
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

import tablora
import tablora.tablora as T
from tablora import _merge
from tablora.table import default_step_rows

# benchmarks/engines.py by its path: it imports the tests' server launchers as `engines`.
_spec = importlib.util.spec_from_file_location(
    "engine_benchmarks", Path(__file__).resolve().parent / "engines.py")
engine_benchmarks = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(engine_benchmarks)

ENGINES = ("sqlite", "sqlite-wal", "libsql", "dqlite")
FILL_CHUNK = 100_000  # rows per committed fill statement
STAGER_ROWS, STAGER_EVERY = 1_000, 0.050
STAGER_KEYS = 10**12  # the stager's keys, far from the merged ones


def fill(conn, table: str, keys: range, version: int) -> None:
    cur = conn.cursor()
    for start in range(keys.start, keys.stop, FILL_CHUNK):
        stop = min(start + FILL_CHUNK, keys.stop)
        cur.execute(
            f"WITH RECURSIVE r(k) AS (SELECT {start} UNION ALL SELECT k + 1 FROM r "
            f"WHERE k < {stop - 1}) INSERT INTO {table} "
            f"SELECT k, printf('name %d %060d', k, k), {version}, k % 97 FROM r"
        )
        conn.commit()


def python_rows(keys: range, version: int) -> list[tuple]:
    return [(k, f"name {k} {k:060d}", version, k % 97) for k in keys]


def fresh(conn, main: int, staged: int, table: str = "t") -> None:
    """`table`: `main` main rows, `staged` staged rows, the first half of them replacing
    the upper half of main. Tables are left behind, not dropped: on dqlite the DROP of a
    table of a million rows is itself a COMMIT large enough to lose leadership."""
    T.create_table(conn, table, ["k", "a", "b", "c"], [{"name": "c", "cols": "c"}],
                   [{"name": "u", "cols": [0]}])
    fill(conn, table, range(main), 0)
    fill(conn, f"temp_{table}", range(main // 2, main // 2 + staged), 1)


def open_target(engine: str, target: str):
    conn = tablora.connect(target)
    if engine == "sqlite-wal":
        conn.execute("PRAGMA journal_mode=WAL")
    return conn


# ---- one step ----------------------------------------------------------------------------


def step(engine: str, target: str, main: int, sizes: list[int]) -> None:
    conn = open_target(engine, target)
    for size in sizes:
        fresh(conn, main, size, f"t{size}")
        started = time.perf_counter()
        counts = _merge.merge(conn, f"t{size}", through_row_id=2**62, keep_indexes=True)
        seconds = time.perf_counter() - started
        print(f"| {engine} | {main:,} | {size:,} | {seconds:.2f} | {counts} |", flush=True)
    conn.close()


# ---- a stager beside the merge -----------------------------------------------------------


def stager(engine: str, target: str, stop, pipe) -> None:
    """Stages a batch every 50 ms until `stop` is set; sends (waits, errors)."""
    conn = open_target(engine, target)
    waits, errors, batch = [], [], 0
    while not stop.is_set():
        keys = range(STAGER_KEYS + batch * STAGER_ROWS, STAGER_KEYS + (batch + 1) * STAGER_ROWS)
        started = time.perf_counter()
        try:
            T.insert_temp(conn, "t", python_rows(keys, 2))
        except Exception as exc:  # noqa: BLE001  (each failure is a finding, counted)
            errors.append(f"{type(exc).__name__}: {exc}")
        waits.append(time.perf_counter() - started)
        batch += 1
        time.sleep(max(0.0, STAGER_EVERY - waits[-1]))
    pipe.send((waits, errors))
    conn.close()


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def beside_a_stager(engine: str, target: str, rows: int, step_rows: int | None) -> None:
    conn = open_target(engine, target)
    fresh(conn, rows, rows)
    context = multiprocessing.get_context("spawn")
    stop, (receive, send) = context.Event(), context.Pipe()
    process = context.Process(target=stager, args=(engine, target, stop, send))
    process.start()
    time.sleep(1.0)  # the stager under way before the merge starts
    table = tablora.Database(conn)["t"]
    step_rows = step_rows or default_step_rows(conn)
    error = ""
    started = time.perf_counter()
    try:
        summary = table.merge(step_rows=step_rows)
        merged = f"{summary.staged:,} merged"
    except Exception as exc:  # noqa: BLE001
        error, merged = f"{type(exc).__name__}: {exc}", "failed"
    seconds = time.perf_counter() - started
    stop.set()
    waits, errors = receive.recv()
    process.join()
    left = conn.execute("SELECT count(*) FROM temp_t").fetchone()[0]
    print(f"| {engine} | {rows:,} into {rows:,} | {step_rows:,} | {seconds:.1f} ({merged}) "
          f"| {len(waits)} | {max(waits) * 1000:.0f} | {percentile(waits, 0.99) * 1000:.0f} "
          f"| {statistics.median(waits) * 1000:.0f} | {left:,} | "
          f"{'; '.join(sorted(set(errors))[:3]) or error or 'none'} |", flush=True)
    conn.close()


# ---- what the steps cost -----------------------------------------------------------------


def cost(engine: str, target: str, rows: int, step_rows: int | None) -> None:
    conn = open_target(engine, target)
    step_rows = step_rows or default_step_rows(conn)
    timed = {}
    for how, name in (("stepped", "stepped"), ("one merge", "once")):
        fresh(conn, rows, rows, name)
        started = time.perf_counter()
        table = tablora.Database(conn)[name]
        table.merge(step_rows=step_rows if how == "stepped" else None)
        timed[how] = time.perf_counter() - started
    cur = conn.cursor()
    cur.execute("DROP TABLE IF EXISTS base")
    cur.execute("CREATE TABLE base (k, a, b, c, UNIQUE (k))")
    cur.execute("CREATE INDEX base_c ON base (c)")
    conn.commit()
    fill(conn, "base", range(rows), 0)
    staged = python_rows(range(rows // 2, rows // 2 + rows), 1)
    started = time.perf_counter()
    cur.executemany("INSERT OR REPLACE INTO base VALUES (?,?,?,?)", staged)
    conn.commit()
    timed["replace"] = time.perf_counter() - started
    print(f"| {engine} | {rows:,} into {rows:,} | {step_rows:,} | {timed['stepped']:.1f} "
          f"| {timed['one merge']:.1f} | {timed['stepped'] / timed['one merge']:.2f} "
          f"| {timed['replace']:.1f} | {timed['stepped'] / timed['replace']:.2f} |", flush=True)
    conn.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=["step", "stager", "cost"])
    parser.add_argument("--engines", default=",".join(ENGINES))
    parser.add_argument("--main", type=int, default=1_000_000)
    parser.add_argument("--sizes", default="10000,25000,50000,100000")
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--step-rows", type=int, default=None,
                        help="the step size (default: the engine's)")
    args = parser.parse_args()
    engines = tuple(args.engines.split(","))
    with ExitStack() as stack, tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as home:
        targets = engine_benchmarks.start_targets(stack, Path(home), engines)
        for engine in engines:
            target = targets["sqlite" if engine == "sqlite-wal" else engine][1]
            if engine.startswith("sqlite"):
                target = str(Path(home) / f"{engine}.db")
            if args.what == "step":
                step(engine, target, args.main, [int(n) for n in args.sizes.split(",")])
            elif args.what == "stager":
                beside_a_stager(engine, target, args.rows, args.step_rows)
            else:
                cost(engine, target, args.rows, args.step_rows)


if __name__ == "__main__":
    main()
