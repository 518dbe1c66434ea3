"""Several connections on one file: each fault seen with interleaved connections,
replayed deterministically by running the other connections from inside a
statement trace of the first, in both journal modes."""

import contextlib
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tablora
import tablora.tablora as T
from support import Trace, prepared_connection, rows

JOURNALS = ["delete", "wal"]
LOCK_WAIT = 0.05  # busy timeout of the interleaved connections, seconds


@pytest.fixture(params=JOURNALS)
def keyed(request, tmp_path):
    """A file with table tb (k, v), one rule on k; returns a connection factory."""
    path = str(tmp_path / "k.db")
    setup = prepared_connection(path)
    setup.execute(f"PRAGMA journal_mode={request.param}")
    T.create_table(setup, "tb", ["k", "v"], [], [{"name": "by_k", "cols": [0]}])
    setup.close()
    opened = []

    def connect(timeout=5.0):
        opened.append(sqlite3.connect(path, timeout=timeout))
        return opened[-1]

    yield connect
    for conn in opened:
        conn.close()


def at_statement(conn, matches, action):
    """Runs `action` once, from conn's trace, before the first statement that matches."""
    done = []

    def hook(sql):
        if not done and matches(sql):
            done.append(True)
            action()

    conn.set_trace_callback(hook)
    return done


def attempt(call, postponed):
    """Runs call now, or keeps it for later when the database is locked."""
    try:
        call()
    except sqlite3.OperationalError as exc:
        assert "locked" in str(exc)
        postponed.append(call)


def test_two_merges_and_a_stager_at_once_lose_and_duplicate_nothing(keyed):
    a, b, c = keyed(), keyed(LOCK_WAIT), keyed(LOCK_WAIT)
    T.insert_temp(a, "tb", [("a", 1), ("b", 1)])
    postponed = []

    def others():
        attempt(lambda: T.temp_to_main(b, "tb"), postponed)
        b.rollback()
        attempt(lambda: T.insert_temp(c, "tb", [("c", 2), ("d", 2)]), postponed)
        c.rollback()

    hooked = at_statement(a, lambda sql: sql.split()[0] in ("BEGIN", "DROP", "DELETE"), others)
    T.temp_to_main(a, "tb")
    assert hooked
    for call in postponed:
        call()
    T.temp_to_main(a, "tb")
    assert sorted(r[1:] for r in rows(a, "tb")) == [("a", 1), ("b", 1), ("c", 2), ("d", 2)]


def main_read(sql):
    return sql.startswith("SELECT rowid") and " FROM tb " in sql


def staging_read_without_conditions(sql):
    return sql.startswith("SELECT rowid") and sql.rstrip().endswith("FROM temp_tb")


@pytest.mark.parametrize("case", ["merge before the main read", "stage between staging reads"])
def test_find_shows_one_state(keyed, case):
    reader, writer = keyed(), keyed(LOCK_WAIT)
    if case == "merge before the main read":
        T.insert_temp(reader, "tb", [("a", 1), ("b", 1)])
        states = [[["a", 1], ["b", 1]], [["c", 2], ["a", 1], ["b", 1]]]
        when = main_read

        def interleave():
            T.temp_to_main(writer, "tb")
            T.insert_temp(writer, "tb", [("c", 2)])
    else:
        reader.execute("INSERT INTO tb VALUES ('a', 0)")
        T.insert_temp(reader, "tb", [("a", 1)])
        states = [[["a", 1]], [["a", 2]]]
        when = staging_read_without_conditions

        def interleave():
            T.insert_temp(writer, "tb", [("a", 2)])

    hooked = at_statement(reader, when, lambda: attempt(interleave, []))
    found = T.find(reader, "*", "tb", "WHERE 1")
    writer.rollback()
    assert hooked
    assert found in states
    assert not reader.in_transaction


