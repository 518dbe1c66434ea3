"""The command-line tool, driven as a subprocess (`python -m tablora`) the way a user runs it."""

import contextlib
import csv
import io
import json
import os
import pty
import re
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tablora.tablora as T
from reference import Tables
from support import HOMES_COLS as COLS, homes_index, homes_unique
from tablora import Database, _merge, cli, connect
from tablora.readers import infer


def child_env():
    """The environment of a tool run. Under the sanitizer run, memory errors still abort the
    child, but the interpreter's own exit-time allocations are not reported as leaks."""
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def tablora(*args, cwd, stdin=None, input=None):
    """One run of the tool with stdout and stderr captured (so neither is a terminal)."""
    return subprocess.run(
        [sys.executable, "-m", "tablora", *map(str, args)],
        env=child_env(),
        cwd=cwd,
        input=input,
        stdin=stdin,
        capture_output=True,
        text=True,
        timeout=60,
    )


def on_pty(*args, cwd, stream="stderr", stdin=None):
    """Run the tool with `stream` attached to a pseudo-terminal; returns (rc, stdout, tty text)."""
    leader, follower = pty.openpty()
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    pipes[stream] = follower
    proc = subprocess.Popen(
        [sys.executable, "-m", "tablora", *map(str, args)],
        env=child_env(),
        cwd=cwd,
        stdin=stdin,
        **pipes,
    )
    os.close(follower)
    seen = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 30)
        if not ready:
            break
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        seen += chunk
    os.close(leader)
    other = proc.stdout if stream == "stderr" else proc.stderr
    rest = other.read().decode()
    proc.wait(timeout=30)
    return proc.returncode, rest, seen.decode()


def one_line_error(result, status=1):
    """Bad input: the given exit status, nothing on stdout, one line on stderr, no traceback."""
    assert result.returncode == status, result
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    assert result.stderr.endswith("\n") and result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith("tablora")
    return result.stderr


def make_homes(path, *, rules=True, staged=(), main=()):
    """A homes table made with the library; rules: unique_0 = (name, type), unique_1 = address."""
    conn = connect(str(path))
    T.create_table(conn, "homes", list(COLS), homes_index(), homes_unique() if rules else [])
    if main:
        T._insert_main(conn, "homes", list(main))
    if staged:
        T.insert_temp(conn, "homes", list(staged))
    conn.close()
    return path


def rows_of(path, table, columns="name,type,address,age"):
    with contextlib.closing(sqlite3.connect(path)) as conn:
        return conn.execute(f"SELECT {columns} FROM {table} ORDER BY rowid").fetchall()


@pytest.fixture
def homes_db(tmp_path):
    return make_homes(tmp_path / "h.db")


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


# ---- create -----------------------------------------------------------------------------


def test_create_makes_both_tiers_indexes_and_rules(tmp_path):
    result = tablora(
        "create", "new.db", "homes", "--cols", "name, type,address,age",
        "--index", "index_0=name,type,address", "--index", "by_age=AGE",
        "--unique", "unique_0=0,1", "--unique", "by_place=address,name",
        cwd=tmp_path,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert "created homes (name, type, address, age)" in result.stdout
    with contextlib.closing(sqlite3.connect(tmp_path / "new.db")) as conn:
        for table in ("homes", "temp_homes"):
            assert [r[1] for r in conn.execute(f"PRAGMA table_info({table})")] == COLS
        assert sorted(conn.execute("SELECT * FROM index_table")) == [
            ("homes", "by_age", "age"),
            ("homes", "by_place", "address,name"),
            ("homes", "index_0", "name,type,address"),
            ("homes", "unique_0", "name,type"),
        ]
        assert sorted(conn.execute("SELECT * FROM unique_table")) == [
            ("homes", "by_place", "address,name", "2,0"),
            ("homes", "unique_0", "name,type", "0,1"),
        ]
        built = {n for (n,) in conn.execute("SELECT name FROM sqlite_master WHERE type='index'")}
        assert built == {"homes_by_age", "homes_by_place", "homes_index_0", "homes_unique_0"}


def test_create_keeps_an_existing_table_unless_replace(tmp_path):
    db = make_homes(tmp_path / "h.db", main=[("a", "t", "x", 1)])
    refused = one_line_error(tablora("create", db, "homes", "--cols", "a,b", cwd=tmp_path))
    assert "already exists" in refused and "--replace" in refused
    assert rows_of(db, "homes") == [("a", "t", "x", 1)]

    result = tablora("create", db, "homes", "--cols", "a,b", "--replace", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert rows_of(db, "homes", "a,b") == []
    with contextlib.closing(sqlite3.connect(db)) as conn:
        assert conn.execute("SELECT count(*) FROM index_table").fetchone() == (0,)
        assert conn.execute("SELECT count(*) FROM unique_table").fetchone() == (0,)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--cols", "a,b,a"], "column 'a' is listed twice"),
        (["--cols", "a,,b"], "column names are non-empty texts, not ''"),
        (["--cols", "a,b", "--index", "i=a,c"], "index 'i': table 'homes' has no column 'c'"),
        (["--cols", "a,b", "--index", "i"], "--index expects NAME=VALUE"),
        (["--cols", "a,b", "--unique", "u=2"], "position 2 is past the last column"),
        (["--cols", "a,b", "--unique", "u=-1"], "has no column '-1'"),
        (["--cols", "a,b", "--unique", "u=a", "--index", "U=b"], "names both a unique rule and an index"),
        (["--cols", "a,b", "--unique", "1u=a"], "unique rule name '1u' must be letters"),
        (["--cols", "a,b", "--type", "b=date"], "column 'b': unknown type 'date'"),
        (["--cols", "a,b", "--type", "c=int"], "--type: unknown column 'c'"),
    ],
)
def test_create_refuses_bad_definitions_and_leaves_no_file(tmp_path, args, message):
    error = one_line_error(tablora("create", "x.db", "homes", *args, cwd=tmp_path))
    assert message in error
    assert not (tmp_path / "x.db").exists()


