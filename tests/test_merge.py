"""The staging merge: temp_to_main settles staged rows into the main table under the unique rules.

The table homes (name, type, address, age) carries two rules: unique_0 over name,type
(positions 0,1) and unique_1 over address (position 2).
"""

import sqlite3

import pytest

import tablora.tablora as T
from tablora._merge import merge
from support import (COMM_COMMITS, HOMES_SQL_INDEXES as REGISTERED, CountingConnection,
                     catalogue, put, rows, same_table, settle, sql_indexes, stage,
                     through_functions, typed)

JOIN_A = (
    "SELECT m.rowid FROM homes AS m JOIN temp_homes AS s "
    "ON m.name = s.name AND m.type = s.type WHERE s.rowid <= {}"
)
JOIN_B = "SELECT m.rowid FROM homes AS m JOIN temp_homes AS s ON m.address = s.address WHERE s.rowid <= {}"
READS = [
    "PRAGMA table_info(homes)",
    f"SELECT * FROM unique_table WHERE {same_table('homes')}",
    "SELECT count(*), max(rowid) FROM temp_homes",
    "PRAGMA table_info(temp_homes)",
]
SURVIVORS = (
    "SELECT * FROM temp_homes WHERE rowid <= 2 AND (name IS NULL OR type IS NULL OR rowid IN "
    "(SELECT max(rowid) FROM temp_homes WHERE rowid <= 2 GROUP BY name,type)) AND (address IS "
    "NULL OR rowid IN (SELECT max(rowid) FROM temp_homes WHERE rowid <= 2 GROUP BY address)) "
    "ORDER BY rowid DESC"
)
DROPS = ["SELECT * FROM sqlite_master WHERE type = 'index'"] + [
    f"DROP INDEX if exists {name}" for name in REGISTERED
]
REBUILDS = [
    f"SELECT * FROM index_table WHERE {same_table('homes')}",
    "CREATE INDEX if not exists homes_index_0 ON homes (name,type,address)",
    "CREATE INDEX if not exists homes_index_1 ON homes (age)",
    "CREATE INDEX if not exists homes_unique_0 ON homes (name,type)",
    "CREATE INDEX if not exists homes_unique_1 ON homes (address)",
]


def typed_main(conn):
    """(rowid, values) of the main table, each value with its storage class."""
    return typed(rows(conn, "homes"))


def main_values(conn):
    return [row[1:] for row in rows(conn, "homes")]


def set_col_num(conn, rule, col_num):
    conn.execute(
        "UPDATE unique_table SET col_num = ? WHERE table_name = 'homes' AND unique_name = ?",
        (col_num, rule),
    )
    conn.commit()


def index_sql(conn):
    return sorted(
        conn.execute(
            "SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = 'homes'"
        ).fetchall()
    )


@pytest.fixture
def snapshot(conn, homes):
    """Everything a merge may change, as the connection sees it."""

    def take(connection=conn):
        return {
            "main": typed_main(connection),
            "staged": typed(rows(connection, "temp_homes")),
            "indexes": sql_indexes(connection, "homes"),
            "index_table": catalogue(connection, "index_table"),
            "unique_table": catalogue(connection, "unique_table"),
        }

    return take


# --- statements ----------------------------------------------------------------------------


def test_statement_sequence(conn, trace, homes):
    settle(conn, ("a", "t", "m1", 1), ("q", "q", "m2", 2))
    stage(conn, ("b", "u", "m2", 3), ("a", "t", "s2", 4))
    trace.clear()
    assert T.temp_to_main(conn, "homes") is None
    # No row and no row id travels to the client: the deletes go through the
    # rules' indexes before they are dropped, the survivors in one INSERT.
    assert trace.statements == (
        READS
        + ["SELECT max(rowid) FROM homes"]
        + [f"DELETE FROM homes WHERE rowid IN ({join.format(2)})" for join in (JOIN_A, JOIN_B)]
        + DROPS
        + [
            "INSERT INTO homes " + SURVIVORS,
            "DELETE From temp_homes",
        ]
        + REBUILDS
        + ["COMMIT"]
    )


