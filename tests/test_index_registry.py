"""Registered indexes: insert_index, drop_index, drop_table_index, active_table_index."""

import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tablora.tablora as T
from support import (
    COMM_COMMITS,
    CREATE_INDEX_TABLE,
    HOMES_SQL_INDEXES,
    CountingConnection,
    Named,
    catalogue,
    committed,
    index_columns,
    index_statements,
    same_table,
    sql_indexes,
)

SELECT_INDEXES = "SELECT * FROM sqlite_master WHERE type = 'index'"


def schema(conn):
    sql = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name"
    return conn.execute(sql).fetchall()


class Description:
    """Answers lookup by key, and nothing else."""

    def __init__(self, **items):
        self.items = items

    def __getitem__(self, key):
        return self.items[key]


# --- insert_index and drop_index -------------------------------------------------------


def test_registration_builds_the_index_then_records_it(conn, other, homes, trace):
    trace.clear()
    assert T.insert_index(conn, {"table": "homes", "name": "extra", "cols": "name,age"}) is None
    assert trace.without_transactions() == index_statements("homes", "extra", "name,age")
    assert trace.statements[-1] == "COMMIT"
    assert ("homes", "extra", "name,age") in catalogue(other, "index_table", "homes")
    assert index_columns(other, "homes_extra") == ["name", "age"]


def test_registering_a_pair_again_replaces_it(conn, homes):
    T.insert_index(conn, {"table": "homes", "name": "index_0", "cols": "name,type"})
    T.insert_index(conn, {"table": "homes", "name": "index_0", "cols": "address"})
    assert [r for r in catalogue(conn, "index_table") if r[1] == "index_0"] == [
        ("homes", "index_0", "address")
    ]
    assert index_columns(conn, "homes_index_0") == ["address"]
    assert sql_indexes(conn, "homes") == HOMES_SQL_INDEXES


def test_registration_replaces_an_index_made_outside_under_the_same_name(conn, homes):
    conn.execute("CREATE INDEX homes_zz ON homes (age)")
    T.insert_index(conn, {"table": "homes", "name": "zz", "cols": "name"})
    assert index_columns(conn, "homes_zz") == ["name"]


def test_description_may_be_any_keyed_object_with_further_keys(conn, homes):
    T.insert_index(conn, Description(table="homes", name="d", cols="age", other=1))
    T.insert_index(conn, index={"table": "homes", "name": "e", "cols": "type", "x": None},
                   comm=True)
    assert {("homes", "d", "age"), ("homes", "e", "type")} <= set(catalogue(conn, "index_table"))


def test_row_values_are_bound_as_given(conn, homes):
    T.insert_index(conn, {"table": "homes", "name": 0, "cols": "age"})
    assert conn.execute(
        "SELECT typeof(table_name), typeof(index_name), index_name FROM index_table "
        "WHERE index_name = 0"
    ).fetchall() == [("text", "integer", 0)]
    assert "homes_0" in sql_indexes(conn, "homes")


@pytest.mark.parametrize(
    "description, error, steps",
    [
        ({"name": "i", "cols": "age"}, KeyError, 1),
        ({"table": "homes", "cols": "age"}, KeyError, 1),
        ({"table": "homes", "name": "index_0"}, KeyError, 3),
        ({"table": "homes", "name": "index_0", "cols": "nosuch"}, sqlite3.OperationalError, 3),
        ({"table": "nowhere", "name": "i", "cols": "age"}, sqlite3.OperationalError, 3),
        ({"table": "homes", "name": "index_0", "cols": ["age"]}, sqlite3.OperationalError, 3),
    ],
    ids=["no-table", "no-name", "no-cols", "missing-column", "missing-table", "list-cols"],
)
def test_failing_registration_leaves_no_catalogue_row(conn, homes, trace, description, error,
                                                      steps):
    trace.clear()
    with pytest.raises(error):
        T.insert_index(conn, description)
    table, name = description.get("table"), description.get("name")
    assert trace.without_transactions() == index_statements(table, name, "")[:steps]
    assert "COMMIT" not in trace.statements
    conn.commit()
    # The old registration of the pair is gone with it; nothing new was recorded.
    assert not [r for r in catalogue(conn, "index_table") if (r[0], r[1]) == (table, name)]
    registered = catalogue(conn, "index_table", "homes")
    assert len(registered) == (3 if steps == 3 and table == "homes" else 4)
    T.drop_table_index(conn, "homes")
    T.active_table_index(conn, "homes")  # later rebuilds do not trip over a stale row
    assert sql_indexes(conn, "homes") == sorted(f"homes_{r[1]}" for r in registered)