@pytest.mark.parametrize("table", ["index_table", "sqlite_x", "temp homes", "1homes"])
def test_create_refuses_reserved_and_invalid_table_names(tmp_path, table):
    error = one_line_error(tablora("create", "x.db", table, "--cols", "a", cwd=tmp_path))
    assert repr(table) in error


# ---- stage: inputs -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("field", "stored"),
    [
        ("42", 42), ("-7", -7), ("0", 0), ("3.5", 3.5), ("-.5", -0.5), ("1e3", 1000.0),
        ("2.5E-1", 0.25), ("007", "007"), ("+1", "+1"), ("", ""), ("abc", "abc"), ("-", "-"),
        (".", "."), ("1.2.3", "1.2.3"), ("12ab", "12ab"), ("9223372036854775807", 2**63 - 1),
        ("9223372036854775808", "9223372036854775808"), ("1e999", "1e999"), (" 1", " 1"),
        ("inf", "inf"), ("nan", "nan"),
    ],
)  # fmt: skip
def test_infer_turns_only_plain_numeric_literals_into_numbers(field, stored):
    value = infer(field)
    assert value == stored and type(value) is type(stored)


def test_stage_csv_maps_the_header_to_columns_and_stores_numbers(tmp_path, homes_db):
    source = write(tmp_path / "in.csv", 'AGE,name,address\n41,ann,"1 Main St, flat 2"\n\n7.5,bob,x\n')
    result = tablora("stage", homes_db, "homes", source, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert re.match(r"staged 2 rows from .*in\.csv into temp_homes in [\d.]+ s", result.stdout)
    assert rows_of(homes_db, "temp_homes") == [
        ("ann", None, "1 Main St, flat 2", 41),
        ("bob", None, "x", 7.5),
    ]
    assert rows_of(homes_db, "temp_homes", "typeof(age)") == [("integer",), ("real",)]


def test_stage_as_text_and_no_header(tmp_path, homes_db):
    source = write(tmp_path / "in.csv", "ann,house,1 Main St,041\nbob,flat,2 Oak St,41\n")
    result = tablora("stage", homes_db, "homes", source, "--no-header", "--as-text", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert rows_of(homes_db, "temp_homes") == [
        ("ann", "house", "1 Main St", "041"),
        ("bob", "flat", "2 Oak St", "41"),
    ]


def test_stage_reads_tsv_and_json_lines_by_extension(tmp_path, homes_db):
    write(tmp_path / "a.tsv", "name\ttype\taddress\tage\nann\thouse\t1, Main St\t30\n")
    write(
        tmp_path / "b.jsonl",
        '{"name": "bob", "type": "flat", "address": "2 Oak St", "age": 41}\n'
        "\n"
        '["cy", "loft", "3 Elm St", null]\n'
        '{"name": "di", "age": true}\n',
    )
    write(tmp_path / "c.ndjson", '["ed", "cabin", "4 Lake Rd", 2.5]\n')
    for name in ("a.tsv", "b.jsonl", "c.ndjson"):
        result = tablora("stage", homes_db, "homes", name, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    assert rows_of(homes_db, "temp_homes") == [
        ("ann", "house", "1, Main St", 30),
        ("bob", "flat", "2 Oak St", 41),
        ("cy", "loft", "3 Elm St", None),
        ("di", None, None, 1),
        ("ed", "cabin", "4 Lake Rd", 2.5),
    ]


@pytest.mark.parametrize(
    ("text", "options", "expected"),
    [
        ("name,age\nann,3\n", [], [("ann", None, None, 3)]),
        ("\ufeffname,age\nann,3\n", [], [("ann", None, None, 3)]),
        ('  {"name": "ann", "age": 3}\n', [], [("ann", None, None, 3)]),
        ('["ann", "t", "a", 3]\n', [], [("ann", "t", "a", 3)]),
        ("ann\tt\ta\t3\n", ["--format", "tsv", "--no-header"], [("ann", "t", "a", 3)]),
    ],
)
def test_stage_from_stdin_sniffs_or_takes_the_format(tmp_path, homes_db, text, options, expected):
    result = tablora("stage", homes_db, "homes", "-", *options, cwd=tmp_path, input=text)
    assert result.returncode == 0, result.stderr
    assert "from <stdin>" in result.stdout
    assert rows_of(homes_db, "temp_homes") == expected


def test_stage_calls_insert_temp_in_batches_and_commits_once(tmp_path, monkeypatch, capsys):
    db = make_homes(tmp_path / "h.db")
    write(tmp_path / "in.csv", "name,type,address,age\n" + "".join(f"n{i},t,a{i},{i}\n" for i in range(5)))
    calls = []
    real = T.insert_temp

    def spy(conn, table, rows, comm=True):
        calls.append((table, len(rows), comm, conn.in_transaction))
        real(conn, table, rows, comm)

    monkeypatch.setattr(T, "insert_temp", spy)
    assert cli.main(["stage", str(db), "homes", str(tmp_path / "in.csv"), "--batch-size", "2"]) == 0
    # The first batch opens the transaction; later ones run inside it; nothing commits early.
    assert calls == [("homes", 2, False, False), ("homes", 2, False, True), ("homes", 1, False, True)]
    assert len(rows_of(db, "temp_homes")) == 5
    assert "staged 5 rows" in capsys.readouterr().out


# ---- stage: bad input ----------------------------------------------------------------------

GOOD = "ann,house,1 Main St,30\n"


@pytest.mark.parametrize(
    ("name", "text", "message"),
    [
        ("q.csv", f"name,type,address,age\n{GOOD}{GOOD}bob,\"flat\"x,2,3\n", r"q\.csv:4: malformed CSV row"),
        ("q.csv", f"name,type,address,age\n{GOOD}{GOOD}bob,\"flat,2,3\n", r"q\.csv:\d+: malformed CSV row"),
        ("q.csv", f"name,type,address,age\n{GOOD}{GOOD}bob,flat,2\n", r"q\.csv:4: expected 4 fields, got 3"),
        ("q.csv", f"name,age\n{GOOD}", r"q\.csv:2: expected 2 fields, got 4"),
        ("q.csv", f"{GOOD}{GOOD}{GOOD}", r"q\.csv:1: unknown column 'ann' in the header"),
        ("q.csv", f"name,type,address,age,extra\n{GOOD}", r"q\.csv:1: unknown column 'extra'"),
        ("q.csv", f"name,name\n{GOOD}", r"q\.csv:1: column 'name' appears twice"),
        ("q.jsonl", '{"name": "a"}\n{"name": "b"}\n{"name": "c"\n', r"q\.jsonl:3: invalid JSON"),
        ("q.jsonl", '{"name": "a"}\n{"nom": "b"}\n', r"q\.jsonl:2: unknown column 'nom'"),
        ("q.jsonl", '["a", "b", "c", 1]\n["a", "b", "c"]\n', r"q\.jsonl:2: expected 4 values .*got 3"),
        ("q.jsonl", '{"name": "a"}\n{"name": {"first": "b"}}\n', r"q\.jsonl:2: value of 'name' is a JSON dict"),
        ("q.jsonl", '{"name": "a"}\n42\n', r"q\.jsonl:2: expected a JSON object or array per line"),
        ("q.jsonl", '{"name": "a"}\n{"age": 99999999999999999999}\n', r"q\.jsonl:2: .* does not fit in 64 bits"),
    ],
)  # fmt: skip
def test_stage_reports_the_bad_line_and_stages_nothing(tmp_path, homes_db, name, text, message):
    write(tmp_path / name, text)
    # Batches of one row: earlier rows were inserted before the failure, and are rolled back.
    error = one_line_error(tablora("stage", homes_db, "homes", name, "--batch-size", "1", cwd=tmp_path))
    assert re.search(message, error), error
    assert error.rstrip().endswith("nothing was staged")
    assert rows_of(homes_db, "temp_homes") == []


LATIN = "name;type;address;age\n" + "ann;h;a;1\n" * 3000 + "Jos\xe9;h;b;2\n"


@pytest.mark.parametrize("name", ["latin.csv", "-"])
def test_stage_names_the_line_that_is_not_utf8_and_offers_encoding(tmp_path, homes_db, name):
    (tmp_path / "latin.csv").write_bytes(LATIN.encode("latin-1"))
    with open(tmp_path / "latin.csv", "rb") as stdin:
        error = one_line_error(tablora("stage", homes_db, "homes", name, "--format", "csv",
                                       "--delimiter", ";", cwd=tmp_path, stdin=stdin))
    where = "latin.csv:3002" if name != "-" else "<stdin>"
    assert f"{where}: input is not UTF-8 text" in error and "--encoding" in error
    assert rows_of(homes_db, "temp_homes") == []


@pytest.mark.parametrize("encoding", ["latin-1", "utf-16", "utf-32"])
@pytest.mark.parametrize("name", ["in.csv", "-"])
def test_stage_suggests_the_encoding_that_fits(tmp_path, homes_db, encoding, name):
    (tmp_path / "in.csv").write_bytes(LATIN.encode(encoding))  # utf-16 and utf-32 with a BOM
    with open(tmp_path / "in.csv", "rb") as stdin:
        error = one_line_error(tablora("stage", homes_db, "homes", name, "--format", "csv",
                                       "--delimiter", ";", cwd=tmp_path, stdin=stdin))
    assert f"name its encoding with --encoding, e.g. --encoding {encoding};" in error


@pytest.mark.parametrize("options", [["--encoding", "latin-1"], ["--encoding", "cp1252"]])
def test_stage_reads_the_encoding_and_delimiter_given(tmp_path, homes_db, options):
    (tmp_path / "latin.csv").write_bytes(LATIN.encode("latin-1"))
    result = tablora("stage", homes_db, "homes", "latin.csv", "--delimiter", ";", *options,
                     cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert rows_of(homes_db, "temp_homes")[-1] == ("Jos\xe9", "h", "b", 2)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["missing.csv"], "input file not found: missing.csv"),
        (["data.txt"], "cannot tell the format of 'data.txt'"),
        (["."], "is a directory"),
    ],
)
def test_stage_refuses_unusable_input_files(tmp_path, homes_db, args, message):
    write(tmp_path / "data.txt", "name\nann\n")
    assert message in one_line_error(tablora("stage", homes_db, "homes", *args, cwd=tmp_path))


# ---- stage: progress -----------------------------------------------------------------------


@pytest.fixture
def big_csv(tmp_path):
    return write(
        tmp_path / "big.csv",
        "name,type,address,age\n" + "".join(f"n{i},t,a{i},{i % 90}\n" for i in range(3000)),
    )


def test_stage_draws_progress_on_a_terminal(tmp_path, homes_db, big_csv):
    status, out, tty = on_pty("stage", homes_db, "homes", big_csv, "--batch-size", "100", cwd=tmp_path)
    assert status == 0
    assert "staged 3,000 rows" in out
    frames = [frame for frame in tty.split("\r") if "rows/s" in frame]
    assert frames, tty
    assert re.search(r"staging homes .*\d+%\s+.*rows\s+[\d,]+ rows/s", frames[0])
    assert "100%" in frames[-1] and "3,000 rows" in frames[-1]
    assert tty.endswith("\r\x1b[K")  # the bar is cleared before the summary


def test_stage_progress_without_a_known_size_shows_rows_and_rate(tmp_path, homes_db, big_csv):
    with open(big_csv, "rb") as source:
        feeder = subprocess.Popen(["cat"], stdin=source, stdout=subprocess.PIPE, env=child_env())
        status, out, tty = on_pty("stage", homes_db, "homes", "-", cwd=tmp_path, stdin=feeder.stdout)
        feeder.stdout.close()
        feeder.wait()
    assert status == 0 and "staged 3,000 rows from <stdin>" in out
    assert "rows/s" in tty and "%" not in tty


@pytest.mark.parametrize("options", [["--no-progress"]])
def test_stage_progress_can_be_turned_off(tmp_path, homes_db, big_csv, options):
    status, out, tty = on_pty("stage", homes_db, "homes", big_csv, *options, cwd=tmp_path)
    assert status == 0 and "staged 3,000 rows" in out
    assert tty == ""


def test_stage_draws_nothing_when_piped(tmp_path, homes_db, big_csv):
    result = tablora("stage", homes_db, "homes", big_csv, "--batch-size", "100", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr == ""
    assert result.stdout.count("\n") == 1 and "\r" not in result.stdout


# ---- merge ---------------------------------------------------------------------------------


def test_merge_reports_staged_inserted_replaced_and_left_out(tmp_path):
    db = make_homes(
        tmp_path / "h.db",
        main=[
            ("ann", "house", "1 Main St", 30),  # replaced: same name and type as a staged row
            ("bob", "flat", "2 Oak St", 40),  # replaced: same address as a staged row
            ("cy", "loft", "3 Elm St", 50),  # untouched
            ("gil", "villa", "9 Lake Rd", 60),  # replaced: two staged rows have its address
        ],
        staged=[
            ("dan", "villa", "9 Lake Rd", 1),  # left out: a newer staged row has its address
            ("ann", "house", "5 New St", 31),
            ("eve", "cabin", "2 Oak St", 41),
            ("fay", "villa", "9 Lake Rd", 2),
        ],
    )
    result = tablora("merge", db, "homes", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert re.fullmatch(
        r"merged homes in [\d.]+ s: 4 staged, 3 inserted, 3 replaced, 1 left out "
        r"\(older duplicates\); 4 rows in homes\n",
        result.stdout,
    ), result.stdout
    assert sorted(rows_of(db, "homes")) == [
        ("ann", "house", "5 New St", 31),
        ("cy", "loft", "3 Elm St", 50),
        ("eve", "cabin", "2 Oak St", 41),
        ("fay", "villa", "9 Lake Rd", 2),
    ]
    assert rows_of(db, "temp_homes") == []
    again = tablora("merge", db, "homes", cwd=tmp_path)
    assert "0 staged, 0 inserted, 0 replaced, 0 left out" in again.stdout


values = st.one_of(st.integers(0, 2), st.none())
table_rows = st.lists(st.tuples(values, values, values), max_size=8)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    main=table_rows,
    staged=table_rows,
    rules=st.lists(st.lists(st.integers(0, 2), min_size=1, max_size=2, unique=True), max_size=2),
)
def test_merge_counts_match_what_the_merge_does(main, staged, rules):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "m.db")
        conn = connect(path)
        unique = [{"name": f"r{k}", "cols": rule} for k, rule in enumerate(rules)]
        T.create_table(conn, "t", ["a", "b", "c"], [], unique)
        T._insert_main(conn, "t", main)
        T.insert_temp(conn, "t", staged)
        conn.close()
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            assert cli.main(["merge", path, "t"]) == 0
    model = Tables(3, {f"r{k}": rule for k, rule in enumerate(rules)},
                   main=enumerate(main, 1), staged=enumerate(staged, 1))
    replaced, survivors = model.merge()
    replaced, inserted = len(replaced), len(survivors)
    expected = (
        f"{len(staged)} staged, {inserted} inserted, {replaced} replaced, "
        f"{len(staged) - inserted} left out (older duplicates); "
        f"{len(main) - replaced + inserted} row{'' if len(main) - replaced + inserted == 1 else 's'} in t"
    )
    assert expected in out.getvalue()


def test_merge_counts_what_it_read_while_another_connection_stages(tmp_path, monkeypatch, capsys):
    db = make_homes(tmp_path / "c.db", main=[("ann", "house", "1 Main St", 30),
                                             ("bob", "flat", "2 Oak St", 40)],
                    staged=[("ann", "house", "5 New St", 31), ("cy", "loft", "3 Elm St", 50),
                            ("dan", "villa", "9 Lake Rd", 1)])
    merge = _merge.merge

    def after_another_stager(conn, table, **options):
        with contextlib.closing(sqlite3.connect(db)) as other, other:
            other.executemany("INSERT INTO temp_homes VALUES (?,?,?,?)",
                              [("eve", "cabin", "2 Oak St", 41), ("fay", "villa", "9 Lake Rd", 2)])
        return merge(conn, table, **options)

    monkeypatch.setattr(_merge, "merge", after_another_stager)
    assert cli.main(["merge", str(db), "homes"]) == 0
    assert "5 staged, 4 inserted, 2 replaced, 1 left out" in capsys.readouterr().out


def test_ctrl_c_while_the_merge_commits_says_that_it_committed(tmp_path, monkeypatch, capsys):
    db = make_homes(tmp_path / "i.db", staged=[("ann", "house", "5 New St", 31)])
    statements = []  # list.append is C: the signal is not taken inside the trace callback

    def traced(target, **options):
        conn = connect(target, **options)
        conn.set_trace_callback(statements.append)
        return conn

    monkeypatch.setattr("tablora.connect", traced)
    reader = sqlite3.connect(db, isolation_level=None, check_same_thread=False)
    reader.execute("BEGIN")  # keeps the merge's COMMIT waiting until the signal has arrived
    reader.execute("SELECT count(*) FROM homes").fetchall()

    def interrupt_the_commit():
        deadline = time.monotonic() + 10
        while "COMMIT" not in statements and time.monotonic() < deadline:
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.2)
        reader.execute("COMMIT")

    threading.Thread(target=interrupt_the_commit, daemon=True).start()
    assert cli.main(["merge", str(db), "homes"]) == 130
    assert capsys.readouterr().err == "\ntablora: interrupted after the merge had committed its work\n"
    assert rows_of(db, "homes") == [("ann", "house", "5 New St", 31)]
    reader.close()


