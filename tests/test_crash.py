"""Crash safety: a process killed with SIGKILL in the middle of a committing call.

A child process runs insert_temp or temp_to_main with comm=True on a database
file and is killed after a random delay: before, during or after the call.
Reopening the file then finds an intact database (PRAGMA integrity_check) whose
rows, staged rows and catalogue are exactly the state before the call or the
state after it, never a mix. The merge drops and rebuilds the main table's
indexes inside its own transaction, so a kill leaves every registered index in
place; a following merge settles whatever was left staged.

A stepped merge commits step by step: killed or interrupted (Ctrl-C) between or
inside its steps, it leaves a prefix of the staged rows merged, find giving the
rows it gave before, and the next stepped merge ends where one merge would.
"""

import contextlib
import multiprocessing
import os
import random
import shutil
import signal
import sqlite3
import time

import pytest

import tablora
import tablora.tablora as T
from support import (HOMES_SQL_INDEXES, catalogue, create_homes, prepared_connection, rows,
                     sql_indexes)

pytestmark = pytest.mark.slow

BUDGET = 5.0  # seconds of killing per operation and journal mode
MIN_RUNS, MAX_RUNS = 12, 80
REGISTERED = set(HOMES_SQL_INDEXES)
FIGURES: dict[str, dict[str, int]] = {}


def staged_batch(start, count, replacing):
    batch = []
    for i in range(start, start + count):
        j = i % replacing if replacing else i
        batch.append((f"n{j}", "flat" if i % 3 else "house", f"{i} Elm", i))
    return batch


def build(path, journal):
    conn = prepared_connection(path)
    conn.execute(f"PRAGMA journal_mode={journal}")
    create_homes(conn)
    T.insert_temp(conn, "homes", staged_batch(0, 3000, 0))
    T.temp_to_main(conn, "homes")
    T.insert_temp(conn, "homes", staged_batch(3000, 3000, 1500))
    conn.close()


STEP_ROWS = 1000
OPERATIONS = {
    "insert_temp": lambda conn: T.insert_temp(conn, "homes", staged_batch(9000, 4000, 0), True),
    "temp_to_main": lambda conn: T.temp_to_main(conn, "homes", True),
    "stepped merge": lambda conn: tablora.Database(conn)["keyed"].merge(step_rows=STEP_ROWS),
}
ALL_OR_NOTHING = ["insert_temp", "temp_to_main"]


def content(path):
    with contextlib.closing(sqlite3.connect(path)) as conn:
        assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        return (rows(conn, "homes"), rows(conn, "temp_homes"),
                catalogue(conn, "index_table"), catalogue(conn, "unique_table"))


def indexes(path):
    with contextlib.closing(sqlite3.connect(path)) as conn:
        return set(sql_indexes(conn, "homes"))


def child(path, operation, pipe):
    conn = sqlite3.connect(path)
    pipe.send("ready")
    pipe.recv()
    start = time.perf_counter()
    OPERATIONS[operation](conn)
    pipe.send(time.perf_counter() - start)
    pipe.recv()  # wait to be killed



