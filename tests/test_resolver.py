"""_check_newest_unique: is a row the newest of the rows linked to it?"""

import itertools
import sqlite3
import time

import pytest

import tablora.tablora as T

from support import HOMES_COLS, CountingConnection, put

# homes: name, type, address, age; unique_0 over (name, type), unique_1 over (address).
UNIQUES = {"unique_0": [0, 1], "unique_1": [2]}
TOTAL = "rowid," + ",".join(HOMES_COLS)


def full_row(conn, ref):
    table = "temp_homes" if ref[0] == 1 else "homes"
    return conn.execute(f"SELECT {TOTAL} FROM {table} WHERE rowid = ?", (ref[1],)).fetchone()


def check(conn, ref, uniques=None, visited=None, table="homes", row=None, trace=None):
    """Tests `ref`; a given trace is cleared after the row under test is read."""
    visited = {ref} if visited is None else visited
    row = full_row(conn, ref) if row is None else row
    if trace is not None:
        trace.clear()
    return T._check_newest_unique(
        conn, table, ref, row, dict(UNIQUES) if uniques is None else uniques,
        list(HOMES_COLS), TOTAL, visited)


# ---- rules that run nothing ----------------------------------------------------------------


def test_empty_uniques_opens_a_cursor_and_runs_nothing(conn, homes, trace):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    put(conn, (1, 1), ("a", "flat", "A", 2))  # newer and equal in every column
    counting = CountingConnection(conn)
    visited = {(0, 1)}
    row = full_row(conn, (0, 1))
    trace.clear()
    result = T._check_newest_unique(counting, "homes", (0, 1), row, {}, list(HOMES_COLS), TOTAL,
                                    visited)
    assert result == (True, {(0, 1)})
    assert result[1] is visited
    assert counting.cursors == 1
    assert list(trace) == []


def test_rule_with_empty_positions_runs_nothing_and_links_nothing(conn, homes, trace):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    put(conn, (0, 2), ("a", "flat", "A", 2))
    assert check(conn, (0, 1), {"empty": []}, trace=trace) == (True, {(0, 1)})
    assert list(trace) == []
    # beside a real rule only the real rule's two lookups run
    assert check(conn, (0, 1), {"empty": [], "addr": [2]}, trace=trace) == (False, None)
    assert len(trace) == 2


# ---- tiers and row ids -----------------------------------------------------------------------


def test_tier_decides_before_rowid(conn, homes):
    put(conn, (0, 3), ("h", "flat", "A", 1))
    put(conn, (1, 1), ("h", "flat", "B", 2))
    assert check(conn, (0, 3)) == (False, None)


def test_staged_row_is_newer_than_a_main_row_with_a_larger_rowid(conn, homes):
    put(conn, (1, 7), ("h", "flat", "A", 2))
    put(conn, (0, 3), ("h", "flat", "A", 1))
    visited = {(1, 7)}
    result = check(conn, (1, 7), visited=visited)
    assert result == (True, {(1, 7), (0, 3)})
    assert result[1] is visited
    assert result[0] is True


def test_larger_rowid_wins_within_a_tier(conn, homes):
    put(conn, (0, 3), ("h", "flat", "A", 1))
    put(conn, (0, 5), ("k", "house", "A", 2))
    assert check(conn, (0, 3)) == (False, None)
    assert check(conn, (0, 5)) == (True, {(0, 3), (0, 5)})
    put(conn, (1, 2), ("s", "x", "S", 3))
    put(conn, (1, 4), ("s", "x", "T", 4))
    assert check(conn, (1, 2)) == (False, None)
    assert check(conn, (1, 4)) == (True, {(1, 2), (1, 4)})


def test_chain_through_a_row_that_is_not_newer(conn, homes):
    put(conn, (0, 5), ("a", "flat", "P", 1))  # address shared with (0, 3)
    put(conn, (0, 3), ("b", "house", "P", 2))  # (name, type) shared with (1, 1)
    put(conn, (1, 1), ("b", "house", "Q", 3))  # shares nothing with (0, 5)
    assert check(conn, (0, 5)) == (False, None)
    assert check(conn, (1, 1)) == (True, {(1, 1), (0, 3), (0, 5)})


