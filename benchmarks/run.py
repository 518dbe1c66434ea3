"""Benchmarks: the library beside what a user would do without it.

Each workload builds fresh database files (default settings, the same data for
library and baseline), times the library call and its baseline in the same
process, repeats, and reports medians and the ratio library/baseline.

    python benchmarks/run.py [--quick] [--out benchmarks/results]

Writes results.json and scaling.png into the output folder and prints a table.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import sqlite3
import statistics
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from typing import Callable

import tablora.tablora as T

COLS = ["name", "type", "address", "age"]
INDEXES = [{"name": "index_age", "cols": "age"}]
UNIQUES = [{"name": "unique_0", "cols": [0, 1]}, {"name": "unique_1", "cols": [2]}]


def main_rows(n: int) -> list[tuple[object, ...]]:
    return [(f"n{i}", f"t{i % 5}", f"a{i}", i % 100) for i in range(n)]


def staged_rows(n: int, main_n: int) -> list[tuple[object, ...]]:
    """30% of keys collide with main rows, 10% with other staged rows."""
    rows: list[tuple[object, ...]] = []
    for i in range(n):
        if i % 10 < 3 and main_n:
            j = (i * 7919) % main_n  # a main row's keys
            rows.append((f"n{j}", f"t{j % 5}", f"a{j}", 1000 + i % 100))
        elif i % 10 == 3 and i >= 10:
            j = i - 7  # an earlier staged row's keys (i - 7 ends in 6, a fresh row)
            rows.append((f"s{j}", "u", f"b{j}", 2000 + i % 100))
        else:
            rows.append((f"s{i}", "u", f"b{i}", 2000 + i % 100))
    return rows


def hot_rows(n: int, keys: int) -> list[tuple[object, ...]]:
    return [(f"k{i % keys}", "h", f"h{i % keys}", i % 100) for i in range(n)]


class Bench:
    def __init__(self, folder: Path):
        self.folder = folder
        self.count = 0

    def fresh(self) -> sqlite3.Connection:
        self.count += 1
        path = self.folder / f"b{self.count}.db"
        db = T.DB(f"bench-{self.count}-{os.getpid()}", str(path))
        return db.connection()

    def managed(self, main: list, staged: list) -> sqlite3.Connection:
        conn = self.fresh()
        T.create_table(conn, "t", list(COLS), [dict(i) for i in INDEXES],
                       [dict(u) for u in UNIQUES])
        if main:
            T.insert_temp(conn, "t", main)
            T.temp_to_main(conn, "t")
        if staged:
            T.insert_temp(conn, "t", staged)
        return conn

    def plain(self, main: list, unique: bool) -> sqlite3.Connection:
        conn = self.fresh()
        conn.execute("CREATE TABLE p (name,type,address,age)")
        conn.execute("CREATE TABLE temp_p (name,type,address,age)")
        if unique:
            conn.execute("CREATE UNIQUE INDEX p_u0 ON p (name,type)")
            conn.execute("CREATE UNIQUE INDEX p_u1 ON p (address)")
        conn.execute("CREATE INDEX p_age ON p (age)")
        conn.executemany("INSERT INTO p VALUES (?,?,?,?)", main)
        conn.commit()
        return conn


def timed(setup: Callable[[], object], run: Callable[[object], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        state = setup()
        gc.collect()
        start = time.perf_counter()
        run(state)
        times.append(time.perf_counter() - start)
        state.close()  # type: ignore[attr-defined]
    return statistics.median(times)


def peak_memory(setup: Callable[[], object], run: Callable[[object], object]) -> int:
    state = setup()
    gc.collect()
    tracemalloc.start()
    run(state)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    state.close()  # type: ignore[attr-defined]
    return peak


def raw_two_tier(table: str, where: str = "") -> Callable[[sqlite3.Connection], object]:
    def read(conn: sqlite3.Connection) -> object:
        a = conn.execute(f"SELECT rowid,* FROM temp_{table} {where}").fetchall()
        b = conn.execute(f"SELECT rowid,* FROM {table} {where}").fetchall()
        return a, b
    return read


def workloads(bench: Bench, scale: float, repeat: int) -> dict[str, dict]:
    n100k = int(100_000 * scale)
    results: dict[str, dict] = {}

    stage_data = main_rows(n100k)
    lib = timed(lambda: bench.managed([], []),
                lambda c: T.insert_temp(c, "t", stage_data), repeat)
    base = timed(lambda: bench.plain([], False),
                 lambda c: (c.executemany("INSERT INTO temp_p Values (?,?,?,?)", stage_data),
                            c.commit()), repeat)
    results["stage"] = {"rows": n100k, "library": lib, "baseline": base,
                        "baseline_name": "executemany INSERT"}

    main = main_rows(n100k)
    staged = staged_rows(n100k, n100k)
    lib = timed(lambda: bench.managed(main, staged), lambda c: T.temp_to_main(c, "t"), repeat)
    base = timed(lambda: bench.plain(main, True),
                 lambda c: (c.executemany("INSERT OR REPLACE INTO p VALUES (?,?,?,?)", staged),
                            c.commit()), repeat)
    results["merge"] = {"rows": 2 * n100k, "library": lib, "baseline": base,
                        "baseline_name": "INSERT OR REPLACE, one UNIQUE index per rule"}

    main = main_rows(n100k)
    staged = staged_rows(n100k // 10, n100k)
    conn_lib = bench.managed(main, staged)
    lib = statistics.median(
        _once(lambda: T.find(conn_lib, "*", "t", "")) for _ in range(repeat))
    base = statistics.median(_once(lambda: raw_two_tier("t")(conn_lib)) for _ in range(repeat))
    conn_lib.close()
    results["find-all"] = {"rows": n100k + n100k // 10, "library": lib, "baseline": base,
                           "baseline_name": "SELECT rowid,* of both tiers"}

    hot_main = main_rows(n100k // 10)
    hot = hot_rows(n100k // 2, max(1, n100k // 100))
    conn_lib = bench.managed(hot_main, hot)
    lib = statistics.median(_once(lambda: T.find(conn_lib, "*", "t", "")) for _ in range(repeat))
    base = statistics.median(_once(lambda: raw_two_tier("t")(conn_lib)) for _ in range(repeat))
    conn_lib.close()
    results["find-hot"] = {"rows": len(hot) + len(hot_main), "library": lib, "baseline": base,
                           "baseline_name": "SELECT rowid,* of both tiers"}

    sel_staged = staged_rows(max(1, n100k // 100), n100k)
    conn_lib = bench.managed(main, sel_staged)
    where = "WHERE age = 7"
    lib = statistics.median(
        _once(lambda: T.find(conn_lib, "*", "t", where)) for _ in range(repeat * 3))
    base = statistics.median(
        _once(lambda: raw_two_tier("t", where)(conn_lib)) for _ in range(repeat * 3))
    conn_lib.close()
    results["find-selective"] = {"rows": n100k // 100, "library": lib, "baseline": base,
                                 "baseline_name": "the same WHERE on both tiers"}
    return results


def _once(call: Callable[[], object]) -> float:
    gc.collect()
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def scaling(bench: Bench, sizes: list[int], repeat: int) -> dict[str, list[dict]]:
    out: dict[str, list[dict]] = {"find-all": [], "merge": []}
    for n in sizes:
        main = main_rows(n)
        staged = staged_rows(n // 10, n)
        conn = bench.managed(main, staged)
        lib = statistics.median(_once(lambda: T.find(conn, "*", "t", "")) for _ in range(repeat))
        base = statistics.median(_once(lambda: raw_two_tier("t")(conn)) for _ in range(repeat))
        conn.close()
        out["find-all"].append({"rows": n + n // 10, "library": lib, "baseline": base})

        staged = staged_rows(n, n)
        lib = timed(lambda: bench.managed(main, staged), lambda c: T.temp_to_main(c, "t"), repeat)
        base = timed(lambda: bench.plain(main, True),
                     lambda c: (c.executemany("INSERT OR REPLACE INTO p VALUES (?,?,?,?)", staged),
                                c.commit()), repeat)
        out["merge"].append({"rows": 2 * n, "library": lib, "baseline": base})
    return out


def memory(bench: Bench, n: int) -> dict[str, int]:
    main = main_rows(n)
    merge_peak = peak_memory(lambda: bench.managed(main, staged_rows(n, n)),
                             lambda c: T.temp_to_main(c, "t"))
    conn = bench.managed(main, staged_rows(n // 10, n))
    find_peak = peak_memory(lambda: conn, lambda c: T.find(c, "*", "t", ""))
    return {"rows": n, "merge_peak_bytes": merge_peak, "find_all_peak_bytes": find_peak}


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, "
            f"SQLite {sqlite3.sqlite_version}, {platform.system()} {platform.release()}")


def plot(scale_results: dict[str, list[dict]], path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, ax = plt.subplots(figsize=(7, 5))
    styles = {"find-all": "o", "merge": "s"}
    for name, points in scale_results.items():
        rows = [p["rows"] for p in points]
        ax.plot(rows, [p["library"] for p in points], marker=styles[name], label=f"{name}: tablora")
        ax.plot(rows, [p["baseline"] for p in points], marker=styles[name], linestyle="--",
                label=f"{name}: baseline")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rows handled")
    ax.set_ylabel("seconds (median)")
    ax.set_title("tablora against plain SQLite")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


TARGETS = {"stage": ("rows/s >= 0.9x", lambda r: r["baseline"] / r["library"] >= 0.9),
           "merge": ("time <= 1.0x", lambda r: r["library"] / r["baseline"] <= 1.0),
           "find-all": ("time <= 2x", lambda r: r["library"] / r["baseline"] <= 2.0),
           "find-hot": ("time <= 2x", lambda r: r["library"] / r["baseline"] <= 2.0),
           "find-selective": ("time <= 5x", lambda r: r["library"] / r["baseline"] <= 5.0)}


def report(results: dict, scale_results: dict, mem: dict) -> str:
    lines = ["| workload | rows | tablora (ms) | baseline (ms) | ratio | target | met |",
             "|---|---:|---:|---:|---:|---|---|"]
    for name, r in results.items():
        target, check = TARGETS[name]
        lines.append(f"| {name} | {r['rows']:,} | {r['library'] * 1e3:.1f} | "
                     f"{r['baseline'] * 1e3:.1f} | {r['library'] / r['baseline']:.2f} | "
                     f"{target} | {'yes' if check(r) else 'NO'} |")
    for name, points in scale_results.items():
        series = ", ".join(f"{p['rows']:,}: {p['library'] * 1e3:.0f} ms" for p in points)
        growth = points[-1]["library"] / points[-2]["library"] if len(points) > 1 else 1.0
        lines.append(f"\nscaling {name}: {series}; last step x{growth:.2f} (target <= 3.5)")
    lines.append(f"\npeak traced memory at {mem['rows']:,} rows: merge "
                 f"{mem['merge_peak_bytes'] / 2**20:.0f} MiB, find-all "
                 f"{mem['find_all_peak_bytes'] / 2**20:.0f} MiB")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the sizes, one repeat")
    parser.add_argument("--out", default=str(Path(__file__).parent / "results"))
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    scale = 0.1 if args.quick else 1.0
    repeat = 1 if args.quick else 3
    sizes = [int(s * scale) for s in (10_000, 30_000, 100_000, 300_000)]
    with tempfile.TemporaryDirectory() as folder:
        bench = Bench(Path(folder))
        results = workloads(bench, scale, repeat)
        scale_results = scaling(bench, sizes, repeat)
        mem = memory(bench, sizes[-1])
    text = report(results, scale_results, mem)
    print(f"machine: {machine()}\n")
    print(text)
    (out / "results.json").write_text(json.dumps(
        {"machine": machine(), "workloads": results, "scaling": scale_results, "memory": mem},
        indent=2))
    if plot(scale_results, out / "scaling.png"):
        print(f"\nplot: {out / 'scaling.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
