"""Type information: the stub against the running module, and mypy --strict on the code that
uses it (examples/, the command-line tool, and two samples: one correct, one misusing the API).

mypy runs once per session for the files and once per stub check; its cache lives in pytest's
cache directory when there is one.
"""

import importlib.resources
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
STUB = SRC / "tablora" / "tablora.pyi"
# TypedDicts that exist for type checkers only.
STUB_ONLY = ["tablora.tablora.Connection", "tablora.tablora.IndexEntry", "tablora.tablora.TableIndex", "tablora.tablora.UniqueEntry"]

GOOD = '''\
import sqlite3
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, assert_type

import tablora
import tablora.tablora as T

if TYPE_CHECKING:
    from tablora.tablora import IndexEntry, TableIndex, UniqueEntry


def use(path: str) -> None:
    db = T.DB("sample", path)
    assert_type(db.name, str)
    conn = db.connection()
    assert_type(conn, sqlite3.Connection)
    index: list[IndexEntry] = [{"name": "i", "cols": "a,b"}]
    unique: list[UniqueEntry] = [{"name": "u", "cols": [0, 1]}]
    T.create_table(conn, "t", ["a", "b"], index, unique)
    T.create_table(conn, "t", ("a", "b"), [{"name": "i", "cols": "a"}], [{"name": "u", "cols": (1,)}], False)
    entry: TableIndex = {"table": "t", "name": "j", "cols": "b"}
    T.insert_index(conn, entry, comm=False)
    T.insert_temp(conn, "t", [(1, "x"), [None, 2.5], (b"raw", True)])
    T._insert_main(conn, table="t", rows=[("a", 1)])
    T.delete_row_main(conn, "t", [1, "2,3"])
    T.delete_row_main(conn, "t", {4, 5})
    rows = T.find(conn, "*", "t", "WHERE a > 1")
    assert_type(rows, list[list[Any]])
    verdict = T._check_newest_unique(conn, "t", (1, 1), (1, "a"), {"u": [0]}, ["a"], "rowid,a", {(1, 1)})
    assert_type(verdict, tuple[Literal[True], set[tuple[int, int]]] | tuple[Literal[False], None])
    newest, seen = verdict
    if newest:
        assert seen is not None
        seen.add((0, 2))
    T.temp_to_main(conn, "t")
    T.drop_table_index(conn, "t")
    T.active_table_index(conn, "t", True)
    T.drop_index(conn, "t", "i")
    T.insert_unique(conn, "t", "u", "a,b", "0,1")
    T.drop_unique(conn, "t", "u", comm=False)
    T.drop_table(conn, "t")
    conn.close()


def use_the_layer(path: Path) -> None:
    with tablora.Database(path) as db:
        table = db.create_table("t", {"a": int, "b": "TEXT"}, unique={"u": "a"}, indexes={"i": ["a", "b"]})
        assert_type(table, tablora.Table)
        assert_type(table.stage([(1, "x"), {"a": 2}]), int)
        summary = table.merge(progress=print)
        assert_type(summary.left_out, int)
        for row in table.rows_where("a > ?", [0], select=["b"], order_by="a", limit=5):
            assert_type(row, tablora.Row)
        assert_type(table.get(a=1), tablora.Row)
        assert_type(table.count(), int)
        assert_type(db.table_names(), list[str])


def use_any_target(path: Path) -> None:
    conn = tablora.connect(path)
    T.insert_temp(conn, "t", ((k, "x") for k in range(3)))
    assert_type(T.find(conn, "*", "t", ""), list[list[Any]])
    assert_type(tablora.__version__, str)
    conn.close()
'''

# Each line marked "# E: code" must draw an error with that code; no other line may.
BAD = '''\
import sqlite3

import tablora.tablora as T


def misuse(conn: sqlite3.Connection) -> None:
    T.find("db.sqlite", "*", "t", "")  # E: arg-type
    T.find(conn, "*", "t")  # E: call-arg
    T.temp_to_main(conn, table="t", commit=True)  # E: call-arg
    T.create_table(conn, "t", ["a"], [{"name": "i", "columns": "a"}], [])  # E: typeddict-unknown-key
    T.create_table(conn, "t", ["a"], [], [{"name": "u", "cols": "0"}])  # E: typeddict-item
    T.insert_index(conn, {"name": "i", "cols": "a"})  # E: typeddict-item
    T.insert_temp(conn, "t", [1, 2])  # E: list-item
    T.delete_row_main(conn, "t", [None])  # E: list-item
    rows: list[tuple[int, ...]] = T.find(conn, "*", "t", "")  # E: assignment
    T.DB("x", "p").connection().nonexistent  # E: attr-defined
    T.insert_temp(conn, "t", [{"a": 1}])  # E: list-item
    T.insert_unique(conn, "t", "u", ["a"], "0")  # E: arg-type
    ok, seen = T._check_newest_unique(conn, "t", (1, 1), [1], {"u": [0]}, ["a"], "a", {(1, 1)})
    seen.add((0, 1))  # E: union-attr
'''