def test_drop_index_removes_row_and_index(conn, other, homes, trace):
    trace.clear()
    assert T.drop_index(conn, "homes", "index_0") is None
    assert trace.without_transactions() == [
        CREATE_INDEX_TABLE,
        f"DELETE FROM index_table where {same_table('homes')} AND index_name = 'index_0'",
        "DROP INDEX if exists homes_index_0",
    ]
    assert trace.statements[-1] == "COMMIT"
    assert [r[1] for r in catalogue(other, "index_table")] == ["index_1", "unique_0", "unique_1"]
    assert sql_indexes(other, "homes") == HOMES_SQL_INDEXES[1:]
    assert len(catalogue(other, "unique_table")) == 2


def test_drop_of_an_unregistered_pair_only_ensures_the_catalogue(conn, homes):
    conn.execute("DROP TABLE index_table")
    before = schema(conn)
    T.drop_index(conn, table="homes", name="never", comm=True)
    after = schema(conn)
    assert [r for r in after if r not in before] == [
        ("table", "index_table", "index_table",
         "CREATE TABLE index_table (table_name, index_name, columns)")
    ]
    assert [r for r in before if r not in after] == []
    assert catalogue(conn, "index_table") == []


def test_drop_index_drops_the_composed_index_without_a_row(conn, homes):
    conn.execute("CREATE INDEX homes_outside ON homes (age)")
    T.drop_index(conn, "homes", "outside")
    assert sql_indexes(conn, "homes") == HOMES_SQL_INDEXES
    assert len(catalogue(conn, "index_table")) == 4


def test_pairs_with_the_same_composed_name_share_one_sql_index(conn):
    conn.execute("CREATE TABLE a_b (x, y)")
    conn.execute("CREATE TABLE a (x, y)")
    T.insert_index(conn, {"table": "a_b", "name": "c", "cols": "x"})
    assert sql_indexes(conn, "a_b") == ["a_b_c"]
    T.insert_index(conn, {"table": "a", "name": "b_c", "cols": "y"})
    assert sql_indexes(conn, "a_b") == []
    assert sql_indexes(conn, "a") == ["a_b_c"]
    assert index_columns(conn, "a_b_c") == ["y"]
    assert catalogue(conn, "index_table") == [("a", "b_c", "y"), ("a_b", "c", "x")]
    T.drop_index(conn, "a_b", "c")  # drops the index that now belongs to a
    assert sql_indexes(conn, "a") == []
    assert catalogue(conn, "index_table") == [("a", "b_c", "y")]


def test_other_letter_case_names_the_same_table(conn, homes):
    T.insert_index(conn, {"table": "HOMES", "name": "up", "cols": "age"})
    assert catalogue(conn, "index_table", "HOMES") == [("HOMES", "up", "age")]  # as given
    T.drop_table_index(conn, "Homes")
    assert sql_indexes(conn, "homes") == []
    T.active_table_index(conn, "homes")
    assert sql_indexes(conn, "homes") == sorted(HOMES_SQL_INDEXES + ["HOMES_up"])
    T.drop_index(conn, "hOmEs", "up")
    assert sql_indexes(conn, "homes") == HOMES_SQL_INDEXES
    assert catalogue(conn, "index_table", "HOMES") == []


@settings(max_examples=30, deadline=None)
@given(st.lists(st.tuples(st.booleans(), st.sampled_from(["i", "j", "k"]),
                          st.sampled_from(["a", "b", "a,b", "b,a"])), max_size=12))
