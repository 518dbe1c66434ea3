"""Unique rules: insert_unique records a rule with its supporting index, drop_unique deletes it."""

import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tablora.tablora as T
from support import (
    COMM_COMMITS,
    HOMES_COLS,
    CREATE_INDEX_TABLE,
    CREATE_UNIQUE_TABLE,
    catalogue,
    committed,
    index_columns,
    same_table,
    sql_indexes,
    unique_statements,
)

def rules(conn, table="homes"):
    return catalogue(conn, "unique_table", table)


def indexes(conn, table="homes"):
    return catalogue(conn, "index_table", table)


@pytest.fixture
def bare(conn):
    """homes with its columns and no index or rule."""
    T.create_table(conn, "homes", list(HOMES_COLS), [], [])
    return "homes"


def test_recording_a_rule_statement_sequence(conn, other, bare, trace):
    trace.clear()
    assert T.insert_unique(conn, "homes", "unique_0", "name,address", "0,2") is None
    assert trace.without_transactions() == unique_statements("homes", "unique_0", "name,address", "0,2")
    assert trace.statements[-1] == "COMMIT"
    assert trace.statements.count("COMMIT") == 1
    assert rules(other) == [("homes", "unique_0", "name,address", "0,2")]
    assert indexes(other) == [("homes", "unique_0", "name,address")]
    assert index_columns(other, "homes_unique_0") == ["name", "address"]
    # a plain index: SQLite enforces nothing
    assert other.execute("PRAGMA index_list(homes)").fetchall()[0][2] == 0


def test_supporting_index_is_registered_through_insert_index(conn, bare, monkeypatch):
    seen = []
    original = T.insert_index

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(T, "insert_index", spy)
    T.insert_unique(conn=conn, table="homes", name="u", cols="age", cols_num="3", comm=False)
    assert seen == [((), {"conn": conn, "comm": False,
                          "index": {"table": "homes", "name": "u", "cols": "age"}})]


def test_recording_again_replaces_the_rule_and_its_index(conn, bare):
    T.insert_unique(conn, "homes", "unique_0", "name,address", "0,2")
    T.insert_unique(conn, "homes", "unique_0", "type", "1")
    assert rules(conn) == [("homes", "unique_0", "type", "1")]
    assert indexes(conn) == [("homes", "unique_0", "type")]
    assert index_columns(conn, "homes_unique_0") == ["type"]
    assert sql_indexes(conn, "homes") == ["homes_unique_0"]


def test_no_composed_name_steps_are_sent(conn, bare, trace):
    T.insert_unique(conn, "homes", "unique_0", "name", "0")
    T.drop_unique(conn, "homes", "unique_0")
    assert not any("_unique_unique_0" in s or "_unique_index_" in s for s in trace)


def test_rule_and_index_of_one_name_share_one_registered_index(conn, bare):
    T.insert_index(conn, {"table": "homes", "name": "unique_0", "cols": "age"})
    T.insert_unique(conn, "homes", "unique_0", "name,address", "0,2")
    assert indexes(conn) == [("homes", "unique_0", "name,address")]
    assert index_columns(conn, "homes_unique_0") == ["name", "address"]
    T.drop_index(conn, "homes", "unique_0")
    assert indexes(conn) == []
    assert sql_indexes(conn, "homes") == []
    assert rules(conn) == [("homes", "unique_0", "name,address", "0,2")]


def test_index_registered_after_the_rule_redefines_the_shared_index(conn, bare):
    T.insert_unique(conn, "homes", "unique_0", "name,address", "0,2")
    T.insert_index(conn, {"table": "homes", "name": "unique_0", "cols": "age"})
    assert indexes(conn) == [("homes", "unique_0", "age")]
    assert rules(conn) == [("homes", "unique_0", "name,address", "0,2")]


def test_drop_unique_deletes_only_the_rule_row(conn, other, homes, trace):
    trace.clear()
    assert T.drop_unique(conn, "homes", "unique_0") is None
    assert trace.without_transactions() == [
        CREATE_UNIQUE_TABLE,
        f"DELETE FROM unique_table where {same_table('homes')} AND unique_name = 'unique_0'",
    ]
    assert trace.statements[-1] == "COMMIT"
    assert rules(other) == [("homes", "unique_1", "address", "2")]
    assert ("homes", "unique_0", "name,type") in indexes(other)
    assert "homes_unique_0" in sql_indexes(other, "homes")
    # the supporting index stays registered: it comes back after a bulk load
    T.drop_table_index(conn, "homes")
    T.active_table_index(conn, "homes")
    assert index_columns(conn, "homes_unique_0") == ["name", "type"]


def test_drop_of_an_unrecorded_rule_only_ensures_the_catalogue(conn, homes):
    conn.execute("DROP TABLE unique_table")
    before = conn.execute("SELECT * FROM index_table").fetchall()
    T.drop_unique(conn, table="homes", name="never", comm=True)
    assert conn.execute("SELECT sql FROM sqlite_master WHERE name = 'unique_table'").fetchall() == [
        ("CREATE TABLE unique_table (table_name, unique_name, columns, col_num)",)
    ]
    assert rules(conn) == []
    assert conn.execute("SELECT * FROM index_table").fetchall() == before


@pytest.mark.parametrize(
    "cols, cols_num, index_cols",
    [("age", "0,2", ["age"]), ("type,name", "3", ["type", "name"]), ("name", "x,y", ["name"])],
    ids=["fewer-names", "more-names", "not-numbers"],
)
def test_columns_and_numbers_are_stored_unchanged(conn, bare, cols, cols_num, index_cols):
    T.insert_unique(conn, "homes", "u", cols, cols_num)
    assert rules(conn) == [("homes", "u", cols, cols_num)]
    assert index_columns(conn, "homes_u") == index_cols