def test_null_in_the_only_column_of_the_only_rule_links_nothing(conn, homes, trace):
    put(conn, (0, 1), ("a", "flat", None, 1))
    put(conn, (0, 2), ("b", "flat", None, 2))
    put(conn, (1, 1), ("c", "flat", None, 3))
    assert check(conn, (0, 1), {"addr": [2]}, trace=trace) == (True, {(0, 1)})
    # the lookups still run, and SQL equality with NULL matches nothing
    assert list(trace) == [
        f"SELECT {TOTAL} FROM temp_homes WHERE address = NULL",
        f"SELECT {TOTAL} FROM homes WHERE address = NULL",
    ]


def test_null_in_one_column_of_a_rule_links_nothing_through_it(conn, homes):
    put(conn, (0, 1), ("a", None, "A", 1))
    put(conn, (0, 2), ("a", None, "B", 2))
    assert check(conn, (0, 1)) == (True, {(0, 1)})


def test_sql_equality_links_1_and_1_0_but_not_text_or_blob(conn, homes):
    put(conn, (0, 1), ("n", "t", 1, 1))
    put(conn, (0, 2), ("n2", "t", 1.0, 2))
    put(conn, (0, 3), ("n3", "t", "1", 3))
    put(conn, (0, 4), ("n4", "t", b"1", 4))
    assert check(conn, (0, 1)) == (False, None)
    assert check(conn, (0, 2)) == (True, {(0, 1), (0, 2)})
    assert check(conn, (0, 3)) == (True, {(0, 3)})
    assert check(conn, (0, 4)) == (True, {(0, 4)})


# ---- the visited set --------------------------------------------------------------------------


def test_reference_in_the_set_on_entry_is_skipped_even_when_newer(conn, homes):
    put(conn, (0, 3), ("h", "flat", "A", 1))
    put(conn, (1, 1), ("h", "flat", "B", 2))
    visited = {(0, 3), (1, 1)}
    result = check(conn, (0, 3), visited=visited)
    assert result == (True, {(0, 3), (1, 1)})
    assert result[1] is visited


def test_reference_in_the_set_on_entry_is_not_followed(conn, homes):
    put(conn, (0, 3), ("h", "flat", "A", 1))
    put(conn, (0, 2), ("h", "flat", "B", 2))  # linked to (0, 3); in the set on entry
    put(conn, (1, 1), ("k", "house", "B", 3))  # linked only through (0, 2)
    assert check(conn, (0, 3)) == (False, None)
    visited = {(0, 3), (0, 2)}
    assert check(conn, (0, 3), visited=visited) == (True, {(0, 3), (0, 2)})


def test_set_after_a_true_verdict_is_the_callers_with_every_linked_row(conn, homes):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    put(conn, (0, 2), ("a", "flat", "B", 2))
    put(conn, (0, 4), ("c", "flat", "B", 3))
    put(conn, (1, 1), ("c", "flat", "C", 4))
    put(conn, (1, 2), ("d", "flat", "C", 5))
    put(conn, (0, 3), ("z", "z", "Z", 6))  # not linked
    visited = {(1, 2), ("marker",)}
    result = check(conn, (1, 2), visited=visited)
    assert result[0] is True
    assert result[1] is visited
    assert visited == {(1, 2), ("marker",), (0, 1), (0, 2), (0, 4), (1, 1)}


def test_row_under_test_missing_from_the_set_is_found_by_its_own_lookup(conn, homes):
    put(conn, (0, 5), ("a", "flat", "A", 1))
    visited = set()
    assert check(conn, (0, 5), visited=visited) == (True, {(0, 5)})


def test_false_verdict_is_one_shared_constant(conn, homes):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    put(conn, (0, 2), ("a", "flat", "A", 2))
    put(conn, (0, 3), ("b", "x", "B", 1))
    put(conn, (1, 1), ("b", "x", "C", 2))
    first = check(conn, (0, 1))
    second = check(conn, (0, 3))
    assert first == (False, None)
    assert type(first) is tuple
    assert first is second


# ---- statements ---------------------------------------------------------------------------------