# ---- find ----------------------------------------------------------------------------------


@pytest.fixture
def mixed_db(tmp_path):
    """Main rows, and a staged row that supersedes one of them."""
    return make_homes(
        tmp_path / "m.db",
        main=[("ann", "house", "1 Main St", 30), ("bob", "flat", "2 Oak St", None)],
        staged=[("ann", "house", "1 Main St", 31)],
    )


def test_find_prints_csv_when_piped_with_the_newest_row_winning(tmp_path, mixed_db):
    result = tablora("find", mixed_db, "homes", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert list(csv.reader(io.StringIO(result.stdout))) == [
        COLS,
        ["ann", "house", "1 Main St", "31"],
        ["bob", "flat", "2 Oak St", ""],
    ]


def test_find_json_and_jsonl_keep_types_and_null(tmp_path, mixed_db):
    found = tablora("find", mixed_db, "homes", "--select", "age, name", "--format", "json", cwd=tmp_path)
    assert json.loads(found.stdout) == [{"age": 31, "name": "ann"}, {"age": None, "name": "bob"}]
    lines = tablora("find", mixed_db, "homes", "--select", "name", "--format", "jsonl", cwd=tmp_path)
    assert [json.loads(line) for line in lines.stdout.splitlines()] == [{"name": "ann"}, {"name": "bob"}]


def test_find_where_order_by_and_limit(tmp_path):
    db = make_homes(
        tmp_path / "w.db",
        rules=False,
        main=[(f"n{i}", "t", f"a{i}", i) for i in range(10)],
        staged=[("s", "t", "a", 100)],
    )
    result = tablora(
        "find", db, "homes", "--select", "name", "--where", "age >= 5",
        "--order-by", "age DESC", "--limit", "4", "--format", "csv", cwd=tmp_path,
    )  # fmt: skip
    assert result.stdout.split() == ["name", "s", "n9", "n8", "n7"]


def test_find_table_is_aligned_and_the_default_on_a_terminal(tmp_path, mixed_db):
    status, _, screen = on_pty("find", mixed_db, "homes", cwd=tmp_path, stream="stdout")
    assert status == 0
    lines = screen.replace("\r\n", "\n").rstrip("\n").split("\n")
    assert lines[0].split() == COLS
    assert set(lines[1].replace(" ", "")) == {"-"}
    assert lines[2:] == ["ann   house  1 Main St    31", "bob   flat   2 Oak St   NULL", "(2 rows)"]
    # Text columns start where their header starts; numbers end where theirs ends.
    assert lines[0].index("address") == lines[2].index("1 Main St")
    assert len(lines[0]) == len(lines[3])
    piped = tablora("find", mixed_db, "homes", "--format", "table", cwd=tmp_path)
    assert piped.stdout.splitlines() == lines


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--select", "name,nope"], "--select: unknown column 'nope'"),
        (["--select", "name,NAME"], "selected twice"),
        (["--select", "name, nope"], "--select: unknown column 'nope'"),
        (["--where", "nope = 1"], "SQLite: no such column: nope"),
        (["--where", "age >"], "SQLite: "),
    ],
)
def test_find_refuses_bad_queries(tmp_path, mixed_db, args, message):
    assert message in one_line_error(tablora("find", mixed_db, "homes", *args, cwd=tmp_path))


