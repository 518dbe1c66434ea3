"""Managed tables: create_table and drop_table."""

import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tablora.tablora as T
from support import (
    COMM_COMMITS,
    CREATE_INDEX_TABLE,
    CREATE_UNIQUE_TABLE,
    HOMES_COLS,
    Named,
    catalogue,
    columns_of,
    committed,
    homes_index,
    homes_unique,
    index_columns,
    index_statements,
    rows,
    same_table,
    sql_indexes,
    unique_statements,
)


def drop_statements(table):
    return [
        f"DROP Table IF EXISTS {table}",
        f"DELETE FROM index_table Where {same_table(table)}",
        f"DELETE FROM unique_table Where {same_table(table)}",
        f"DROP Table IF EXISTS temp_{table}",
    ]


@pytest.fixture
def calls(monkeypatch):
    """Records every call of the three siblings create_table reaches by module-level name."""
    seen = []
    for name in ("drop_table", "insert_index", "insert_unique"):
        original = getattr(T, name)

        def spy(*args, _name=name, _original=original, **kwargs):
            seen.append((_name, args, dict(kwargs)))
            return _original(*args, **kwargs)

        monkeypatch.setattr(T, name, spy)
    return seen


# --- create_table ----------------------------------------------------------------------


def test_worked_example_statement_sequence(conn, other, trace):
    index = homes_index()
    assert T.create_table(conn, "homes", list(HOMES_COLS), index, homes_unique()) is None
    expected = (
        drop_statements("homes")
        + ["CREATE TABLE homes (name,type,address,age)",
           "CREATE TABLE temp_homes (name,type,address,age)"]
        + index_statements("homes", "index_0", "name,type,address")
        + index_statements("homes", "index_1", "age")
        + unique_statements("homes", "unique_0", "name,type", "0,1")
        + unique_statements("homes", "unique_1", "address", "2")
    )
    assert trace.without_transactions() == expected
    assert trace.statements[-1] == "COMMIT"
    assert trace.statements.count("COMMIT") == 1
    assert index == [
        {"name": "index_0", "cols": "name,type,address", "table": "homes"},
        {"name": "index_1", "cols": "age", "table": "homes"},
    ]
    # everything is visible to a second connection
    assert columns_of(other, "homes") == columns_of(other, "temp_homes") == HOMES_COLS
    assert catalogue(other, "index_table") == [
        ("homes", "index_0", "name,type,address"), ("homes", "index_1", "age"),
        ("homes", "unique_0", "name,type"), ("homes", "unique_1", "address"),
    ]
    assert catalogue(other, "unique_table") == [
        ("homes", "unique_0", "name,type", "0,1"), ("homes", "unique_1", "address", "2"),
    ]
    assert sql_indexes(other, "homes") == [
        "homes_index_0", "homes_index_1", "homes_unique_0", "homes_unique_1"
    ]
    assert sql_indexes(other, "temp_homes") == []
    assert index_columns(other, "homes_index_0") == ["name", "type", "address"]


def test_siblings_are_called_by_keyword_with_comm_false(conn, calls):
    index = homes_index()
    T.create_table(conn, "homes", list(HOMES_COLS), index, homes_unique())
    # the outer calls only (insert_unique reaches insert_index in turn)
    assert calls == [
        ("drop_table", (), {"conn": conn, "table": "homes", "comm": False}),
        ("insert_index", (), {"conn": conn, "index": index[0], "comm": False}),
        ("insert_index", (), {"conn": conn, "index": index[1], "comm": False}),
        ("insert_unique", (), {"conn": conn, "table": "homes", "name": "unique_0",
                               "cols": "name,type", "cols_num": "0,1", "comm": False}),
        ("insert_index", (), {"conn": conn, "comm": False, "index": {
            "table": "homes", "name": "unique_0", "cols": "name,type"}}),
        ("insert_unique", (), {"conn": conn, "table": "homes", "name": "unique_1",
                               "cols": "address", "cols_num": "2", "comm": False}),
        ("insert_index", (), {"conn": conn, "comm": False,
                              "index": {"table": "homes", "name": "unique_1", "cols": "address"}}),
    ]
    assert calls[1][2]["index"] is index[0]


def test_keyword_arguments_and_other_iterables(conn, other):
    T.create_table(unique=iter([]), index=(e for e in []), cols=("a", "b"), name="kw", conn=conn)
    assert columns_of(other, "kw") == columns_of(other, "temp_kw") == ["a", "b"]
    assert sql_indexes(other, "kw") == []


def test_single_column(conn):
    T.create_table(conn, "solo", ["only"], [], [])
    assert columns_of(conn, "solo") == columns_of(conn, "temp_solo") == ["only"]