def test_statements_per_rule_staged_then_main(conn, homes, trace):
    put(conn, (0, 1), ("a b", "flat", "A's", 1))
    assert check(conn, (0, 1), trace=trace) == (True, {(0, 1)})
    assert list(trace) == [
        f"SELECT {TOTAL} FROM temp_homes WHERE name = 'a b' AND type = 'flat'",
        f"SELECT {TOTAL} FROM homes WHERE name = 'a b' AND type = 'flat'",
        f"SELECT {TOTAL} FROM temp_homes WHERE address = 'A''s'",
        f"SELECT {TOTAL} FROM homes WHERE address = 'A''s'",
    ]


def test_each_rule_and_value_tuple_is_looked_up_once(conn, homes, trace):
    # five main rows with one address; the tested one is the newest
    for i in range(1, 6):
        put(conn, (0, i), (f"n{i}", "t", "A", i))
    result = check(conn, (0, 5), trace=trace)
    assert result == (True, {(0, i) for i in range(1, 6)})
    statements = list(trace)
    assert len(statements) == len(set(statements)) == 2 * (5 + 1)


def test_direct_links_under_every_rule_come_before_any_chain(conn, homes, trace):
    # (0, 50) shares (name, type) with ten older rows, each at the head of a
    # chain of older rows; its address it shares with the newer (0, 60).
    put(conn, (0, 50), ("x", "t", "A", 0))
    for i in range(1, 11):
        put(conn, (0, i), ("x", "t", f"B{i}", i))
        put(conn, (0, 10 + i), (f"y{i}", "t", f"B{i}", i))
        put(conn, (0, 20 + i), (f"y{i}", "t", f"C{i}", i))
    put(conn, (0, 60), ("z", "t", "A", 0))
    assert check(conn, (0, 50), trace=trace) == (False, None)
    assert len(trace) == 4


def test_values_come_from_the_row_given(conn, homes, trace):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    put(conn, (0, 2), ("b", "house", "B", 2))
    # the given row's values decide the first lookups, not the stored row's
    assert check(conn, (0, 1), row=(1, "b", "house", "Z", 0)) == (False, None)
    assert check(conn, (0, 1), row=[1, "a", "flat", "A", 1]) == (True, {(0, 1)})


def test_negative_position_takes_the_column_counted_from_the_end(conn, homes, trace):
    put(conn, (0, 1), ("a", "flat", "A", 7))
    put(conn, (0, 2), ("b", "house", "B", 7))
    assert check(conn, (0, 1), {"last": [-1]}, trace=trace) == (False, None)
    assert list(trace)[0] == f"SELECT {TOTAL} FROM temp_homes WHERE age = 7"
    assert check(conn, (0, 2), {"pair": [-4, -2]}, trace=trace) == (True, {(0, 2)})
    assert list(trace)[-1] == f"SELECT {TOTAL} FROM homes WHERE name = 'b' AND address = 'B'"


# ---- arguments and failures -----------------------------------------------------------------


def test_arguments_by_keyword(conn, homes):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    visited = {(0, 1)}
    result = T._check_newest_unique(
        eqivalent_set=visited, total_select=TOTAL, cols=list(HOMES_COLS), uniques=UNIQUES,
        row=full_row(conn, (0, 1)), rowid=(0, 1), table="homes", conn=conn)
    assert result == (True, {(0, 1)}) and result[1] is visited
    with pytest.raises(TypeError):
        T._check_newest_unique(conn, "homes", (0, 1), full_row(conn, (0, 1)), UNIQUES,
                               list(HOMES_COLS), TOTAL)
    with pytest.raises(TypeError):
        T._check_newest_unique(conn, "homes", (0, 1), full_row(conn, (0, 1)), UNIQUES,
                               list(HOMES_COLS), TOTAL, set(), set())


@pytest.mark.parametrize(
    "uniques, cols, table, error",
    [
        ({"u": [4]}, HOMES_COLS, "homes", IndexError),
        ({"u": [-5]}, HOMES_COLS, "homes", IndexError),
        ({"u": ["0"]}, HOMES_COLS, "homes", TypeError),
        ({"u": [2]}, HOMES_COLS, "nowhere", sqlite3.OperationalError),
        ({"u": [2]}, ["name", "type", "street", "age"], "homes", sqlite3.OperationalError),
    ],
)
def test_failures_propagate(conn, homes, uniques, cols, table, error):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    with pytest.raises(error):
        T._check_newest_unique(conn, table, (0, 1), full_row(conn, (0, 1)), uniques, list(cols),
                               TOTAL, {(0, 1)})


