"""Concurrent writers: several processes stage rows while two others merge in a
loop and are killed at random, and a reader runs find throughout.

Each process has its own connection with a busy timeout and retries a call
that fails with 'database is locked' (after rolling back what the failed call
left open). Every writer stages its own keys, most of them in several
versions, the newest version of a key always staged last. After the writers
finish and a final merge runs, the main table must hold exactly one row per
key, and that row must be the key's newest version: every staged row is
either in the main table or replaced by a newer version of its key, none is
lost and none duplicated, whatever merges were killed half-way. Every find
must show a state that existed: one row per key, no key that was seen gone
again, and no key's version older than one seen before.
"""

import multiprocessing
import random
import sqlite3
import time

import pytest

import tablora.tablora as T
from support import prepared_connection

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
MERGERS = 2
KILL_EVERY = (0.05, 0.4)  # seconds between killing a merger and starting another


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


def merger(path, stop):
    conn = sqlite3.connect(path, timeout=TIMEOUT)
    while not stop.is_set():
        retrying(conn, lambda: T.temp_to_main(conn, "events"), [0])
        time.sleep(MERGE_PAUSE)
    conn.close()


def reader(path, ready, stop, results):
    """Runs find until stopped; reports the finds made and what was wrong with them."""
    conn = sqlite3.connect(path, timeout=TIMEOUT)
    ready.wait()
    seen, finds, faults = {}, 0, []
    while not stop.is_set() and len(faults) < 5:
        found = retrying(conn, lambda: T.find(conn, "key,seq", "events", ""), [0])
        finds += 1
        keys = [key for key, _ in found]
        if len(keys) != len(set(keys)):
            faults.append(f"find {finds}: a key twice")
        current = dict(found)
        gone = set(seen) - set(current)
        if gone:
            faults.append(f"find {finds}: {len(gone)} keys gone, e.g. {sorted(gone)[0]}")
        older = [k for k, seq in current.items() if seq < seen.get(k, -1)]
        if older:
            faults.append(f"find {finds}: {len(older)} keys older than seen, e.g. {older[0]}")
        seen.update(current)
    conn.close()
    results.put(("reader", 0, finds, 0.0, faults))


@pytest.mark.parametrize("journal", ["delete", "wal"])
def test_concurrent_staging_and_merging(tmp_path, journal):
    path = str(tmp_path / "events.db")
    setup = prepared_connection(path)
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
    reading = context.Process(target=reader, args=(path, ready, stop, results))
    mergers = [context.Process(target=merger, args=(path, stop)) for _ in range(MERGERS)]
    started = time.perf_counter()
    kills = 0
    for p in mergers + [reading] + writers:
        p.start()
    try:
        chance = random.Random(journal)
        while any(p.is_alive() for p in writers):
            assert time.perf_counter() - started < DEADLINE, "the writers did not finish in time"
            time.sleep(chance.uniform(*KILL_EVERY))
            victim = chance.randrange(MERGERS)
            mergers[victim].kill()
            mergers[victim].join()
            kills += 1
            mergers[victim] = context.Process(target=merger, args=(path, stop))
            mergers[victim].start()
        reports = [results.get(timeout=5) for _ in range(WRITERS)]
        stop.set()
        reports.append(results.get(timeout=DEADLINE))
        for p in mergers + [reading]:
            p.join(max(0.1, DEADLINE - (time.perf_counter() - started)))
        assert all(p.exitcode == 0 for p in writers + mergers + [reading])
    finally:
        for p in writers + mergers + [reading]:
            if p.is_alive():
                p.kill()

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
    finds, faults = next(r[2:5:2] for r in reports if r[0] == "reader")
    assert not faults, faults
    print(f"\nconcurrency ({journal}): {WRITERS} writers staged {staged} rows "
          f"({staged / write_time:.0f} rows/s) beside {MERGERS} mergers killed {kills} times "
          f"and {finds} finds; {staged_left} left for the final merge; {len(main)} rows kept, "
          f"{staged - len(main)} replaced by newer versions")
    assert finds >= 1 and kills >= 1