def test_column_text_is_spliced_unchanged(conn):
    T.create_table(conn, "typed", ["a INTEGER", "b TEXT"], [], [])
    assert [r[1:3] for r in conn.execute("PRAGMA table_info(temp_typed)")] == [
        ("a", "INTEGER"), ("b", "TEXT")
    ]


def test_recreating_replaces_rows_indexes_and_rules(conn, other, homes):
    conn.execute("INSERT INTO homes VALUES ('a', 'b', 'c', 1)")
    conn.execute("INSERT INTO temp_homes VALUES ('a', 'b', 'c', 1)")
    conn.commit()
    T.create_table(conn, "homes", ["x", "y"], [{"name": "ix", "cols": "y"}],
                   [{"name": "ux", "cols": [1]}])
    assert columns_of(other, "homes") == columns_of(other, "temp_homes") == ["x", "y"]
    assert rows(other, "homes") == rows(other, "temp_homes") == []
    assert sql_indexes(other, "homes") == ["homes_ix", "homes_ux"]
    assert catalogue(other, "index_table") == [("homes", "ix", "y"), ("homes", "ux", "y")]
    assert catalogue(other, "unique_table") == [("homes", "ux", "y", "1")]


def test_index_entries_get_the_table_key_and_keep_other_keys(conn):
    entry = {"table": "elsewhere", "name": "i", "cols": "age", "note": [1]}
    T.create_table(conn, "homes", list(HOMES_COLS), [entry], [{"name": "u", "cols": [0], "x": 1}])
    assert entry == {"table": "homes", "name": "i", "cols": "age", "note": [1]}
    assert catalogue(conn, "index_table", "elsewhere") == []
    assert ("homes", "i", "age") in catalogue(conn, "index_table", "homes")


@pytest.mark.parametrize(
    "numbers, names, text",
    [([2, 0], "address,name", "2,0"), ([-1, 0], "age,name", "-1,0"), ([3, 3], "age,age", "3,3"),
     ([0, 1, 2, 3], "name,type,address,age", "0,1,2,3"), ((1,), "type", "1")],
    ids=["unsorted", "negative", "repeated", "all", "tuple"],
)
def test_rule_numbers_give_names_and_numbers_in_given_order(conn, numbers, names, text):
    T.create_table(conn, "homes", list(HOMES_COLS), [], [{"name": "u", "cols": numbers}])
    assert catalogue(conn, "unique_table") == [("homes", "u", names, text)]
    assert catalogue(conn, "index_table") == [("homes", "u", names)]
    assert index_columns(conn, "homes_u") == names.split(",")


@settings(max_examples=40, deadline=None)
@given(
    cols=st.lists(st.sampled_from(["a", "b", "c", "d", "e", "f"]), min_size=1, max_size=6,
                  unique=True),
    data=st.data(),
)
def test_rule_texts_follow_the_numbers(cols, data):
    numbers = data.draw(st.lists(st.integers(-len(cols), len(cols) - 1), min_size=1, max_size=4))
    conn = sqlite3.connect(":memory:")
    conn.execute(CREATE_INDEX_TABLE)
    conn.execute(CREATE_UNIQUE_TABLE)
    try:
        T.create_table(conn, "p", cols, [], [{"name": "r", "cols": numbers}])
        assert catalogue(conn, "unique_table") == [
            ("p", "r", ",".join(cols[n] for n in numbers), ",".join(str(n) for n in numbers))
        ]
        assert columns_of(conn, "p") == columns_of(conn, "temp_p") == cols
    finally:
        conn.close()


# No columns, or a column that would hide the row id the library's statements
# name rowid, however the entry spells it.
REFUSED_COLUMNS = {
    "empty-list": [], "empty-tuple": (), "empty-str": "",
    "rowid": ["k", "rowid"], "other-case": ("k", "RowId"), "blanks": ["k", " rowId "],
    "quoted": ["k", '"ROWID"'], "bracketed-with-type": ["k", "[rowid] INTEGER"],
    "second-in-entry": ["k", "v, /* c */ rowid"], "single-quoted": ["'rowid'"],
}


@pytest.mark.parametrize("case", list(REFUSED_COLUMNS))
def test_columns_are_refused_before_any_statement(conn, other, homes, trace, case):
    trace.clear()
    with pytest.raises(ValueError, match="homes"):
        T.create_table(conn, "homes", REFUSED_COLUMNS[case], [], [])
    assert trace.statements == []
    assert columns_of(conn, "homes") == HOMES_COLS
    assert len(catalogue(conn, "index_table", "homes")) == 4


@pytest.mark.parametrize("cols", [["oid", "_rowid_"], ['"rowid "', "v"], ["rowids", "my_rowid"],
                                  ["k", "v CHECK (v <> 'rowid')"]])
def test_names_that_only_resemble_rowid_are_kept(conn, cols):
    T.create_table(conn, "near", cols, [], [])
    assert len(columns_of(conn, "near")) == 2