def test_siblings_are_called_through_module_names_by_keyword_without_commit(
    conn, homes, monkeypatch
):
    settle(conn, ("a", "t", "m1", 1), ("z", "z", "m2", 2))
    stage(conn, ("b", "b", "m2", 3), ("c", "c", "s2", 4), ("a", "t", "s3", 5))
    calls = []
    for name in ("drop_table_index", "delete_row_main", "_insert_main", "active_table_index"):
        original = getattr(T, name)

        def spy(*args, _name=name, _original=original, **kwargs):
            calls.append((_name, args, kwargs))
            return _original(*args, **kwargs)

        monkeypatch.setattr(T, name, spy)
    T.temp_to_main(conn, "homes")
    assert [(name, args) for name, args, _ in calls] == [
        ("drop_table_index", ()),
        ("delete_row_main", ()),
        ("_insert_main", ()),
        ("active_table_index", ()),
    ]
    base = {"conn": conn, "table": "homes", "comm": False}
    drop, delete, insert, activate = (kwargs for _, _, kwargs in calls)
    assert drop == activate == base
    assert delete == {**base, "ids": {1, 2}} and isinstance(delete["ids"], set)
    assert insert == {
        **base,
        "rows": [("a", "t", "s3", 5), ("c", "c", "s2", 4), ("b", "b", "m2", 3)],
    }
    assert isinstance(insert["rows"], list)


# --- resulting rules --------------------------------------------------------------------------


def test_newest_staged_row_wins_and_replaces_main_rows(conn, other, homes):
    settle(conn, ("a", "t", "main", 0), ("keep", "k", "kept", 9))
    stage(conn, ("a", "t", "s1", 1), ("a", "t", "s2", 2), ("a", "t", "s3", 3))
    T.temp_to_main(conn, "homes")
    assert main_values(other) == [("keep", "k", "kept", 9), ("a", "t", "s3", 3)]
    assert rows(other, "temp_homes") == []


def test_newest_means_highest_staging_row_id_not_insertion_order(conn, other, homes):
    for rowid, values in [(10, ("a", "t", "higher", 1)), (5, ("a", "t", "lower", 2)),
                          (7, ("x", "x", "x", 3))]:
        put(conn, (1, rowid), values)
    T.temp_to_main(conn, "homes")
    assert main_values(other) == [("a", "t", "higher", 1), ("x", "x", "x", 3)]


def test_repeat_under_one_rule_but_new_under_another(conn, other, homes):
    settle(
        conn,
        ("z", "z", "B", 10),   # shares the B value of `middle`: deleted
        ("a", "t", "m", 11),   # shares the A values of `newest`: deleted
        ("b", "t", "n", 12),   # shares the A values of `oldest`: deleted
        ("c", "c", "C", 13),   # shares nothing: untouched
    )
    stage(
        conn,
        ("b", "t", "B", 1),    # oldest: repeats `middle` under B, new under A
        ("a", "t", "B", 2),    # middle: repeats `newest` under A, new under B
        ("a", "t", "N", 3),    # newest
    )
    T.temp_to_main(conn, "homes")
    assert main_values(other) == [("c", "c", "C", 13), ("a", "t", "N", 3)]


def test_every_main_row_matched_is_deleted(conn, other, homes):
    settle(conn, ("a", "t", "1", 1), ("a", "t", "2", 2), ("x", "x", "B", 3),
           ("a", "t", "3", 4), ("y", "y", "B", 5), ("a", "u", "4", 6))
    stage(conn, ("a", "t", "B", 7))
    T.temp_to_main(conn, "homes")
    assert rows(other, "homes") == [(6, "a", "u", "4", 6), (7, "a", "t", "B", 7)]


def test_main_rows_sharing_nothing_are_untouched(conn, other, homes):
    settle(conn, ("a", "u", "x", 1), ("b", "t", "y", 2), ("a", "t", "z", 3))
    stage(conn, ("a", "t", "w", 4))
    T.temp_to_main(conn, "homes")
    assert rows(other, "homes") == [
        (1, "a", "u", "x", 1), (2, "b", "t", "y", 2), (3, "a", "t", "w", 4)
    ]


def test_survivors_reach_main_newest_first(conn, other, homes):
    settle(conn, ("m1", "m", "m1", 0), ("m2", "m", "m2", 0))
    stage(conn, ("s1", "s", "s1", 1), ("s2", "s", "s2", 2), ("s3", "s", "s3", 3))
    T.temp_to_main(conn, "homes")
    assert rows(other, "homes") == [
        (1, "m1", "m", "m1", 0),
        (2, "m2", "m", "m2", 0),
        (3, "s3", "s", "s3", 3),
        (4, "s2", "s", "s2", 2),
        (5, "s1", "s", "s1", 1),
    ]