def test_find_stops_quietly_when_the_reader_goes_away(tmp_path):
    db = make_homes(tmp_path / "b.db", rules=False, main=[(f"n{i}", "t", "a" * 50, i) for i in range(20000)])
    proc = subprocess.Popen(
        [sys.executable, "-m", "tablora", "find", db, "homes"],
        env=child_env(),
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout.readline() == b"name,type,address,age\n"
    proc.stdout.close()
    error = proc.stderr.read().decode()
    proc.wait(timeout=30)
    assert proc.returncode in (0, 141)
    assert "Traceback" not in error and "Error" not in error


# ---- info ----------------------------------------------------------------------------------


def test_info_lists_managed_tables_with_counts(tmp_path, mixed_db):
    conn = connect(str(mixed_db))
    T.create_table(conn, "plain", ["a"], [], [])
    conn.execute("CREATE TABLE not_managed (x)")
    T.drop_table_index(conn, "plain")
    T.drop_index(conn, "homes", "index_1")
    conn.execute("DROP INDEX homes_index_0")  # registered, but not built
    conn.commit()
    conn.close()
    text = tablora("info", mixed_db.name, cwd=tmp_path)
    assert text.returncode == 0, text.stderr
    assert text.stdout.splitlines() == [
        "m.db: 2 managed tables",
        "",
        "homes",
        "  columns  name, type, address, age",
        "  indexes  index_0 (name,type,address) [not built], unique_0 (name,type), unique_1 (address)",
        "  unique   unique_0 (name,type), unique_1 (address)",
        "  rows     1 staged, 2 main",
        "",
        "plain",
        "  columns  a",
        "  indexes  -",
        "  unique   -",
        "  rows     0 staged, 0 main",
    ]
    one = json.loads(tablora("info", "m.db", "homes", "--format", "json", cwd=tmp_path).stdout)
    assert one["database"] == "m.db"
    [homes] = one["tables"]
    assert homes["staged"] == 1 and homes["main"] == 2
    assert homes["unique"] == [
        {"name": "unique_0", "cols": "name,type", "col_num": "0,1"},
        {"name": "unique_1", "cols": "address", "col_num": "2"},
    ]
    assert {i["name"]: i["built"] for i in homes["indexes"]} == {
        "index_0": False,
        "unique_0": True,
        "unique_1": True,
    }


def test_info_on_a_database_without_managed_tables(tmp_path):
    with contextlib.closing(sqlite3.connect(tmp_path / "e.db")) as conn:
        conn.execute("CREATE TABLE other (x)")
    result = tablora("info", "e.db", cwd=tmp_path)
    assert result.stdout == "e.db: no managed tables\n"


# ---- errors common to every command ---------------------------------------------------------

TABLE_COMMANDS = [["stage", "{db}", "{table}", "in.csv"], ["merge", "{db}", "{table}"],
                  ["find", "{db}", "{table}"], ["info", "{db}", "{table}"]]  # fmt: skip


@pytest.mark.parametrize("command", TABLE_COMMANDS, ids=lambda c: c[0])
def test_unknown_table(tmp_path, homes_db, command):
    write(tmp_path / "in.csv", "name\nann\n")
    args = [a.format(db=homes_db, table="house") for a in command]
    error = one_line_error(tablora(*args, cwd=tmp_path))
    assert "unknown table 'house'" in error and "managed tables: homes" in error


@pytest.mark.parametrize("command", TABLE_COMMANDS, ids=lambda c: c[0])
def test_missing_database_is_not_created(tmp_path, command):
    write(tmp_path / "in.csv", "name\nann\n")
    args = [a.format(db="none.db", table="homes") for a in command]
    assert "database not found: none.db" in one_line_error(tablora(*args, cwd=tmp_path))
    assert not (tmp_path / "none.db").exists()


@pytest.mark.parametrize(
    ("target", "reached", "message"),
    [
        ("dqlite://127.0.0.1:9001/demo", True, "dqlite://127.0.0.1:9001/demo: no managed tables"),
        ("libsql://db.example:8080", True, "libsql://db.example:8080: no managed tables"),
        ("file:none.db?mode=ro", False, "database not found: file:none.db?mode=ro"),
    ],
)
def test_targets_reach_tablora_connect_and_only_local_files_must_exist(
    tmp_path, monkeypatch, capsys, target, reached, message
):
    monkeypatch.chdir(tmp_path)
    targets = []

    def connect_spy(given):
        targets.append(given)
        return sqlite3.connect(":memory:")

    monkeypatch.setattr("tablora.connect", connect_spy)
    assert cli.main(["info", target]) == (0 if reached else 1)
    assert targets == ([target] if reached else [])
    assert message in capsys.readouterr()[0 if reached else 1]


@pytest.mark.parametrize(
    ("content", "message"),
    [(b"not a database at all" * 100, "cannot open"), (None, "is a directory")],
)
def test_a_file_that_is_no_database(tmp_path, content, message):
    if content is None:
        (tmp_path / "d.db").mkdir()
    else:
        (tmp_path / "d.db").write_bytes(content)
    assert message in one_line_error(tablora("info", "d.db", cwd=tmp_path))


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ([], "the following arguments are required: COMMAND"),
        (["drop", "x.db"], "invalid choice: 'drop'"),
        (["create", "x.db", "homes"], "one of the arguments --cols --from-csv is required"),
        (["stage", "x.db", "homes", "-", "--batch-size", "0"], "must be at least 1"),
        (["find", "x.db", "homes", "--format", "xml"], "invalid choice: 'xml'"),
        (["find", "x.db", "homes", "--limit", "x"], "not a whole number"),
    ],
)
def test_usage_errors_are_one_line_with_status_2(tmp_path, args, message):
    assert message in one_line_error(tablora(*args, cwd=tmp_path), status=2)