def test_catalogue_and_indexes_follow_the_last_operation_per_name(operations):
    conn = sqlite3.connect(":memory:")
    try:
        conn.execute("CREATE TABLE t (a, b)")
        conn.execute(CREATE_INDEX_TABLE)
        model = {}
        for register_it, name, cols in operations:
            if register_it:
                T.insert_index(conn, {"table": "t", "name": name, "cols": cols}, False)
                model[name] = cols
            else:
                T.drop_index(conn, "t", name, False)
                model.pop(name, None)
        assert catalogue(conn, "index_table") == sorted(("t", n, c) for n, c in model.items())
        assert sql_indexes(conn, "t") == sorted(f"t_{n}" for n in model)
        for name, cols in model.items():
            assert index_columns(conn, f"t_{name}") == cols.split(",")
    finally:
        conn.close()


# --- drop_table_index and active_table_index -------------------------------------------


def test_suspension_round_trip(conn, homes, trace):
    conn.execute("CREATE INDEX homes_outside ON homes (type)")
    conn.execute("CREATE INDEX temp_homes_kept ON temp_homes (age)")
    T.create_table(conn, "homes2", ["a"], [{"name": "i", "cols": "a"}], [])
    before_catalogue = catalogue(conn, "index_table")
    on_homes = [n for (n, t) in conn.execute("SELECT name, tbl_name FROM sqlite_master "
                                             "WHERE type = 'index'") if t == "homes"]
    trace.clear()
    assert T.drop_table_index(conn, "homes") is None
    assert trace.without_transactions() == [SELECT_INDEXES] + [
        f"DROP INDEX if exists {n}" for n in on_homes
    ]
    assert sorted(on_homes) == sorted(HOMES_SQL_INDEXES + ["homes_outside"])
    assert sql_indexes(conn, "homes") == []
    assert sql_indexes(conn, "temp_homes") == ["temp_homes_kept"]
    assert sql_indexes(conn, "homes2") == ["homes2_i"]
    assert catalogue(conn, "index_table") == before_catalogue

    registered = conn.execute("SELECT * FROM index_table WHERE table_name = 'homes'").fetchall()
    trace.clear()
    assert T.active_table_index(conn, "homes") is None
    select = f"SELECT * FROM index_table WHERE {same_table('homes')}"
    assert trace.without_transactions() == [select] + [
        f"CREATE INDEX if not exists {t}_{n} ON {t} ({c})" for t, n, c in registered
    ]
    assert sql_indexes(conn, "homes") == HOMES_SQL_INDEXES  # the outside index stays dropped
    for t, n, c in registered:
        assert index_columns(conn, f"{t}_{n}") == c.split(",")
    assert catalogue(conn, "index_table") == before_catalogue


def test_rebuilding_indexes_that_are_still_there_changes_nothing(conn, homes):
    before = schema(conn)
    T.active_table_index(conn, "homes")
    assert schema(conn) == before


@pytest.mark.parametrize("function, statement", [
    ("drop_table_index", SELECT_INDEXES),
    ("active_table_index", f"SELECT * FROM index_table WHERE {same_table('bare')}"),
])
def test_table_without_indexes_runs_only_the_select_and_still_commits(conn, trace, function,
                                                                      statement):
    conn.execute("CREATE TABLE bare (a)")
    trace.clear()
    spy = CountingConnection(conn)
    getattr(T, function)(spy, "bare")
    assert trace.without_transactions() == [statement]
    assert spy.commits == 1


@pytest.mark.parametrize(
    "cols",
    [["k UNIQUE", "v"], ["k TEXT PRIMARY KEY", "v"],
     ["k", "v", "UNIQUE (k, v)", "PRIMARY KEY (v)"]],
    ids=["unique", "primary-key", "table-constraints"],
)
def test_constraint_indexes_are_left_alone(conn, trace, cols):
    T.create_table(conn, "keyed", cols, [{"name": "iv", "cols": "v"}], [])
    auto = [n for n in sql_indexes(conn, "keyed") if n.startswith("sqlite_autoindex_")]
    assert auto
    trace.clear()
    T.drop_table_index(conn, "keyed")
    assert sql_indexes(conn, "keyed") == auto
    T.active_table_index(conn, "keyed")
    assert sql_indexes(conn, "keyed") == sorted(auto + ["keyed_iv"])