def test_empty_rule_is_refused_naming_it_after_earlier_rules(conn, trace):
    unique = [{"name": "good", "cols": [0]}, {"name": "hollow", "cols": []},
              {"name": "later", "cols": [1]}]
    with pytest.raises(ValueError, match="hollow"):
        T.create_table(conn, "homes", list(HOMES_COLS), homes_index(), unique)
    assert catalogue(conn, "unique_table") == [("homes", "good", "name", "0")]
    assert not any("hollow" in s or "later" in s for s in trace)
    assert "COMMIT" not in trace.statements


# Failures part-way: (cols, index, unique, error, statements run before the failure;
# a statement SQLite refuses to prepare never reaches the trace)
FAILURES = {
    "non-text-column": (
        ["a", 5], [], [], TypeError, drop_statements("f")),
    "single-non-text-column": (
        [5], [], [], sqlite3.OperationalError, drop_statements("f")),
    "duplicate-column": (
        ["a", "a"], [], [], sqlite3.OperationalError, drop_statements("f")),
    "index-without-cols": (
        ["a", "b"], [{"name": "i0", "cols": "a"}, {"name": "i1"}, {"name": "i2", "cols": "b"}],
        [{"name": "u", "cols": [0]}], KeyError,
        drop_statements("f") + ["CREATE TABLE f (a,b)", "CREATE TABLE temp_f (a,b)"]
        + index_statements("f", "i0", "a") + index_statements("f", "i1", "")[:3]),
    "index-entry-not-a-mapping": (
        ["a"], [("name", "i")], [], TypeError,
        drop_statements("f") + ["CREATE TABLE f (a)", "CREATE TABLE temp_f (a)"]),
    "index-not-iterable": (
        ["a"], 5, [], TypeError,
        drop_statements("f") + ["CREATE TABLE f (a)", "CREATE TABLE temp_f (a)"]),
    "rule-number-out-of-range": (
        ["a", "b"], [], [{"name": "u0", "cols": [1]}, {"name": "u1", "cols": [0, 2]}], IndexError,
        drop_statements("f") + ["CREATE TABLE f (a,b)", "CREATE TABLE temp_f (a,b)"]
        + unique_statements("f", "u0", "b", "1")),
    "rule-number-not-integer": (
        ["a", "b"], [], [{"name": "u0", "cols": ["0"]}], TypeError,
        drop_statements("f") + ["CREATE TABLE f (a,b)", "CREATE TABLE temp_f (a,b)"]),
    "rule-without-name": (
        ["a", "b"], [], [{"cols": [0]}], KeyError,
        drop_statements("f") + ["CREATE TABLE f (a,b)", "CREATE TABLE temp_f (a,b)"]),
}


@pytest.mark.parametrize("case", list(FAILURES))
def test_failure_part_way_stops_there_without_commit(conn, other, trace, case):
    cols, index, unique, error, before = FAILURES[case]
    T.create_table(conn, "f", ["old"], [], [])  # the former table, committed
    trace.clear()
    with pytest.raises(error):
        T.create_table(conn, "f", cols, index, unique)
    assert trace.without_transactions() == before
    assert "COMMIT" not in trace.statements
    assert conn.in_transaction
    # The staging drop ran inside the open transaction: still there for others.
    assert columns_of(other, "temp_f") == ["old"]
    conn.rollback()
    assert columns_of(conn, "temp_f") == ["old"]


def test_failing_index_entry_already_carries_its_table_key(conn):
    index = [{"name": "i0", "cols": "a"}, {"name": "i1"}, {"name": "i2", "cols": "b"}]
    with pytest.raises(KeyError):
        T.create_table(conn, "f", ["a", "b"], index, [])
    assert [e.get("table") for e in index] == ["f", "f", None]
    assert catalogue(conn, "index_table") == [("f", "i0", "a")]


# --- drop_table ------------------------------------------------------------------------


def test_drop_table_sends_four_statements_and_clears_the_table(conn, other, homes, trace):
    trace.clear()
    assert T.drop_table(conn, "homes") is None
    assert trace.without_transactions() == drop_statements("homes")
    assert trace.statements[-1] == "COMMIT"
    for c in (conn, other):
        left = c.execute("SELECT name FROM sqlite_master WHERE name LIKE '%homes%'")
        assert left.fetchall() == []
        assert catalogue(c, "index_table") == catalogue(c, "unique_table") == []


@pytest.mark.parametrize("present", ["none", "main", "temp"])
def test_drop_table_of_missing_tiers_succeeds(conn, present):
    if present != "none":
        conn.execute(f"CREATE TABLE {'temp_' if present == 'temp' else ''}lone (a)")
    assert T.drop_table(conn, table="lone", comm=True) is None
    assert conn.execute("SELECT * FROM sqlite_master WHERE name LIKE '%lone'").fetchall() == []