def test_identical_staged_rows_are_inserted_once(conn, other, homes):
    stage(conn, ("a", "t", "x", 1), ("a", "t", "x", 1), ("a", "t", "x", 1))
    T.temp_to_main(conn, "homes")
    assert rows(other, "homes") == [(1, "a", "t", "x", 1)]


def test_a_second_merge_moves_only_what_was_staged_since(conn, other, homes):
    stage(conn, ("a", "t", "x", 1))
    T.temp_to_main(conn, "homes")
    stage(conn, ("a", "t", "y", 2), ("b", "t", "z", 3))
    T.temp_to_main(conn, "homes")
    assert main_values(other) == [("b", "t", "z", 3), ("a", "t", "y", 2)]


# --- NULLs and value equality --------------------------------------------------------------


def test_null_in_a_rule_column_never_matches_a_main_row(conn, other, homes):
    settle(conn, (None, "t", "m1", 1), ("n", "t", None, 2), (None, None, None, 3))
    stage(conn, (None, "t", "s1", 4), ("k", "k", None, 5), (None, None, "s3", 6))
    T.temp_to_main(conn, "homes")
    assert main_values(other) == [
        (None, "t", "m1", 1), ("n", "t", None, 2), (None, None, None, 3),
        (None, None, "s3", 6), ("k", "k", None, 5), (None, "t", "s1", 4),
    ]


@pytest.mark.parametrize("functions", [False, True], ids=["in-database", "through-functions"])
@pytest.mark.parametrize(
    "rules, staged, survivors",
    [
        (   # the rule's one column NULL: no repeats, whatever the other columns hold
            [[1]],
            [(1, None, "x"), (2, None, "y"), (3, "a@x", "z"), (4, None, "w")],
            [(4, None, "w"), (3, "a@x", "z"), (2, None, "y"), (1, None, "x")],
        ),
        (   # a NULL in either column of a two-column rule; identical rows too
            [[0, 1]],
            [(1, None, "p"), (1, None, "p"), (None, 2, "q"), (None, None, "r"), (None, None, "r")],
            [(None, None, "r"), (None, None, "r"), (None, 2, "q"), (1, None, "p"), (1, None, "p")],
        ),
        (   # two rules: a row NULL-keyed under one still repeats under the other
            [[0], [1]],
            [(1, None, "old"), (None, 5, "x"), (1, None, "new"), (None, 5, "y"),
             (None, None, "z1"), (None, None, "z2")],
            [(None, None, "z2"), (None, None, "z1"), (None, 5, "y"), (1, None, "new")],
        ),
    ],
    ids=["one-rule", "two-columns", "two-rules"],
)
def test_null_keyed_staged_rows_link_to_nothing(conn, other, functions, rules, staged, survivors):
    T.create_table(conn, "t", ["a", "b", "c"], [],
                   [{"name": f"rule_{i}", "cols": cols} for i, cols in enumerate(rules)])
    settle(conn, (None, None, "main"), table="t")
    stage(conn, *staged, table="t")
    with through_functions(functions):
        T.temp_to_main(conn, "t")
    assert [row[1:] for row in rows(other, "t")] == [(None, None, "main"), *survivors]


@pytest.mark.parametrize(
    "older, newer, repeat",
    [
        (1, 1.0, True),
        (1.0, 1, True),
        (2, 2, True),
        (1, "1", False),
        ("1", 1, False),
        (1.0, "1.0", False),
        ("1", b"1", False),
        ("a", "A", False),
    ],
    ids=repr,
)
def test_staged_repeats_use_value_equality(conn, other, homes, older, newer, repeat):
    stage(conn, ("o", "o", older, 1), ("n", "n", newer, 2))
    T.temp_to_main(conn, "homes")
    survivors = [(1, "n", "n", newer, 2)] + ([] if repeat else [(2, "o", "o", older, 1)])
    assert typed_main(other) == typed(survivors)


