"""Benchmarks: tablora beside what a user would do without it, time and memory.

Every measured call runs in a fresh process (child.py) on a copy of an input
database that this process built once per size (inputs.py); the child reports
the call's time and its peak resident memory above what it held just before
the call (memory.py). Library and baseline runs alternate; medians are kept.

    python benchmarks/run.py            # N = 100k, 1M, 5M; targets judged at 1M (and 5M)
    python benchmarks/run.py --quick    # N = 10k, 100k, 500k; targets judged at 100k (and 500k)
    python benchmarks/run.py --readme   # the tables of the last run, to paste into README.md

Writes results.json, scaling.png and memory.png into --out and prints the tables.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sqlite3
import statistics
import subprocess
import sys
from pathlib import Path

import inputs
import peer_chdb
import plots
import report
import workloads

HERE = Path(__file__).parent
FULL = [100_000, 1_000_000, 5_000_000]
QUICK = [10_000, 100_000, 500_000]


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory_kib = next(int(line.split()[1]) for line in Path("/proc/meminfo").read_text()
                      .splitlines() if line.startswith("MemTotal:"))
    return {"cpu": cpu, "nproc": len(os.sched_getaffinity(0)), "memory_gib": memory_kib / 2**20,
            "python": platform.python_version(), "sqlite": sqlite3.sqlite_version,
            "system": f"{platform.system()} {platform.release()}", "chdb": peer_chdb.version()}


def measure(folder: inputs.Inputs, workload: workloads.Workload, side: str, rows: int) -> dict:
    """One run in a child process on a fresh copy of the side's input."""
    wanted = getattr(workload, side).input(rows)
    with folder.copy(wanted) as path:
        done = subprocess.run([sys.executable, str(HERE / "child.py"), workload.name, side,
                               str(path), str(rows)], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{workload.name} {side} at {rows:,} failed:\n{done.stderr}")
    result: dict = json.loads(done.stdout.splitlines()[-1])
    print(f"  {workload.name:<12} {rows:>10,} {side:<9} {report.seconds(result['seconds']):>10}"
          f" {report.mib(result['peak_bytes']):>12}", file=sys.stderr, flush=True)
    return result


def median_of(runs: list[dict]) -> dict:
    return {"seconds": statistics.median(r["seconds"] for r in runs),
            "peak_bytes": statistics.median(r["peak_bytes"] for r in runs), "runs": runs}


def run_workload(folder: inputs.Inputs, workload: workloads.Workload, sizes: list[int],
                 repeats: dict[int, int]) -> dict:
    points = []
    for rows in sizes:
        runs: dict[str, list[dict]] = {"library": [], "baseline": []}
        for _ in range(repeats[rows]):
            for side in runs:  # alternate, so drift on a shared machine hits both sides
                runs[side].append(measure(folder, workload, side, rows))
        points.append({"rows": rows, **{side: median_of(r) for side, r in runs.items()}})
    return {"library": workload.library.what, "baseline": workload.baseline.what,
            "peer": workload.peer, "points": points}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes a tenth of the full run's")
    parser.add_argument("--sizes", help="comma-separated N, e.g. 1000,10000 (targets at the "
                                        "second largest)")
    parser.add_argument("--repeat", type=int, help="runs per side and size (default 5 below the "
                        "size the targets are judged at, 3 at it, 1 above)")
    parser.add_argument("--only", help="comma-separated workload names")
    parser.add_argument("--no-peer", action="store_true", help="skip the chdb comparison")
    parser.add_argument("--readme", action="store_true",
                        help="print the tables of the last results.json and stop")
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--inputs", help="where input databases are kept (default OUT/inputs)")
    args = parser.parse_args()
    out = Path(args.out)
    if args.readme:
        print(report.full(json.loads((out / "results.json").read_text())))
        return 0

    sizes = ([int(s) for s in args.sizes.split(",")] if args.sizes
             else QUICK if args.quick else FULL)
    sizes.sort()
    reference, large = (sizes[-2] if len(sizes) > 1 else sizes[-1]), sizes[-1]
    # Quick calls are the noisiest on a shared machine and the cheapest to repeat.
    repeats = {n: args.repeat or (5 if n < reference else 3 if n == reference else 1)
               for n in sizes}
    chosen = workloads.WORKLOADS + workloads.PEER
    if args.only:
        chosen = [workloads.BY_NAME[name] for name in args.only.split(",")]
    peer_note = None
    if args.no_peer or peer_chdb.version() is None:
        peer_note = ("The chdb peer was skipped: " +
                     ("--no-peer." if args.no_peer else "chdb is not installed "
                      "(pip install '.[bench]')."))
        chosen = [w for w in chosen if not w.peer]

    folder = inputs.Inputs(Path(args.inputs) if args.inputs else out / "inputs")
    measured = {}
    for workload in chosen:
        print(f"{workload.name}:", file=sys.stderr, flush=True)
        measured[workload.name] = run_workload(folder, workload,
                                               [reference] if workload.peer else sizes, repeats)
    methods = sorted({r["method"] for w in measured.values() for p in w["points"]
                      for side in ("library", "baseline") for r in p[side]["runs"]})
    mode = "custom" if args.sizes else "quick" if args.quick else "full"
    results = {"machine": machine(), "mode": mode, "sizes": sizes,
               "reference": reference, "large": large,
               "repeats": ", ".join(f"{repeats[n]} at {n:,}" for n in sizes),
               "memory_method": " and ".join(methods), "peer_note": peer_note,
               "workloads": measured}
    results["targets"] = report.targets(results)
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.json").write_text(json.dumps(results, indent=2))
    print(report.full(results))
    for path in plots.draw(results, out):
        print(f"\nplot: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