def test_drop_table_matches_the_whole_name_only(conn, homes):
    for table in ("homes2", "my_homes", "xhomesx", "home"):
        T.create_table(conn, table, ["a"], [{"name": "i", "cols": "a"}],
                       [{"name": "u", "cols": [0]}])
    T.drop_table(conn, "homes")
    kept = ["home", "homes2", "my_homes", "xhomesx"]
    assert sorted({r[0] for r in catalogue(conn, "index_table")}) == kept
    assert sorted({r[0] for r in catalogue(conn, "unique_table")}) == kept
    assert all(len(sql_indexes(conn, t)) == 2 for t in kept)
    assert all(columns_of(conn, f"temp_{t}") == ["a"] for t in kept)


def test_other_letter_case_drops_the_tables_and_their_catalogue_rows(conn, homes):
    T.drop_table(conn, "HOMES")
    assert conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchall() == [
        ("index_table",), ("unique_table",)
    ]
    assert catalogue(conn, "index_table") == catalogue(conn, "unique_table") == []


def test_non_text_name_is_used_in_its_text_form(conn, homes):
    T.drop_table(conn, Named("homes"))
    assert catalogue(conn, "index_table") == catalogue(conn, "unique_table") == []
    assert conn.execute("SELECT name FROM sqlite_master WHERE name LIKE '%homes'").fetchall() == []
    T.create_table(conn, Named("flat"), ["a"], [], [])
    assert columns_of(conn, "flat") == columns_of(conn, "temp_flat") == ["a"]


def test_name_sql_cannot_read_fails_before_any_change(conn, homes, trace):
    trace.clear()
    with pytest.raises(sqlite3.OperationalError):
        T.drop_table(conn, "homes' OR 'a'='a")
    assert trace.without_transactions() == []
    assert len(catalogue(conn, "index_table")) == 4


def test_missing_catalogue_table_fails_after_the_main_drop(conn, homes, trace):
    conn.execute("DROP TABLE unique_table")
    trace.clear()
    with pytest.raises(sqlite3.OperationalError, match="unique_table"):
        T.drop_table(conn, "homes")
    assert catalogue(conn, "index_table") == []
    assert columns_of(conn, "temp_homes") == HOMES_COLS
    assert columns_of(conn, "homes") == []


# --- commit rule -----------------------------------------------------------------------


@pytest.mark.parametrize("comm, commits", COMM_COMMITS, ids=[repr(c) for c, _ in COMM_COMMITS])
@pytest.mark.parametrize("function", ["create_table", "drop_table"])
def test_commit_only_when_comm_equals_true(conn, other, homes, trace, function, comm, commits):
    trace.clear()
    if function == "create_table":
        T.create_table(conn, "flat", ["a", "b"], [{"name": "i", "cols": "a"}],
                       [{"name": "u", "cols": [1]}], comm)
        seen = committed(other, "SELECT name FROM sqlite_master WHERE tbl_name LIKE '%flat'")
        assert sorted(seen) == ([("flat",), ("flat_i",), ("flat_u",), ("temp_flat",)]
                                if commits else [])
        assert committed(other, "SELECT count(*) FROM unique_table WHERE table_name = 'flat'") == [
            (int(commits),)
        ]
    else:
        T.drop_table(conn, "homes", comm)
        # The driver runs the first DROP before it opens a transaction; the
        # catalogue deletes and the staging drop follow inside one.
        assert committed(other, "SELECT count(*) FROM index_table") == [(0 if commits else 4,)]
        assert committed(other, "SELECT count(*) FROM unique_table") == [(0 if commits else 2,)]
        assert committed(other, "SELECT count(*) FROM sqlite_master WHERE name = 'temp_homes'") == [
            (0 if commits else 1,)
        ]
    assert trace.statements.count("COMMIT") == int(commits)
    assert conn.in_transaction is not commits


@pytest.mark.parametrize("function", ["create_table", "drop_table"])
def test_an_uncommitted_call_rolls_back_to_the_former_table(conn, other, homes, function):
    T.insert_temp(conn, "homes", [("a", "t", "x", 1)])
    T.temp_to_main(conn, "homes")
    before = (rows(conn, "homes"), catalogue(conn, "index_table"), sql_indexes(conn, "homes"))
    if function == "create_table":
        T.create_table(conn, "homes", ["other"], [], [], comm=False)
    else:
        T.drop_table(conn, "homes", comm=False)
    assert conn.in_transaction
    assert rows(other, "homes") == before[0]  # nothing committed behind the caller's back
    conn.rollback()
    assert (rows(conn, "homes"), catalogue(conn, "index_table"), sql_indexes(conn, "homes")) == before