def test_table_is_compared_as_given_or_in_text_form(conn, homes):
    T.drop_table_index(conn, Named("homes"))  # compared as given: no tbl_name equals it
    assert sql_indexes(conn, "homes") == HOMES_SQL_INDEXES
    T.drop_table_index(conn, "homes")
    T.active_table_index(conn, Named("homes"))  # matched in its text form
    assert sql_indexes(conn, "homes") == HOMES_SQL_INDEXES


def test_stale_row_makes_the_rebuild_fail_at_that_row(conn, homes):
    conn.execute("INSERT INTO index_table VALUES ('homes', 'stale', 'gone')")
    T.drop_table_index(conn, "homes")
    with pytest.raises(sqlite3.OperationalError, match="gone"):
        T.active_table_index(conn, "homes")
    assert sql_indexes(conn, "homes") == HOMES_SQL_INDEXES  # the rows before it


# --- quoted names ----------------------------------------------------------------------

# Spliced into a literal, this name would match every row; in DDL the rest of
# the text is a comment, so the index statements still run.
HOSTILE = "x--' OR '1'='1"


def test_quote_in_a_name_cannot_reach_other_rows(conn, homes, trace):
    T.create_table(conn, "flat", ["a"], [{"name": "i", "cols": "a"}], [])
    before = catalogue(conn, "index_table")
    T.drop_index(conn, "homes", HOSTILE)
    assert (f"DELETE FROM index_table where {same_table('homes')} AND index_name = "
            "'x--'' OR ''1''=''1'") in trace.statements
    T.drop_index(conn, HOSTILE, "i")
    assert catalogue(conn, "index_table") == before
    T.drop_table_index(conn, "homes")
    T.active_table_index(conn, "flat' OR '1'='1")
    assert sql_indexes(conn, "homes") == []
    assert catalogue(conn, "index_table") == before


# --- commit rule -----------------------------------------------------------------------

CALLS = {
    "insert_index": lambda conn, comm: T.insert_index(
        conn, {"table": "homes", "name": "new", "cols": "age"}, comm),
    "drop_index": lambda conn, comm: T.drop_index(conn, "homes", "index_0", comm),
    "drop_table_index": lambda conn, comm: T.drop_table_index(conn, "homes", comm),
    "active_table_index": lambda conn, comm: T.active_table_index(conn, "homes", comm),
}
# What a second connection sees on homes afterwards: (before, after a commit).
VISIBLE = {
    "insert_index": (HOMES_SQL_INDEXES, sorted(HOMES_SQL_INDEXES + ["homes_new"])),
    "drop_index": (HOMES_SQL_INDEXES, HOMES_SQL_INDEXES[1:]),
    "drop_table_index": (HOMES_SQL_INDEXES, []),
    "active_table_index": ([], HOMES_SQL_INDEXES),
}


@pytest.mark.parametrize("comm, commits", COMM_COMMITS, ids=[repr(c) for c, _ in COMM_COMMITS])
@pytest.mark.parametrize("function", list(CALLS))
def test_commit_only_when_comm_equals_true(conn, other, homes, trace, function, comm, commits):
    if function == "active_table_index":
        T.drop_table_index(conn, "homes")
    # The caller's own open transaction: the library commits it or leaves it open.
    conn.execute("INSERT INTO homes VALUES ('n', 't', 'a', 1)")
    trace.clear()
    before, after = VISIBLE[function]
    assert CALLS[function](conn, comm) is None
    assert sql_indexes(conn, "homes") == after
    assert sql_indexes(other, "homes") == (after if commits else before)
    assert committed(other, "SELECT count(*) FROM homes") == [(int(commits),)]
    assert trace.statements.count("COMMIT") == int(commits)
    assert conn.in_transaction is not commits
    names = [r[1] for r in committed(other, "SELECT * FROM index_table")]
    if function == "insert_index":
        assert ("new" in names) is commits
    if function == "drop_index":
        assert ("index_0" in names) is not commits
