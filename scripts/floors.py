"""The extension's floors: each folder of src/tablora includes only its own files and those
of the floors beneath it, and no file's includes run in a circle.

    python scripts/floors.py    prints every include that runs up or sideways, and every
                                circle; exit status 1 if any
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent / "src" / "tablora"
# From the ground up; folders on one floor do not include each other.
FLOORS = {"base": 0, "sql": 1, "tables": 2, "query": 2, "core": 3}
INCLUDE = re.compile(r'^#include "([\w/.]+)"', flags=re.M)


def includes() -> dict[str, list[str]]:
    """File (folder/name) -> the files it includes, for every C++ file of the floors."""
    return {
        f"{path.parent.name}/{path.name}": INCLUDE.findall(path.read_text(encoding="utf-8"))
        for folder in FLOORS
        for path in sorted((SOURCE / folder).glob("*.[ch]pp"))
    }


def wrong_ways(graph: dict[str, list[str]]) -> list[str]:
    found = []
    for source, targets in graph.items():
        here = source.split("/")[0]
        for target in targets:
            there = target.split("/")[0]
            if there not in FLOORS:
                found.append(f"{source}: {target} is in no floor")
            elif there != here and FLOORS[there] >= FLOORS[here]:
                way = "up" if FLOORS[there] > FLOORS[here] else "sideways"
                found.append(f"{source}: {target} runs {way}")
    return found


def circles(graph: dict[str, list[str]]) -> list[str]:
    found: list[str] = []
    done: set[str] = set()
    path: list[str] = []

    def visit(node: str) -> None:
        if node in path:
            found.append(" -> ".join(path[path.index(node):] + [node]))
            return
        if node in done:
            return
        path.append(node)
        for target in graph.get(node, []):
            visit(target)
        path.pop()
        done.add(node)

    for node in graph:
        visit(node)
    return found


def main() -> int:
    graph = includes()
    found = wrong_ways(graph) + circles(graph)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