@pytest.mark.parametrize(
    "in_main, staged, replaced",
    [
        (1, 1.0, True),
        (1.0, 1, True),
        ("1", "1", True),
        (b"1", b"1", True),
        ("1", 1, False),
        (1, "1", False),
        (b"1", "1", False),
        ("a", "A", False),
        (None, None, False),
    ],
    ids=repr,
)
def test_main_rows_match_by_sql_equality(conn, other, homes, in_main, staged, replaced):
    settle(conn, ("m", "m", in_main, 1))
    stage(conn, ("s", "s", staged, 2))
    T.temp_to_main(conn, "homes")
    kept = [] if replaced else [(1, "m", "m", in_main, 1)]
    assert typed_main(other) == typed(kept + [(1 if replaced else 2, "s", "s", staged, 2)])


# --- rules as the catalogue holds them ------------------------------------------------------


@pytest.mark.parametrize("col_num", ["0,1", "0, 1", " 0 ,  1 ", "0,\t1", "-4,-3", "0,-3"])
def test_col_num_with_blanks_or_negative_positions(conn, other, homes, col_num):
    set_col_num(conn, "unique_0", col_num)
    # Rows sharing only the name or only the type stay: the rule is (name, type).
    settle(conn, ("a", "t", "m", 1), ("a", "u", "n", 2), ("b", "t", "o", 3))
    stage(conn, ("a", "t", "s1", 3), ("a", "t", "s2", 4))
    T.temp_to_main(conn, "homes")
    assert rows(other, "homes") == [
        (2, "a", "u", "n", 2), (3, "b", "t", "o", 3), (4, "a", "t", "s2", 4)
    ]


def test_rule_order_within_col_num_names_the_join_columns_in_that_order(conn, trace, homes):
    set_col_num(conn, "unique_0", "1,0")
    stage(conn, ("a", "t", "s", 1))
    trace.clear()
    T.temp_to_main(conn, "homes")
    assert (
        "SELECT m.rowid FROM homes AS m JOIN temp_homes AS s "
        "ON m.type = s.type AND m.name = s.name WHERE s.rowid <= 1"
    ) in "".join(trace.statements)


def test_without_rules_every_staged_row_is_inserted_and_nothing_deleted(conn, other, trace, homes):
    conn.execute("DELETE FROM unique_table WHERE table_name = 'homes'")
    settle(conn, ("a", "t", "x", 1))
    stage(conn, ("a", "t", "x", 1), ("a", "t", "x", 2), ("a", "t", "x", 3))
    trace.clear()
    T.temp_to_main(conn, "homes")
    assert not any(s.startswith(("SELECT m.rowid", "DELETE From homes")) for s in trace)
    assert main_values(other) == [
        ("a", "t", "x", 1), ("a", "t", "x", 3), ("a", "t", "x", 2), ("a", "t", "x", 1)
    ]


def test_rules_of_other_tables_are_ignored(conn, other, homes):
    conn.execute("INSERT INTO unique_table VALUES ('flats', 'u', 'age', '3')")
    conn.execute("INSERT INTO unique_table VALUES ('homes ', 'u', 'age', '3')")
    settle(conn, ("m", "m", "m", 7))
    stage(conn, ("s", "s", "s", 7))
    T.temp_to_main(conn, "homes")
    assert main_values(other) == [("m", "m", "m", 7), ("s", "s", "s", 7)]


def test_a_later_catalogue_row_of_the_same_rule_replaces_its_positions(conn, other, homes):
    conn.execute("INSERT INTO unique_table VALUES ('homes', 'unique_0', 'age', '3')")
    stage(conn, ("a", "t", "x", 1), ("a", "t", "y", 2), ("b", "b", "z", 2))
    T.temp_to_main(conn, "homes")
    # unique_0 now means age: the two rows of age 2 collide, name/type no longer do.
    assert main_values(other) == [("b", "b", "z", 2), ("a", "t", "x", 1)]


# --- failures ----------------------------------------------------------------------------


@pytest.mark.parametrize("col_num", ["4", "0,4", "99", "-5", "2,-9"])
def test_position_beyond_the_last_column_fails_before_anything_is_written(
    conn, other, snapshot, col_num
):
    set_col_num(conn, "unique_1", col_num)
    settle(conn, ("a", "t", "x", 1))
    stage(conn, ("a", "t", "y", 2))
    before = snapshot()
    with pytest.raises(IndexError):
        T.temp_to_main(conn, "homes")
    assert not conn.in_transaction
    assert snapshot() == snapshot(other) == before