def test_values_are_bound_as_given(conn, bare):
    T.insert_unique(conn, "homes", "u", "age", 3)
    assert conn.execute(
        "SELECT typeof(columns), typeof(col_num), col_num FROM unique_table"
    ).fetchall() == [("text", "integer", 3)]


@pytest.mark.parametrize(
    "args, error, statements",
    [
        (("homes", "u", ["age"], "3"), sqlite3.ProgrammingError, 2),
        (("homes", "u", "nosuch", "9"), sqlite3.OperationalError, 6),
        (("nowhere", "u", "age", "3"), sqlite3.OperationalError, 6),
    ],
    ids=["unbindable-cols", "missing-column", "missing-table"],
)
def test_failure_stops_there_without_commit(conn, other, homes, trace, args, error, statements):
    T.insert_unique(conn, "homes", "u", "type", "1")
    trace.clear()
    with pytest.raises(error):
        T.insert_unique(conn, *args)
    table, name, cols, nums = args
    assert trace.without_transactions() == unique_statements(table, name, cols, nums)[:statements]
    assert "COMMIT" not in trace.statements
    assert conn.in_transaction
    assert ("homes", "u", "type", "1") in rules(other)  # nothing committed
    conn.commit()
    # no index row over the failing columns is left for a later rebuild to trip over
    assert [r for r in catalogue(conn, "index_table") if (r[0], r[2]) == (table, cols)] == []
    T.drop_table_index(conn, "homes")
    T.active_table_index(conn, "homes")


@settings(max_examples=30, deadline=None)
@given(st.lists(st.tuples(st.booleans(), st.sampled_from(["u", "v"]),
                          st.sampled_from([("a", "0"), ("b", "1"), ("a,b", "0,1")])), max_size=10))
def test_rules_follow_the_last_operation_per_name(operations):
    conn = sqlite3.connect(":memory:")
    try:
        conn.execute("CREATE TABLE t (a, b)")
        conn.execute(CREATE_INDEX_TABLE)
        conn.execute(CREATE_UNIQUE_TABLE)
        model, supporting = {}, {}
        for record_it, name, (cols, nums) in operations:
            if record_it:
                T.insert_unique(conn, "t", name, cols, nums, comm=False)
                model[name] = supporting[name] = (cols, nums)
            else:
                T.drop_unique(conn, "t", name, comm=False)
                model.pop(name, None)
        assert catalogue(conn, "unique_table") == sorted(("t", n, c, p) for n, (c, p) in
                                                         model.items())
        # a dropped rule's supporting index stays registered
        assert catalogue(conn, "index_table") == sorted(
            ("t", n, c) for n, (c, _) in supporting.items())
        assert sql_indexes(conn, "t") == sorted(f"t_{n}" for n in supporting)
    finally:
        conn.close()


def test_names_are_matched_in_their_text_form(conn, bare):
    conn.execute("INSERT INTO unique_table VALUES ('5', 'u', 'a', '0'), (5, 'u', 'a', '0')")
    T.drop_unique(conn, 5, "u")
    # the text '5' matches; a value stored as a number never equals text
    assert conn.execute("SELECT typeof(table_name) FROM unique_table").fetchall() == [
        ("integer",)
    ]


# --- quoted names ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "table, name",
    [("homes", "x' OR '1'='1"), ("x' OR '1'='1", "unique_0"), ("x' OR table_name <> '", "u")],
    ids=["name", "table", "table-not-equal"],
)
def test_quote_in_a_name_cannot_delete_other_rules(conn, other, homes, table, name):
    T.create_table(conn, "flat", ["a"], [], [{"name": "unique_0", "cols": [0]}])
    before = catalogue(conn, "unique_table")
    assert len(before) == 3
    T.drop_unique(conn, table, name)
    assert catalogue(other, "unique_table") == before


def test_quote_in_a_recorded_rule_name_leaves_other_rows(conn, homes):
    before = catalogue(conn, "unique_table"), catalogue(conn, "index_table")
    # Recorded as given; only the supporting index cannot take such a name.
    with pytest.raises(sqlite3.OperationalError):
        T.insert_unique(conn, "homes", "x' OR '1'='1", "age", "3")
    assert (catalogue(conn, "unique_table"), catalogue(conn, "index_table")) == (
        sorted(before[0] + [("homes", "x' OR '1'='1", "age", "3")], key=repr), before[1]
    )


# --- commit rule -----------------------------------------------------------------------


@pytest.mark.parametrize("comm, commits", COMM_COMMITS, ids=[repr(c) for c, _ in COMM_COMMITS])
@pytest.mark.parametrize("function", ["insert_unique", "drop_unique"])
def test_commit_only_when_comm_equals_true(conn, other, homes, trace, function, comm, commits):
    trace.clear()
    if function == "insert_unique":
        T.insert_unique(conn, "homes", "new", "age", "3", comm)
        expected_rules = 3 if commits else 2
        assert ("homes_new" in sql_indexes(other, "homes")) is commits
        assert (("homes", "new", "age") in catalogue(other, "index_table")) is commits
    else:
        T.drop_unique(conn, "homes", "unique_0", comm)
        expected_rules = 1 if commits else 2
    assert committed(other, "SELECT count(*) FROM unique_table") == [(expected_rules,)]
    assert trace.statements.count("COMMIT") == int(commits)
    assert conn.in_transaction is not commits
