"""Drive the tablora command-line tool end to end on 200,000 generated homes.

    python examples/cli_demo.py [DB]        (DB defaults to demo_cli.db)

Writes two CSV files into a temporary directory beside DB, then runs, each as
its own process: create (with indexes and unique rules), stage (a progress bar
shows on a terminal), merge, a second stage of updates, find with --where
across both tiers, merge again and info.
"""

from __future__ import annotations

import csv
import os
import random
import shlex
import subprocess
import sys
import tempfile
import time

ROWS = 200_000
UPDATES = 1_000
SEED = 20240601

FIRST = [
    "Ada", "Alan", "Amir", "Anna", "Ben", "Bita", "Carl", "Cyrus", "Dana", "Dara",
    "Eli", "Emma", "Farid", "Gina", "Hana", "Ian", "Iris", "Jon", "Kian", "Lea",
    "Leo", "Lina", "Mani", "Mira", "Nima", "Nora", "Omid", "Otto", "Pari", "Reza",
    "Rosa", "Sami", "Sara", "Taha", "Tara", "Uma", "Vida", "Yara", "Zane", "Zoe",
]  # fmt: skip
LAST = [
    "Abbot", "Bahar", "Brook", "Cole", "Dale", "Ebadi", "Ford", "Frost", "Gale", "Hart",
    "Hill", "Irani", "Jafari", "Kamali", "Kerr", "Lane", "Lowe", "Mack", "Moss", "Nash",
    "Noor", "Olsen", "Park", "Pike", "Quinn", "Rahimi", "Reed", "Rowe", "Sadeghi", "Shaw",
    "Stone", "Tate", "Tehrani", "Vale", "Vance", "Wade", "Ward", "West", "Yazdi", "Young",
    "Zand", "Amini", "Bell", "Cross", "Drake", "Elms", "Fox", "Grey", "Holt", "Ives",
]  # fmt: skip
TYPES = ["house", "flat", "villa", "cabin", "loft", "studio"]
STREETS = [
    "Main", "Oak", "Pine", "Maple", "Cedar", "Elm", "Lake", "Hill", "Park", "River",
    "Valiasr", "Azadi", "Golestan", "Shiraz", "Tabriz", "Hafez", "Saadi", "Ferdowsi", "Bahar",
    "Niavaran",
]  # fmt: skip
INITIALS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
HEADER = ["name", "type", "address", "age"]


def home(i: int) -> list[object]:
    """Row i: distinct name/type and address for every i below ROWS."""
    j = (i * 7919) % (len(FIRST) * len(INITIALS) * len(LAST) * len(TYPES))
    j, first = divmod(j, len(FIRST))
    j, initial = divmod(j, len(INITIALS))
    kind, last = divmod(j, len(LAST))
    number, street, block = i % 1000 + 1, (i // 1000) % len(STREETS), i // 20_000
    name = f"{FIRST[first]} {INITIALS[initial]}. {LAST[last]}"
    address = f"{number} {STREETS[street]} St, block {block}"
    return [name, TYPES[kind], address, (i * 31) % 100]


def generate(directory: str) -> tuple[str, str, str]:
    """homes.csv (ROWS rows, about 2% of them repeating a key of an earlier row) and
    updates.csv (UPDATES rows, most of them new versions of homes already stored).
    Returns both paths and an address that the updates change."""
    rng = random.Random(SEED)
    rows = [home(i) for i in range(ROWS)]
    for i in range(1, ROWS):
        if rng.random() < 0.02:
            earlier = rows[rng.randrange(i)]
            if rng.random() < 0.5:
                rows[i][0:2] = earlier[0:2]  # same owner and type
            else:
                rows[i][2] = earlier[2]  # same address
    homes = os.path.join(directory, "homes.csv")
    with open(homes, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(HEADER)
        writer.writerows(rows)

    updates_path = os.path.join(directory, "updates.csv")
    updates = []
    for k in range(UPDATES):
        if k % 10 == 9:
            row = home(ROWS + k)  # a new home
        else:
            row = list(rows[rng.randrange(ROWS)])
            row[3] = 100 + k % 20  # same home, a new age
        updates.append(row)
    with open(updates_path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(HEADER)
        writer.writerows(updates)
    return homes, updates_path, str(updates[0][2])


def shown(arg: str) -> str:
    """The argument as a shell would need it, double quotes where they read best."""
    if arg == shlex.quote(arg) or any(c in arg for c in '"$`\\!'):
        return shlex.quote(arg)
    return f'"{arg}"'


def tablora(*args: str) -> None:
    """Run one CLI command as its own process, echoing it first."""
    print("$ tablora " + " ".join(shown(arg) for arg in args), flush=True)
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tablora", *args], check=True)
    print(f"  ({time.perf_counter() - started:.2f} s)\n", flush=True)


def main(argv: list[str]) -> int:
    db = argv[1] if len(argv) > 1 else "demo_cli.db"
    beside = os.path.dirname(os.path.abspath(db))
    with tempfile.TemporaryDirectory(prefix="tablora-demo-", dir=beside) as directory:
        print(f"generating {ROWS:,} homes and {UPDATES:,} updates in {directory}")
        started = time.perf_counter()
        homes, updates, changed = generate(directory)
        print(f"  ({time.perf_counter() - started:.2f} s)\n")
        try:
            tablora(
                "create", db, "homes", "--cols", "name,type,address,age",
                "--index", "index_0=name,type,address", "--index", "index_1=age",
                "--unique", "unique_0=0,1", "--unique", "unique_1=2",
                "--replace",
            )  # fmt: skip
            tablora("stage", db, "homes", homes)
            tablora("merge", db, "homes")
            tablora("stage", db, "homes", updates)
            print("# staged updates win over the main rows they share a key with:")
            tablora("find", db, "homes", "--where", f"address = '{changed}'", "--format", "table")
            tablora(
                "find", db, "homes", "--select", "name,age", "--where", "age >= 118",
                "--order-by", "name", "--limit", "8", "--format", "table",
            )  # fmt: skip
            tablora("merge", db, "homes")
            tablora("info", db)
        except subprocess.CalledProcessError as exc:
            print(f"command failed with exit status {exc.returncode}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