def test_writes_and_commits_nothing(conn, other, homes, trace):
    put(conn, (0, 1), ("a", "flat", "A", 1))
    conn.execute("INSERT INTO temp_homes VALUES ('a', 'flat', 'B', 2)")  # uncommitted
    assert check(conn, (0, 1), trace=trace) == (False, None)
    # the first lookup already meets the newer staged row
    assert list(trace) == [f"SELECT {TOTAL} FROM temp_homes WHERE name = 'a' AND type = 'flat'"]
    assert conn.in_transaction
    assert other.execute("SELECT count(*) FROM temp_homes").fetchone() == (0,)


# ---- a chain as long as the table -----------------------------------------------------------

N = 100_000
_chain_names = itertools.count()


@pytest.fixture(scope="module")
def chain(tmp_path_factory):
    """N main rows; row i (rowid i + 1) has a = (i + 1) // 2 and b = i // 2, so
    consecutive rows share a or b and the whole table is one chain."""
    path = str(tmp_path_factory.mktemp("chain") / "chain.db")
    conn = T.DB(f"chain-{next(_chain_names)}", path).connection()
    T.create_table(conn, "chain", ["a", "b"], [],
                   [{"name": "A", "cols": [0]}, {"name": "B", "cols": [1]}])
    conn.executemany("INSERT INTO chain VALUES (?,?)", (((i + 1) // 2, i // 2) for i in range(N)))
    conn.commit()
    yield conn
    conn.close()


def chain_check(conn, rowid, statements=None):
    """Tests main row `rowid`; `statements` collects a mark per statement of the test itself."""
    row = conn.execute("SELECT rowid,a,b FROM chain WHERE rowid = ?", (rowid,)).fetchone()
    visited = {(0, rowid)}
    if statements is not None:
        conn.set_trace_callback(lambda _: statements.append(None))
    return T._check_newest_unique(conn, "chain", (0, rowid), row, {"A": [0], "B": [1]},
                                  ["a", "b"], "rowid,a,b", visited), visited


def test_newest_row_of_a_long_chain_visits_it_all_without_recursion(chain):
    statements = []
    started = time.perf_counter()
    try:
        result, visited = chain_check(chain, N, statements)
    finally:
        chain.set_trace_callback(None)
    elapsed = time.perf_counter() - started
    assert result[0] is True and result[1] is visited
    assert visited == {(0, i) for i in range(1, N + 1)}
    # one staged and one main statement per distinct value of a and of b
    distinct = len({(i + 1) // 2 for i in range(N)}) + len({i // 2 for i in range(N)})
    assert len(statements) == 2 * distinct
    assert elapsed < 60, elapsed


@pytest.mark.parametrize("rowid", [1, 2, N // 2, N - 1])
def test_older_rows_of_a_long_chain_are_rejected_at_once(chain, rowid):
    statements = []
    try:
        result, _ = chain_check(chain, rowid, statements)
    finally:
        chain.set_trace_callback(None)
    assert result == (False, None)
    assert len(statements) <= 4


@pytest.mark.parametrize(
    "conditions, expected",
    [
        ("", [[N // 2, (N - 1) // 2]]),
        ("where rowid <= 10", []),
        ("where rowid > 99990 order by rowid desc", [[N // 2, (N - 1) // 2]]),
        ("where rowid % 1000 = 0", [[N // 2, (N - 1) // 2]]),
    ],
)
def test_find_over_a_long_chain_returns_only_its_newest_row(chain, conditions, expected):
    assert T.find(chain, "a,b", "chain", conditions) == expected


def test_staged_row_at_the_far_end_of_a_long_chain_wins(chain):
    T.insert_temp(chain, "chain", [(0, -1)], comm=False)
    try:
        assert T.find(chain, "*", "chain", "") == [[0, -1]]
        assert T.find(chain, "*", "chain", "where rowid = 100000") == []
        result, _ = chain_check(chain, N)
        assert result == (False, None)
    finally:
        chain.rollback()