def test_version_from_the_module_and_the_console_script(tmp_path):
    by_module = tablora("--version", cwd=tmp_path)
    assert re.fullmatch(r"tablora \d+\.\d+\.\d+\S*\n", by_module.stdout)
    script = shutil.which("tablora", path=os.path.dirname(sys.executable))
    assert script is not None, "the tablora console script is not installed"
    by_script = subprocess.run(
        [script, "--version"], capture_output=True, text=True, timeout=60, env=child_env()
    )
    assert by_script.stdout == by_module.stdout


# ---- command lines as users type them -------------------------------------------------------


@pytest.mark.parametrize(
    "args",
    [
        ["info", "{db}", "--format", "json", "homes"],
        ["info", "--format", "json", "{db}", "homes"],
        ["find", "{db}", "--format", "json", "homes", "--select", "name"],
        ["find", "--select", "name", "{db}", "homes", "--format", "json"],
    ],
    ids=" ".join,
)
def test_options_and_positionals_mix(tmp_path, mixed_db, args):
    result = tablora(*[a.format(db=mixed_db) for a in args], cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)


@pytest.mark.parametrize("command", [["info", "x.db"], ["stage", "x.db", "t", "-"],
                                     ["merge", "x.db", "t"], ["find", "x.db", "t"]],
                         ids=lambda c: c[0])  # fmt: skip
