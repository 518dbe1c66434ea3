"""Concurrent writers: several processes stage rows while another merges in a loop.

Each process has its own connection with a busy timeout and retries a call
that fails with 'database is locked' (after rolling back what the failed call
left open). Every writer stages its own keys, most of them in several
versions, the newest version of a key always staged last. After the writers
and the merger finish and a final merge runs, the main table must hold
exactly one row per key, and that row must be the key's newest version:
every staged row is either in the main table or replaced by a newer version
of its key, none is lost and none duplicated.
"""

import multiprocessing
import sqlite3
import time
import uuid

import pytest

import tablora.tablora as T

pytestmark = pytest.mark.slow

WRITERS = 3
ROWS_PER_WRITER = 3000
BATCH = 20
PAUSE = 0.002  # between a writer's batches, so that merges fall in between
# Between merges: a merger that never pauses starves the writers of the
# rollback journal's exclusive lock (SQLite's busy handler polls and loses).
MERGE_PAUSE = 0.01
VERSIONS = 3  # versions of each shared key
TIMEOUT = 20.0  # the connections' busy timeout, seconds
DEADLINE = 60.0  # the whole test, seconds; the usual run takes a few


def rows_of(writer):
    """The rows a writer stages, in staging order: (key, writer, seq, payload)."""
    shared = ROWS_PER_WRITER // 2
    rows = []
    for seq in range(ROWS_PER_WRITER):
        if seq < shared:
            key = f"w{writer}-s{seq % (shared // VERSIONS)}"
        else:
            key = f"w{writer}-u{seq}"
        rows.append((key, writer, seq, f"p{writer}.{seq}"))
    return rows


def locked(exc):
    text = str(exc)
    return "locked" in text or "busy" in text


def retrying(conn, call, counter):
    while True:
        try:
            return call()
        except sqlite3.OperationalError as exc:
            if not locked(exc):
                raise
            conn.rollback()
            counter[0] += 1
            time.sleep(0.001)


def writer(path, number, ready, results):
    conn = sqlite3.connect(path, timeout=TIMEOUT)
    retries = [0]
    rows = rows_of(number)
    ready.wait()
    start = time.perf_counter()
    for i in range(0, len(rows), BATCH):
        batch = rows[i:i + BATCH]
        retrying(conn, lambda: T.insert_temp(conn, "events", batch), retries)
        time.sleep(PAUSE)
    elapsed = time.perf_counter() - start
    conn.close()
    results.put(("writer", number, len(rows), elapsed, retries[0]))


def merger(path, ready, stop, results):
    conn = sqlite3.connect(path, timeout=TIMEOUT)
    retries = [0]
    merges = 0
    ready.wait()
    while not stop.is_set():
        retrying(conn, lambda: T.temp_to_main(conn, "events"), retries)
        merges += 1
        time.sleep(MERGE_PAUSE)
    conn.close()
    results.put(("merger", 0, merges, 0.0, retries[0]))


@pytest.mark.parametrize("journal", ["delete", "wal"])
def test_concurrent_staging_and_merging(tmp_path, journal):
    path = str(tmp_path / "events.db")
    T.DB(f"concurrency-{uuid.uuid4()}", path)
    setup = sqlite3.connect(path)
    assert setup.execute(f"PRAGMA journal_mode={journal}").fetchone()[0] == journal
    T.create_table(setup, "events", ["key", "writer", "seq", "payload"],
                   [{"name": "by_writer", "cols": "writer,seq"}],
                   [{"name": "one_per_key", "cols": [0]}])
    setup.close()

    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    stop = context.Event()
    ready = context.Barrier(WRITERS + 1)
    writers = [context.Process(target=writer, args=(path, n, ready, results))
               for n in range(WRITERS)]
    merging = context.Process(target=merger, args=(path, ready, stop, results))
    started = time.perf_counter()
    merging.start()
    for p in writers:
        p.start()
    try:
        for p in writers:
            p.join(max(0.1, DEADLINE - (time.perf_counter() - started)))
        stop.set()
        merging.join(max(0.1, DEADLINE - (time.perf_counter() - started)))
        alive = [p for p in writers + [merging] if p.is_alive()]
        assert not alive, "a process did not finish in time"
        assert all(p.exitcode == 0 for p in writers + [merging])
    finally:
        for p in writers + [merging]:
            if p.is_alive():
                p.kill()
    reports = [results.get(timeout=5) for _ in range(WRITERS + 1)]

    conn = sqlite3.connect(path, timeout=TIMEOUT)
    staged_left = conn.execute("SELECT count(*) FROM temp_events").fetchone()[0]
    T.temp_to_main(conn, "events")
    main = conn.execute("SELECT key, writer, seq, payload FROM events").fetchall()
    assert conn.execute("SELECT count(*) FROM temp_events").fetchone() == (0,)
    assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    indexes = {n for (n,) in conn.execute(
        "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'events'")}
    conn.close()
    assert indexes == {"events_by_writer", "events_one_per_key"}

    newest = {}
    staged = 0
    for n in range(WRITERS):
        for row in rows_of(n):
            newest[row[0]] = row  # staging order: the last version wins
            staged += 1
    by_key = {}
    for row in main:
        assert row[0] not in by_key, f"key {row[0]} duplicated"
        by_key[row[0]] = row
    missing = set(newest) - set(by_key)
    assert not missing, f"{len(missing)} keys lost, e.g. {sorted(missing)[:3]}"
    stale = [k for k in newest if by_key[k] != newest[k]]
    assert not stale, f"{len(stale)} keys hold an older version, e.g. {by_key[stale[0]]}"
    assert len(main) == len(newest)

    write_time = max(r[3] for r in reports if r[0] == "writer")
    merges = next(r[2] for r in reports if r[0] == "merger")
    retries = sum(r[4] for r in reports)
    print(f"\nconcurrency ({journal}): {WRITERS} writers staged {staged} rows "
          f"({staged / write_time:.0f} rows/s) while {merges} merges completed; "
          f"{staged_left} left for the final merge; {len(main)} rows kept, "
          f"{staged - len(main)} replaced by newer versions; {retries} retries on a locked database")
    assert merges >= 1