def test_position_beyond_the_staged_row_fails_although_main_has_the_column(
    conn, other, snapshot
):
    conn.execute("ALTER TABLE homes ADD COLUMN extra")
    set_col_num(conn, "unique_1", "4")
    stage(conn, ("a", "t", "y", 2))
    before = snapshot()
    with pytest.raises(IndexError):
        T.temp_to_main(conn, "homes")
    assert not conn.in_transaction
    assert snapshot(other) == before


def test_rules_without_a_main_table_fail_at_the_first_staged_row(conn, homes):
    conn.execute("DROP TABLE homes")
    stage(conn, ("a", "t", "y", 2))
    with pytest.raises(IndexError):
        T.temp_to_main(conn, "homes")
    assert not conn.in_transaction
    assert rows(conn, "temp_homes") == [(1, "a", "t", "y", 2)]


def test_position_beyond_the_last_column_is_harmless_with_nothing_staged(conn, other, homes):
    set_col_num(conn, "unique_1", "9")
    settle(conn, ("a", "t", "x", 1))
    T.temp_to_main(conn, "homes")
    assert main_values(other) == [("a", "t", "x", 1)]
    assert sql_indexes(other, "homes") == REGISTERED


@pytest.mark.parametrize("col_num", ["", "0,,1", "0,", "x", "1.5", "0;1"])
@pytest.mark.parametrize("staged", [True, False], ids=["staged", "empty"])
def test_col_num_that_is_not_integers_fails_on_reading_the_rules(
    conn, other, trace, snapshot, col_num, staged
):
    set_col_num(conn, "unique_0", col_num)
    if staged:
        stage(conn, ("a", "t", "y", 2))
    before = snapshot()
    trace.clear()
    with pytest.raises(ValueError):
        T.temp_to_main(conn, "homes")
    assert not any("temp_homes" in s for s in trace)  # failed before reading the staged rows
    assert snapshot(other) == before


def test_missing_staging_table_fails_on_reading_it(conn, homes):
    conn.execute("DROP TABLE temp_homes")
    with pytest.raises(sqlite3.OperationalError, match="no such table: temp_homes"):
        T.temp_to_main(conn, "homes")
    assert not conn.in_transaction
    assert sql_indexes(conn, "homes") == REGISTERED


def break_rebuild(conn, monkeypatch):
    # A registered index over a column the table no longer has.
    conn.execute("INSERT INTO index_table VALUES ('homes', 'ghost', 'gone')")
    return sqlite3.OperationalError, "gone"


def break_insert(conn, monkeypatch):
    conn.execute("ALTER TABLE homes ADD COLUMN extra")
    return sqlite3.OperationalError, "5 columns but 4 values"


def break_decoding(conn, monkeypatch):
    # Through the module-level functions, the survivors are read back, and a
    # text that is not UTF-8 fails after the deletes.
    monkeypatch.setattr(T, "_insert_main", lambda **kwargs: MAIN_INSERT(**kwargs))
    conn.execute("INSERT INTO temp_homes VALUES ('bad', 'x', CAST(x'ff' AS TEXT), 0)")
    return sqlite3.OperationalError, "decode"


MAIN_INSERT = T._insert_main


@pytest.mark.parametrize("breaking", [break_rebuild, break_insert, break_decoding])
@pytest.mark.parametrize("inside", [False, True], ids=["own transaction", "caller's transaction"])
def test_a_failed_merge_leaves_nothing_of_its_work(
    conn, other, snapshot, monkeypatch, breaking, inside
):
    settle(conn, *[(f"k{i}", "t", f"m{i}", i) for i in range(40)])
    error, message = breaking(conn, monkeypatch)
    stage(conn, *[(f"k{i}", "t", f"s{i}", i) for i in range(0, 80, 2)])

    def state(connection):  # texts as bytes: one of them is not UTF-8
        connection.text_factory = bytes
        try:
            return snapshot(connection)
        finally:
            connection.text_factory = str

    conn.execute("CREATE TABLE caller (x)")
    before = state(conn)
    if inside:
        conn.execute("INSERT INTO caller VALUES (1)")
    with pytest.raises(error, match=message):
        T.temp_to_main(conn, "homes")
    assert conn.in_transaction == inside
    assert conn.execute("SELECT * FROM caller").fetchall() == ([(1,)] if inside else [])
    assert state(conn) == state(other) == before
    if not inside:
        stage(other, ("late", "t", "l", 1))  # the write lock is free