def test_merge_and_find_bracket_their_reads(keyed):
    """The write lock is taken first, the read snapshot spans every read, and
    inside a caller's transaction neither is opened again."""
    conn = keyed()
    trace = Trace(conn, brackets=True)
    T.insert_temp(conn, "tb", [("a", 1)])
    trace.clear()
    T.temp_to_main(conn, "tb")
    T.find(conn, "*", "tb", "")
    assert trace.statements[0] == "BEGIN IMMEDIATE"
    reads = trace.statements[trace.statements.index("COMMIT") + 1:]
    assert reads[0] == "SAVEPOINT tablora_find" and reads[-1] == "RELEASE tablora_find"
    conn.execute("INSERT INTO temp_tb VALUES ('b', 2)")
    trace.clear()
    T.find(conn, "*", "tb", "")
    T.temp_to_main(conn, "tb", comm=False)
    assert not set(trace.statements) & {"BEGIN IMMEDIATE", "SAVEPOINT tablora_find"}
    assert conn.in_transaction
    conn.rollback()


def test_failed_find_releases_its_snapshot(keyed):
    conn = keyed()
    with pytest.raises(sqlite3.OperationalError):
        T.find(conn, "*", "tb", "WHERE no_such_column = 1")
    assert not conn.in_transaction


@pytest.mark.parametrize("own", ["bys_idx --own", 'q"idx', "two words"])
def test_index_names_read_back_are_quoted(keyed, own):
    conn = keyed()
    conn.execute("CREATE TABLE other (x)")
    conn.execute("CREATE INDEX bys_idx ON other (x)")
    conn.execute("CREATE INDEX q ON other (x)")
    quoted = '"' + own.replace('"', '""') + '"'
    conn.execute(f"CREATE INDEX {quoted} ON tb (v)")
    conn.commit()
    T.drop_table_index(conn, "tb")
    left = {name for (name, table) in conn.execute(
        "SELECT name, tbl_name FROM sqlite_master WHERE type = 'index'")}
    assert {"bys_idx", "q"} <= left and own not in left


def test_only_an_unhashable_value_is_left_to_the_driver(keyed):
    class Hostile:
        def __hash__(self):
            raise ValueError("no hash today")

    conn = keyed()
    with pytest.raises(ValueError, match="no hash today"):
        T._check_newest_unique(conn, "tb", (1, 1), [1, Hostile(), 2], {"by_k": [0]},
                               ["k", "v"], "rowid,k,v", {(1, 1)})


def test_a_stager_writes_between_the_steps_of_a_stepped_merge(keyed, monkeypatch):
    # A writer waiting for the lock retries now and then: the merge leaves the lock free
    # between steps long enough for it, else the writer waits for the whole merge.
    merging = keyed()
    merging.executemany("INSERT INTO temp_tb VALUES (?, ?)", ((i, i) for i in range(100_000)))
    merging.commit()
    path = merging.execute("PRAGMA database_list").fetchone()[2]
    committed, running = [], threading.Event()

    def stage():  # on a connection of its own thread, with the default busy timeout
        with contextlib.closing(sqlite3.connect(path)) as staging:
            while running.is_set():
                T.insert_temp(staging, "tb", [(-i, i) for i in range(100)])
                committed.append(time.perf_counter())
                time.sleep(0.02)

    monkeypatch.setattr(tablora.table, "STEP_LOCK_SECONDS", 0)  # a pause after every step
    running.set()
    stager = threading.Thread(target=stage)
    stager.start()
    try:
        started = time.perf_counter()
        tablora.Database(merging)["tb"].merge(step_rows=10_000)
        ended = time.perf_counter()
    finally:
        running.clear()
        stager.join()
    # Ten steps: a batch (or more) in each of the nine pauses; without them, none or few.
    assert sum(started < at < ended for at in committed) >= 9