def test_an_unknown_option_points_to_the_commands_help(tmp_path, command):
    error = one_line_error(tablora(*command, "--bogus", cwd=tmp_path), status=2)
    assert "unrecognized arguments: --bogus" in error
    assert error.startswith(f"tablora {command[0]}: ") and f"'tablora {command[0]} --help'" in error


@pytest.mark.parametrize("form", ["--format=json", "--format=jsonl", "name.json"])
def test_stage_takes_json_lines_by_either_name(tmp_path, homes_db, form):
    text = '{"name": "ann", "age": 3}\n'
    option = [] if form.endswith(".json") else [form]
    source = "-" if option else write(tmp_path / form, text)
    result = tablora("stage", homes_db, "homes", source, *option, cwd=tmp_path, input=text)
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("; 1 row staged now\n") and "staged 1 row from" in result.stdout
    assert rows_of(homes_db, "temp_homes") == [("ann", None, None, 3)]


@pytest.mark.parametrize("args", [["find", "{db}", "homes", "--format", "json"],
                                  ["find", "{db}", "homes", "--format", "jsonl"],
                                  ["info", "{db}", "--format", "json"]], ids=" ".join)  # fmt: skip
def test_json_output_is_utf8_text(tmp_path, args):
    db = make_homes(tmp_path / "ø.db", main=[("øyvind", "hütte", "1 Ål St", 30)])
    result = subprocess.run([sys.executable, "-m", "tablora", *[a.format(db=db) for a in args]],
                            env=dict(child_env(), PYTHONIOENCODING="utf-8"), capture_output=True,
                            timeout=60)  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert b"\\u" not in result.stdout
    assert "ø".encode() in result.stdout