# How a caller's transaction is open when the merge commits, by the connection's mode.
CALLER_TRANSACTIONS = {
    "implicit": ({}, []),
    "implicit immediate": ({"isolation_level": "IMMEDIATE"}, []),
    "explicit BEGIN": ({"isolation_level": None}, ["BEGIN"]),
    "caller's savepoint": ({"isolation_level": None}, ["SAVEPOINT mine"]),
    "autocommit=False": ({"autocommit": False}, []),
}


@pytest.mark.parametrize("functions", [False, True], ids=["in-database", "through-functions"])
@pytest.mark.parametrize("mode", CALLER_TRANSACTIONS)
def test_a_commit_that_fails_in_the_callers_transaction_undoes_the_merge(
    conn, other, db_path, snapshot, mode, functions
):
    settle(conn, ("a", "t", "m1", 1))
    stage(conn, ("a", "t", "s1", 2), ("b", "t", "s2", 3))
    conn.execute("CREATE TABLE log (x)")
    conn.commit()
    before = snapshot()
    options, opening = CALLER_TRANSACTIONS[mode]
    caller = sqlite3.connect(db_path, timeout=0.2, **options)
    for sql in opening:
        caller.execute(sql)
    caller.execute("INSERT INTO log VALUES ('mine')")
    other.execute("BEGIN")  # a reader: its shared lock refuses the COMMIT
    other.execute("SELECT count(*) FROM homes").fetchall()
    with through_functions(functions), pytest.raises(sqlite3.OperationalError, match="locked"):
        T.temp_to_main(caller, "homes")
    assert caller.in_transaction and snapshot(caller) == before
    other.rollback()
    caller.commit()  # publishes the caller's own work, and none of the merge's
    assert other.execute("SELECT x FROM log").fetchall() == [("mine",)]
    assert snapshot(other) == before
    caller.close()


# --- indexes, empty staging, commits ----------------------------------------------------------


@pytest.mark.parametrize("main_rows", [1, 40], ids=["rebuilt", "kept in place"])
def test_indexes_end_as_registered_and_an_outside_index_is_dropped(
    conn, other, homes, main_rows
):
    registered = index_sql(conn)
    conn.execute("CREATE INDEX outside ON homes (age, name)")
    conn.execute('CREATE INDEX "odd name" ON homes (type)')
    conn.execute("CREATE INDEX staging_side ON temp_homes (name)")
    conn.execute("DROP INDEX homes_index_0")  # missing: built again
    conn.execute("DROP INDEX homes_index_1")  # other columns: built as registered
    conn.execute("CREATE INDEX homes_index_1 ON homes (name)")
    conn.commit()
    settle(conn, *[("a", "t", f"m{i}", i) for i in range(main_rows)])
    stage(conn, ("a", "t", "s", 2))
    before = (catalogue(conn, "index_table"), catalogue(conn, "unique_table"))
    T.temp_to_main(conn, "homes")
    assert index_sql(other) == registered
    assert sql_indexes(other, "temp_homes") == ["staging_side"]
    assert (catalogue(other, "index_table"), catalogue(other, "unique_table")) == before


@pytest.mark.parametrize("comm, commits", [(True, 1), (False, 0)])
def test_empty_staging_changes_nothing_but_rebuilds_indexes(
    conn, other, trace, snapshot, comm, commits
):
    conn.execute("CREATE INDEX outside ON homes (age)")
    settle(conn, ("a", "t", "m", 1))
    before = snapshot()
    spy = CountingConnection(conn)
    trace.clear()
    T.temp_to_main(spy, "homes", comm)
    assert not any(s.startswith(("SELECT m.rowid", "DELETE", "INSERT")) for s in trace)
    assert spy.commits == commits
    assert snapshot() == {**before, "indexes": REGISTERED}


@pytest.mark.parametrize("comm, commits", COMM_COMMITS)
def test_comm_decides_the_commit(conn, other, homes, comm, commits):
    settle(conn, ("a", "t", "m", 1))
    stage(conn, ("a", "t", "s", 2))
    T.temp_to_main(conn, "homes", comm)
    merged = [("a", "t", "s", 2)]
    assert main_values(conn) == merged
    assert main_values(other) == (merged if commits else [("a", "t", "m", 1)])
    assert rows(other, "temp_homes") == ([] if commits else [(1, "a", "t", "s", 2)])
    assert conn.in_transaction != commits