def fresh_copy(template: str, path: str) -> None:
    """`path` as the template left it, with no journal of an earlier run beside it."""
    for suffix in ("-journal", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    shutil.copyfile(template, path)
    if os.path.exists(template + "-wal"):
        shutil.copyfile(template + "-wal", path + "-wal")

def run_child(context, path, operation, delay, sig=signal.SIGKILL):
    """Starts the call, signals the child after `delay` seconds (None: lets the call end),
    and waits for it to end: SIGINT raises KeyboardInterrupt in it."""
    parent_end, child_end = context.Pipe()
    process = context.Process(target=child, args=(path, operation, child_end))
    process.start()
    try:
        assert parent_end.poll(10) and parent_end.recv() == "ready"
        parent_end.send("go")
        duration = None
        if delay is None:
            assert parent_end.poll(30)
            duration = parent_end.recv()
        else:
            time.sleep(delay)
        os.kill(process.pid, sig)
        process.join(10)
        assert process.exitcode == (-sig if sig == signal.SIGKILL else 1)
        return duration
    finally:
        if process.is_alive():
            process.kill()
        parent_end.close()
        child_end.close()


def call_duration(context, template, path, operation):
    """How long the call takes when not killed: the least of three runs, each on a fresh
    copy of the template (one slowed by a busy machine would put most kills after the
    call). `path` keeps the state the call leaves."""
    durations = []
    for _ in range(3):
        fresh_copy(template, path)
        durations.append(run_child(context, path, operation, None))
    return min(durations)


@pytest.mark.parametrize("journal", ["delete", "wal"])
@pytest.mark.parametrize("operation", ALL_OR_NOTHING)
def test_killed_call_leaves_before_or_after(operation, journal, tmp_path):
    context = multiprocessing.get_context("fork")
    template = str(tmp_path / "template.db")
    build(template, journal)
    before = content(template)

    finished = str(tmp_path / "finished.db")
    duration = call_duration(context, template, finished, operation)
    after = content(finished)
    assert after != before

    rng = random.Random(f"{operation}-{journal}")
    outcomes = {"before": 0, "after": 0}
    path = str(tmp_path / "victim.db")
    started = time.perf_counter()
    runs = 0
    while runs < MAX_RUNS and (runs < MIN_RUNS or time.perf_counter() - started < BUDGET):
        runs += 1
        fresh_copy(template, path)
        delay = rng.uniform(0, duration * 2)
        run_child(context, path, operation, delay)
        state = content(path)
        if state == before:
            outcomes["before"] += 1
        elif state == after:
            outcomes["after"] += 1
        else:
            pytest.fail(f"run {runs}, killed after {delay * 1000:.1f} ms of "
                        f"{duration * 1000:.1f}: the tables hold neither state")
        assert indexes(path) == REGISTERED
        # A merge afterwards settles whatever the kill left staged.
        conn = sqlite3.connect(path)
        T.temp_to_main(conn, "homes")
        conn.close()
        assert indexes(path) == REGISTERED
        assert content(path)[1] == []

    FIGURES[f"{operation}/{journal}"] = dict(outcomes, runs=runs)
    print(f"\ncrash ({operation}, {journal}): {runs} kills survived over a "
          f"{duration * 1000:.0f} ms call: {outcomes['before']} left the state before, "
          f"{outcomes['after']} the state after")
    assert outcomes["before"] and outcomes["after"]


def build_keyed(path, journal):
    """keyed (k, v, n), one rule on k: 3000 main rows, 4000 staged, of which 1500 replace
    main rows and 1500 repeat a staged key."""
    conn = prepared_connection(path)
    conn.execute(f"PRAGMA journal_mode={journal}")
    T.create_table(conn, "keyed", ["k", "v", "n"], [{"name": "by_v", "cols": "v"}],
                   [{"name": "by_k", "cols": [0]}])
    T.insert_temp(conn, "keyed", [(i, f"v{i % 13}", i) for i in range(3000)])
    T.temp_to_main(conn, "keyed")
    T.insert_temp(conn, "keyed", [(1500 + i % 2500, f"w{i % 11}", 3000 + i) for i in range(4000)])
    conn.close()


def keyed_state(path):
    """(find's rows, the main rows' values, the staged rows), each sorted."""
    conn = sqlite3.connect(path)
    try:
        assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        return (sorted(map(tuple, T.find(conn, "*", "keyed", ""))),
                sorted(conn.execute("SELECT * FROM keyed")),
                conn.execute("SELECT rowid, * FROM temp_keyed ORDER BY rowid").fetchall())
    finally:
        conn.close()


@pytest.mark.parametrize("journal", ["delete", "wal"])
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT], ids=["kill", "ctrl-c"])
def test_stepped_merge_cut_short_leaves_a_prefix_merged(sig, journal, tmp_path):
    context = multiprocessing.get_context("fork")
    template = str(tmp_path / "template.db")
    build_keyed(template, journal)
    found, _, staged = keyed_state(template)
    once = str(tmp_path / "once.db")
    shutil.copyfile(template, once)
    with contextlib.closing(sqlite3.connect(once)) as conn:
        T.temp_to_main(conn, "keyed")
    _, merged_once, _ = keyed_state(once)

    duration = call_duration(context, template, str(tmp_path / "finished.db"), "stepped merge")
    rng = random.Random(f"stepped-{sig}-{journal}")
    outcomes = {"none": 0, "some steps": 0, "all": 0}
    path = str(tmp_path / "victim.db")
    started, runs = time.perf_counter(), 0
    while runs < MAX_RUNS and (runs < MIN_RUNS or time.perf_counter() - started < BUDGET):
        runs += 1
        fresh_copy(template, path)
        run_child(context, path, "stepped merge", rng.uniform(0, duration * 1.5), sig)
        now, _, left = keyed_state(path)
        assert now == found
        assert left == staged[len(staged) - len(left):]  # the oldest rows went first
        outcomes["all" if not left else "none" if left == staged else "some steps"] += 1
        # The next stepped merge finishes the work.
        with tablora.Database(path) as db:
            db["keyed"].merge(step_rows=STEP_ROWS)
        assert keyed_state(path)[1:] == (merged_once, [])

    print(f"\nstepped merge ({signal.Signals(sig).name}, {journal}): {runs} runs over a "
          f"{duration * 1000:.0f} ms merge: {outcomes}")
    assert outcomes["some steps"]