# ---- create --from-csv ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "text", "options", "columns"),
    [
        ("h.csv", "\ufeffname, type,address,age\nann,t,a,1\n", [], COLS),
        ("h.tsv", "\nname\tage\n", [], ["name", "age"]),
        ("h.txt", "name;age\n", ["--delimiter", ";"], ["name", "age"]),
    ],
)
def test_create_takes_its_columns_from_a_csv_header(tmp_path, name, text, options, columns):
    write(tmp_path / name, text)
    result = tablora("create", "c.db", "homes", "--from-csv", name, *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert rows_of(tmp_path / "c.db", "homes", ",".join(columns)) == []
    with contextlib.closing(sqlite3.connect(tmp_path / "c.db")) as conn:
        assert [r[1] for r in conn.execute("PRAGMA table_info(temp_homes)")] == columns


@pytest.mark.parametrize(
    ("text", "message"),
    [("", "has no header line"), ("name,name\n", "listed twice in the header of h.csv"),
     ("name,\n", "column names are non-empty texts")],
)  # fmt: skip
def test_create_refuses_a_header_that_cannot_name_columns(tmp_path, text, message):
    write(tmp_path / "h.csv", text)
    assert message in one_line_error(tablora("create", "c.db", "t", "--from-csv", "h.csv", cwd=tmp_path))
    assert not (tmp_path / "c.db").exists()


# ---- merge phases ---------------------------------------------------------------------------


def test_merge_shows_its_phases_on_a_terminal(tmp_path):
    db = make_homes(tmp_path / "p.db", main=[(f"n{i}", "t", f"a{i}", i) for i in range(50)],
                    staged=[(f"n{i}", "t", f"b{i}", i) for i in range(0, 100, 2)])  # fmt: skip
    status, out, tty = on_pty("merge", db, "homes", cwd=tmp_path)
    assert status == 0 and "50 staged" in out
    frames = [frame.removesuffix("\x1b[K") for frame in tty.split("\r") if frame.strip("\x1b[K")]
    phases = [re.sub(r"\s+[\d.]+ s$", "", frame).split("  ")[-1] for frame in frames]
    assert frames[0].startswith("merging 50 staged rows into homes (50 rows)")
    seen = [p for k, p in enumerate(phases) if p not in phases[:k]]
    assert (seen[0], seen[-1]) == ("reading", "rebuilding indexes")
    assert set(seen) == {"reading", "dropping indexes", "deleting", "inserting", "rebuilding indexes"}
    assert tty.endswith("\r\x1b[K")
    assert tablora("merge", db, "homes", cwd=tmp_path).stderr == ""  # not on a pipe


# ---- errors of the database driver ----------------------------------------------------------


def fake_driver(monkeypatch):
    """A DB-API package as a remote engine's driver is: its errors derive from its Error."""
    package = types.ModuleType("fakedb")
    package.Error = type("Error", (Exception,), {"__module__": "fakedb"})
    package.OperationalError = type("OperationalError", (package.Error,), {"__module__": "fakedb"})
    monkeypatch.setitem(sys.modules, "fakedb", package)
    return package


@pytest.mark.parametrize(
    ("failing", "error", "message"),
    [
        ("tablora.connect", "driver", "tablora: error: fakedb: leader lost, retry\n"),
        ("tablora._merge.merge", "driver", "tablora: error: fakedb: leader lost, retry\n"),
        ("tablora.connect", "missing", "tablora: error: cannot open {db}: the dqlite driver is "
                                       "missing: pip install 'tablora[dqlite]'\n"),
    ],
)
def test_driver_errors_and_a_missing_driver_end_with_one_line_and_status_1(
    monkeypatch, capsys, homes_db, failing, error, message
):
    def fail(*args, **kwargs):
        if error == "missing":
            raise ImportError("the dqlite driver is missing: pip install 'tablora[dqlite]'")
        raise fake_driver(monkeypatch).OperationalError("leader lost,\n retry")

    monkeypatch.setattr(failing, fail)
    assert cli.main(["merge", str(homes_db), "homes"]) == 1
    assert capsys.readouterr().err == message.format(db=homes_db)


@pytest.mark.parametrize("given, passed", [([], {}), (["--timeout", "2.5"], {"timeout": 2.5})])
def test_timeout_reaches_connect_only_when_given(tmp_path, monkeypatch, given, passed):
    seen = []
    monkeypatch.setattr("tablora.connect", lambda target, **kw: seen.append(kw) or sqlite3.connect(":memory:"))
    assert cli.main(["info", "dqlite://127.0.0.1:9001/x", *given]) == 0
    assert seen == [passed]


@pytest.mark.parametrize(("col_num", "message"), [("9", "does not fit its columns"),
                                                  ("x", "")])  # fmt: skip
def test_merge_reports_a_rule_the_library_cannot_read(tmp_path, col_num, message):
    db = make_homes(tmp_path / "r.db", staged=[("a", "t", "x", 1)])
    with contextlib.closing(sqlite3.connect(db)) as conn, conn:
        conn.execute("UPDATE unique_table SET col_num = ? WHERE unique_name = 'unique_1'", (col_num,))
    assert message in one_line_error(tablora("merge", db, "homes", cwd=tmp_path))
    assert rows_of(db, "temp_homes") == [("a", "t", "x", 1)]


# ---- the tool on the everyday layer ---------------------------------------------------------


def test_find_orders_and_limits_both_tiers_together(tmp_path):
    db = make_homes(tmp_path / "n.db", rules=False, main=[("m1", "t", "a", 25), ("m2", "t", "b", 29)],
                    staged=[("s1", "t", "c", 30), ("s2", "t", "d", 30), ("s3", "t", "e", 40)])  # fmt: skip
    found = tablora("find", db, "homes", "--select", "age", "--order-by", "age", "--limit", "3",
                    cwd=tmp_path)  # fmt: skip
    assert found.stdout.split() == ["age", "25", "29", "30"]


@pytest.mark.parametrize("header", ["Customer ID,note", "from,to,order"])
def test_any_header_names_columns_from_create_to_find(tmp_path, header):
    write(tmp_path / "in.csv", f"{header}\n1,x{',y' * (header.count(',') - 1)}\n")
    first = header.split(",")[0]
    assert tablora("create", "q.db", "t", "--from-csv", "in.csv", "--unique", f"k={first}",
                   cwd=tmp_path).returncode == 0  # fmt: skip
    assert tablora("stage", "q.db", "t", "in.csv", cwd=tmp_path).returncode == 0
    found = tablora("find", "q.db", "t", "--select", first, "--format", "jsonl", cwd=tmp_path)
    assert json.loads(found.stdout) == {first: 1}


def test_a_key_from_the_tool_and_from_python_is_stored_once(tmp_path):
    write(tmp_path / "in.csv", "id,note\n42,cli row\n")
    tablora("create", "k.db", "t", "--from-csv", "in.csv", "--unique", "by_id=id", cwd=tmp_path)
    tablora("stage", "k.db", "t", "in.csv", cwd=tmp_path)
    tablora("merge", "k.db", "t", cwd=tmp_path)
    with Database(tmp_path / "k.db") as db:
        db["t"].stage(csv.DictReader(io.StringIO("id,note\n42,python row\n")))  # '42' as text
        db["t"].merge()
    assert rows_of(tmp_path / "k.db", "t", "id,note") == [(42, "python row")]


def test_create_infers_types_from_the_file_and_type_overrides(tmp_path):
    write(tmp_path / "in.csv", "a,b,c,d,e\n1,1.5,x,,7\n-2,3,9,,\n")
    assert tablora("create", "y.db", "t", "--from-csv", "in.csv", "--type", "E=text",
                   cwd=tmp_path).returncode == 0  # fmt: skip
    declared = rows_of(tmp_path / "y.db", "pragma_table_info('temp_t')", "name, type")
    assert declared == [("a", "INTEGER"), ("b", "REAL"), ("c", "TEXT"), ("d", "TEXT"), ("e", "TEXT")]


@pytest.mark.parametrize(("options", "stored"), [([], ""), (["--empty-null"], None)])
def test_stage_loads_blanks_as_text_or_null(tmp_path, homes_db, options, stored):
    write(tmp_path / "in.csv", "name,age\nann,\n")
    assert tablora("stage", homes_db, "homes", "in.csv", *options, cwd=tmp_path).returncode == 0
    assert rows_of(homes_db, "temp_homes", "age") == [(stored,)]