def test_arguments_by_keyword(conn, other, homes):
    stage(conn, ("a", "t", "s", 2))
    T.temp_to_main(comm=1, table="homes", conn=conn)
    assert main_values(other) == [("a", "t", "s", 2)]


# --- a row staged by another connection while the merge runs -----------------------------------


class RacingConnection:
    """Wraps a connection; right after the merge has fetched the staged rows, `race` runs."""

    def __init__(self, conn, race):
        self.conn = conn
        self.race = race
        self.raced = False

    def cursor(self):
        return RacingCursor(self, self.conn.cursor())

    def commit(self):
        self.conn.commit()


class RacingCursor:
    def __init__(self, owner, cursor):
        self.owner = owner
        self.cursor = cursor
        self.last = ""

    def execute(self, sql, *params):
        self.last = sql
        self.cursor.execute(sql, *params)
        return self

    def executemany(self, sql, seq):
        self.last = sql
        self.cursor.executemany(sql, seq)
        return self

    def fetchall(self):
        result = self.cursor.fetchall()
        if not self.owner.raced and self.last.startswith("SELECT count(*), max(rowid) FROM temp_"):
            self.owner.raced = True
            self.owner.race()
        return result

    def fetchmany(self, size):
        return self.cursor.fetchmany(size)


def test_a_row_staged_during_the_merge_survives_and_is_merged_next_time(
    conn, other, trace, homes
):
    settle(conn, ("q", "q", "mq", 0), ("a", "t", "ma", 0))
    stage(conn, ("a", "t", "s1", 1), ("b", "b", "s2", 2))

    def race():
        # Another writer stages a row that replaces the main row `q`.
        other.execute("INSERT INTO temp_homes VALUES ('q', 'q', 'late', 9)")
        other.commit()

    racing = RacingConnection(conn, race)
    trace.clear()
    T.temp_to_main(racing, "homes")
    assert racing.raced
    assert "DELETE From temp_homes WHERE rowid <= 2" in trace.statements
    assert rows(other, "temp_homes") == [(3, "q", "q", "late", 9)]
    assert main_values(other) == [("q", "q", "mq", 0), ("b", "b", "s2", 2), ("a", "t", "s1", 1)]

    T.temp_to_main(conn, "homes")
    assert rows(other, "temp_homes") == []
    assert main_values(other) == [("b", "b", "s2", 2), ("a", "t", "s1", 1), ("q", "q", "late", 9)]


# --- the counted merge of the package's own code (tablora._merge); its counts: test_model ----


@pytest.mark.parametrize("functions, keep, phases", [
    (False, False, ["reading", "deleting", "dropping indexes", "inserting", "rebuilding indexes"]),
    (True, False, ["reading", "dropping indexes", "deleting", "inserting", "rebuilding indexes"]),
    (False, True, ["reading", "deleting", "inserting"]),
    (True, True, ["reading", "deleting", "inserting"]),
], ids=["in-database", "through-functions", "in-database-kept", "through-functions-kept"])
@pytest.mark.parametrize("staged", [True, False], ids=["staged", "empty"])
def test_progress_announces_the_phases_that_run(conn, trace, homes, functions, keep, phases,
                                                staged):
    settle(conn, ("a", "t", "m1", 1))
    if staged:
        stage(conn, ("a", "t", "s1", 2))
    else:  # nothing to delete or insert
        phases = [phase for phase in phases if phase not in ("deleting", "inserting")]
    seen = []
    trace.clear()
    with through_functions(functions):
        merge(conn, "homes", keep_indexes=keep, progress=seen.append)
    assert seen == phases
    assert any(s.startswith("DROP INDEX") for s in trace.statements) == (not keep)


@pytest.mark.parametrize("options", [{"through_row_id": "3"}, {"progress": 5}])
def test_counted_merge_refuses_bad_options_before_any_statement(conn, trace, homes, options):
    trace.clear()
    with pytest.raises(TypeError, match=f"{next(iter(options))} must be"):
        merge(conn, "homes", **options)
    assert trace.statements == []
