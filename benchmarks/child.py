"""One measured call in a process of its own.

    python benchmarks/child.py WORKLOAD SIDE DATABASE ROWS

prepares the side ("library" or "baseline") of the workload on DATABASE (a
copy made for this run), measures the call and prints its time and peak
memory as one JSON line.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import memory
import workloads


def main(name: str, side: str, path: str, rows: str) -> None:
    workload = workloads.BY_NAME[name]
    call = getattr(workload, side).prepare(Path(path), int(rows))
    print(json.dumps(memory.measure(call)))


if __name__ == "__main__":
    main(*sys.argv[1:])