@pytest.mark.parametrize("writer", [False, True])
def test_a_stepped_merge_pauses_less_once_nobody_writes(keyed, monkeypatch, writer):
    # A pause nobody used is idle time: after one, the steps hold the lock for the longer
    # quiet stretch, until another connection's commit shows a writer about again.
    merging = keyed()
    merging.executemany("INSERT INTO temp_tb VALUES (?, ?)", ((i, i) for i in range(10)))
    merging.commit()
    other = keyed()
    pauses = []

    def pause(seconds):
        pauses.append(seconds)
        if writer:
            T.insert_temp(other, "tb", [(-len(pauses), 0)])

    monkeypatch.setattr(tablora.table, "STEP_LOCK_SECONDS", 0)  # a pause after every step
    monkeypatch.setattr(tablora.table, "STEP_QUIET_LOCK_SECONDS", 3600, raising=False)
    monkeypatch.setattr(tablora.table.time, "sleep", pause)
    tablora.Database(merging)["tb"].merge(step_rows=1)
    assert len(pauses) == (9 if writer else 1)


CHILD = textwrap.dedent("""
    import sqlite3, sys, threading, time
    import tablora.tablora as T
    conn = sqlite3.connect(sys.argv[1])
    conn.execute("PRAGMA cache_size=-1000000")  # nothing spills before the commit
    # Every statement goes to the parent, which sends the signal when the one
    # it waits for starts. The callback is C code: Python code in it would
    # take the signal inside the callback, where the driver drops it.
    statements = []
    conn.set_trace_callback(statements.append)
    def say(line):  # one write a line: the relay and the main thread both say things
        sys.stdout.write(line + "\\n")
        sys.stdout.flush()
    def relay():
        shown = 0
        while True:
            while shown < len(statements):
                say(statements[shown][:40])
                shown += 1
            time.sleep(0.001)
    say("merging")
    threading.Thread(target=relay, daemon=True).start()
    outcome = "interrupted"
    try:
        T.temp_to_main(conn, "big")
        outcome = "done"
    except KeyboardInterrupt as interrupt:
        notes = getattr(interrupt, "__notes__", [])
        if any("tablora.temp_to_main committed its work" in note for note in notes):
            outcome = "interrupted after the commit"
    say("outcome: " + outcome)
""")
BIG = 200_000


@pytest.mark.parametrize("when", ["INSERT INTO big SELECT", "COMMIT", 0.3])
def test_ctrl_c_during_a_merge_says_whether_it_committed(tmp_path, when):
    path = str(tmp_path / "big.db")
    setup = prepared_connection(path)
    T.create_table(setup, "big", ["k", "v", "w"], [{"name": "by_v", "cols": "v"}],
                   [{"name": "by_k", "cols": [0]}, {"name": "by_w", "cols": [2]}])
    setup.executemany("INSERT INTO temp_big VALUES (?,?,?)",
                      ((i, i % 97, f"w{i}") for i in range(BIG)))
    setup.commit()
    setup.close()
    # A reader keeps the commit waiting until the signal has arrived.
    reader = sqlite3.connect(path, isolation_level=None)
    reader.execute("BEGIN")
    reader.execute("SELECT count(*) FROM big").fetchall()
    child = subprocess.Popen([sys.executable, "-c", CHILD, path], stdout=subprocess.PIPE,
                             text=True)
    assert child.stdout.readline() == "merging\n"
    if isinstance(when, str):
        while not child.stdout.readline().startswith(when):
            pass
        os.kill(child.pid, signal.SIGINT)
        time.sleep(0.2)
        reader.execute("COMMIT")
    else:
        reader.execute("COMMIT")
        try:
            child.wait(when)
        except subprocess.TimeoutExpired:
            os.kill(child.pid, signal.SIGINT)
    reader.close()
    output = child.communicate(timeout=120)[0]
    outcome = next(line for line in output.splitlines() if line.startswith("outcome:"))[9:]
    check = sqlite3.connect(path)
    staged = check.execute("SELECT count(*) FROM temp_big").fetchone()[0]
    merged = check.execute("SELECT count(*) FROM big").fetchone()[0]
    check.close()
    if outcome == "interrupted":
        assert (staged, merged) == (BIG, 0)
    else:
        assert outcome in ("done", "interrupted after the commit")
        assert (staged, merged) == (0, BIG)
    if when == "INSERT INTO big SELECT":
        assert outcome == "interrupted"
    if when == "COMMIT":
        assert outcome == "interrupted after the commit"