def _env():
    env = dict(os.environ, MYPYPATH=str(SRC))
    # Under the sanitizer run the interpreter's own exit-time allocations are no finding.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def _cache_dir(request, tmp_path_factory):
    cache = getattr(request.config, "cache", None)
    return cache.mkdir("mypy") if cache is not None else tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture(scope="module")
def mypy_report(request, tmp_path_factory):
    """One mypy --strict run over examples/, the CLI and both samples: errors by file and line."""
    cache = _cache_dir(request, tmp_path_factory)
    # A fixed place beside the cache: mypy's cache remembers where each module was.
    samples = cache / "samples"
    samples.mkdir(exist_ok=True)
    (samples / "sample_good.py").write_text(GOOD)
    (samples / "sample_bad.py").write_text(BAD)
    (samples / "readme_example.py").write_text(readme_example())
    targets = [
        ROOT / "examples",
        SRC / "tablora" / "cli",
        SRC / "tablora" / "__main__.py",
        samples / "sample_good.py",
        samples / "sample_bad.py",
        samples / "readme_example.py",
    ]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--show-error-codes",
         "--cache-dir", str(cache / "cache"), *map(str, targets)],
        capture_output=True, text=True, env=_env(), cwd=ROOT, timeout=300,
    )  # fmt: skip
    errors = {}
    for line in result.stdout.splitlines():
        found = re.match(r"(.+?):(\d+): error: (.*)", line)
        if found:
            name = Path(found[1]).resolve()
            errors.setdefault(name, []).append((int(found[2]), found[3]))
    assert result.returncode in (0, 1) and not result.stderr.strip(), result.stderr
    return errors, samples


def test_examples_and_cli_pass_mypy_strict(mypy_report):
    errors, samples = mypy_report
    assert list((ROOT / "examples").glob("*.py")), "examples/ holds no script to check"
    ours = {path: found for path, found in errors.items() if path.parent != samples.resolve()}
    assert ours == {}


def test_correct_use_of_the_stub_type_checks(mypy_report):
    errors, samples = mypy_report
    assert errors.get((samples / "sample_good.py").resolve(), []) == []


def readme_example():
    """The README's first Python example: the everyday layer, from a CSV file to named rows."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.search(r"```python\n(.*?)```", readme, flags=re.S)[1]


def test_the_readme_example_passes_mypy_strict(mypy_report):
    errors, samples = mypy_report
    assert "tablora.Database" in readme_example()
    assert errors.get((samples / "readme_example.py").resolve(), []) == []


def test_misuse_of_the_api_is_caught(mypy_report):
    errors, samples = mypy_report
    expected = {
        number: marker.group(1)
        for number, line in enumerate(BAD.splitlines(), 1)
        if (marker := re.search(r"# E: ([\w-]+)$", line))
    }
    found = errors.get((samples / "sample_bad.py").resolve(), [])
    assert {number for number, _ in found} == set(expected), found
    for number, code in expected.items():
        assert any(n == number and message.endswith(f"[{code}]") for n, message in found), (
            number,
            found,
        )


def _stubtest(stub_root, tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(STUB_ONLY) + "\n")
    env = dict(_env(), MYPYPATH=str(stub_root))
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tablora.tablora", "--allowlist", str(allowlist),
         "--mypy-config-file", os.devnull],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )  # fmt: skip


def test_stub_matches_the_running_module(tmp_path):
    result = _stubtest(SRC, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


def test_stub_check_notices_a_stub_out_of_step(tmp_path):
    """The check has teeth: a renamed parameter and a missing function are reported."""
    package = tmp_path / "stubs" / "tablora"
    package.mkdir(parents=True)
    shutil.copy(SRC / "tablora" / "__init__.py", package / "__init__.py")
    stub = STUB.read_text()
    renamed = stub.replace("table: str, conditions: str", "table: str, where: str")
    without = re.sub(r"def drop_unique\(.*?\n\n", "", renamed, flags=re.S)
    assert renamed != stub and without != renamed
    (package / "tablora.pyi").write_text(without)
    result = _stubtest(tmp_path / "stubs", tmp_path)
    assert result.returncode != 0
    assert "tablora.tablora.find" in result.stdout
    assert "tablora.tablora.drop_unique" in result.stdout


def test_the_installed_package_carries_its_type_information():
    package = importlib.resources.files("tablora")
    assert package.joinpath("py.typed").is_file()
    installed = package.joinpath("tablora.pyi").read_text()
    assert "def find(" in installed and "class DB" in installed


@pytest.mark.parametrize("make_path", [str, Path], ids=["str", "Path"])
def test_connect_takes_the_path_types_its_signature_promises(tmp_path, make_path):
    import tablora

    conn = tablora.connect(make_path(tmp_path / "p.db"))
    tables = {name for (name,) in conn.execute("SELECT name FROM sqlite_master")}
    conn.close()
    assert tables == {"index_table", "unique_table"}


def test_the_package_version_is_the_installed_one():
    import importlib.metadata

    import tablora

    assert tablora.__version__ == importlib.metadata.version("tablora")
