"""find: rows of both tiers, staged first, each the newest of the rows linked to it."""

import ctypes
import sqlite3

import pytest

import tablora.tablora as T

from support import HOMES_COLS, Named, put, same_table, settle, stage, through_functions

SELECT_ALL = "SELECT rowid," + ",".join(HOMES_COLS) + " FROM "


def find(conn, conditions="", select="*", table="homes"):
    return T.find(conn, select, table, conditions)


# ---- the select list ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "select, expected",
    [
        ("*", [["s", "flat", "S st", 5], ["m", "house", "M st", 40]]),
        ("age,name", [[5, "s"], [40, "m"]]),
        ("address", [["S st"], ["M st"]]),
        ("age,age,type", [[5, 5, "flat"], [40, 40, "house"]]),
    ],
)
def test_select_list_picks_columns_in_its_own_order(conn, homes, select, expected):
    settle(conn, ("m", "house", "M st", 40))
    stage(conn, ("s", "flat", "S st", 5))
    assert find(conn, select=select) == expected


@pytest.mark.parametrize("select", ["name, age", "Name", "name,", "", "rowid", "age,name "])
def test_select_piece_naming_no_column_fails_before_any_row_is_read(conn, homes, trace, select):
    settle(conn, ("m", "house", "M st", 40))
    trace.clear()
    with pytest.raises(ValueError):
        find(conn, select=select)
    assert not any("FROM temp_homes" in s for s in trace)


def test_result_holds_lists_of_values_with_types_kept(conn, homes):
    stage(conn, (None, 1.0, b"\x00b", "7"))
    settle(conn, ("x", 1, "addr", 7))
    got = find(conn)
    assert got == [[None, 1.0, b"\x00b", "7"], ["x", 1, "addr", 7]]
    assert all(type(row) is list for row in got)
    assert [type(v) for v in got[0]] == [type(None), float, bytes, str]
    assert [type(v) for v in got[1]] == [str, int, str, int]


# ---- conditions ---------------------------------------------------------------------------


def test_blank_conditions_return_every_row_staged_first(conn, homes):
    settle(conn, ("m1", "t", "a1", 1), ("m2", "t", "a2", 2))
    stage(conn, ("s1", "t", "b1", 3), ("s2", "t", "b2", 4))
    assert [r[0] for r in find(conn)] == ["s1", "s2", "m1", "m2"]


@pytest.mark.parametrize(
    "conditions, expected",
    [
        ("ORDER BY age DESC", ["s2", "s3", "s1", "m3", "m1", "m2"]),
        ("ORDER BY age", ["s1", "s3", "s2", "m2", "m1", "m3"]),
        ("WHERE age > 25 ORDER BY age DESC", ["s2", "s3", "m3", "m1"]),
        ("where age > 25", ["s3", "s2", "m1", "m3"]),
        ("\n  where age > 25\n  order by age desc\n", ["s2", "s3", "m3", "m1"]),
        ("order by rowid desc", ["s2", "s3", "s1", "m3", "m2", "m1"]),
        ("where name = 'nobody'", []),
        ("where name like 'm%' order by age", ["m2", "m1", "m3"]),
    ],
)
def test_conditions_filter_and_order_each_pass_by_itself(conn, homes, conditions, expected):
    settle(conn, ("m1", "t", "ma", 30), ("m2", "t", "mb", 10), ("m3", "t", "mc", 50))
    stage(conn, ("s1", "t", "sa", 20), ("s3", "t", "sc", 35), ("s2", "t", "sb", 60))
    assert [r[0] for r in find(conn, conditions)] == expected


def test_invalid_conditions_fail_with_the_driver_error(conn, homes):
    with pytest.raises(sqlite3.OperationalError):
        find(conn, "WHERE")


# ---- tiers and links ----------------------------------------------------------------------


def test_staged_row_hides_its_main_twin(conn, homes):
    put(conn, (0, 3), ("h", "flat", "old st", 40))
    put(conn, (1, 7), ("h", "flat", "new st", 41))
    assert find(conn) == [["h", "flat", "new st", 41]]


def test_main_row_with_no_linked_row_is_returned(conn, homes):
    settle(conn, ("a", "flat", "A st", 1))
    stage(conn, ("b", "flat", "B st", 2))
    assert find(conn) == [["b", "flat", "B st", 2], ["a", "flat", "A st", 1]]


def test_newest_main_row_wins_among_main_rows(conn, homes):
    settle(conn, ("h", "flat", "A st", 1), ("h", "flat", "B st", 2), ("x", "y", "B st", 3))
    # rows 1 and 2 share unique_0, rows 2 and 3 share unique_1: row 3 is the newest
    assert find(conn) == [["x", "y", "B st", 3]]


def test_chain_across_two_rules_withholds_a_row_that_shares_nothing_directly(conn, homes):
    put(conn, (0, 5), ("a", "flat", "P st", 1))  # shares the address with row 3
    put(conn, (0, 3), ("b", "house", "P st", 2))  # shares (name, type) with staged 1
    put(conn, (1, 1), ("b", "house", "Q st", 3))
    settle(conn, ("c", "flat", "R st", 4))  # linked to nothing
    assert find(conn) == [["b", "house", "Q st", 3], ["c", "flat", "R st", 4]]


def test_chain_through_main_rows_only(conn, homes):
    put(conn, (0, 1), ("a", "t", "A", 1))
    put(conn, (0, 2), ("a", "t", "B", 2))  # unique_0 with 1
    put(conn, (0, 3), ("b", "t", "B", 3))  # unique_1 with 2
    put(conn, (0, 4), ("b", "t", "C", 4))  # unique_0 with 3
    put(conn, (0, 5), ("z", "t", "Z", 5))
    assert find(conn, select="age") == [[4], [5]]


@pytest.mark.parametrize(
    "conditions, expected",
    [
        ("where name = 'a'", []),  # its chain ends in a staged row outside the selection
        ("where age = 2", []),  # the middle of the chain
        ("where address = 'Q st'", [["b", "house", "Q st", 3]]),
        ("where age = 4", [["c", "flat", "R st", 4]]),
        ("where rowid = 5", []),  # rowid 5 in main only
        ("where rowid = 1", [["b", "house", "Q st", 3], ["c", "flat", "R st", 4]]),
    ],
)
def test_conditions_selecting_few_rows_resolve_against_rows_outside_them(
        conn, homes, conditions, expected):
    put(conn, (0, 5), ("a", "flat", "P st", 1))
    put(conn, (0, 3), ("b", "house", "P st", 2))
    put(conn, (1, 1), ("b", "house", "Q st", 3))
    put(conn, (0, 1), ("c", "flat", "R st", 4))
    assert find(conn, conditions) == expected


def test_staged_row_outside_the_selection_hides_a_selected_main_row(conn, homes):
    settle(conn, ("h", "flat", "A st", 40))
    stage(conn, ("h", "flat", "A st", 5))
    assert find(conn, "where age = 40") == []
    assert find(conn, "where age = 5") == [["h", "flat", "A st", 5]]


@pytest.mark.parametrize(
    "conditions",
    ["where age < 10", "where age < 10 order by rowid desc", "where rowid % 2 = 1", "where 1"],
)
def test_selective_conditions_over_a_larger_table(conn, homes, conditions):
    # 300 unlinked main rows; row 3 (age 3) shares its address with the newer row 290.
    rows = [(f"n{i}", "t", f"a{i}", i) for i in range(1, 301)]
    rows[289] = ("n290", "t", "a3", 290)
    settle(conn, *rows)
    got = {r[3] for r in find(conn, conditions)}
    assert 3 not in got
    expected = {r[3] for r in rows if r[3] != 3}
    if "age < 10" in conditions:
        expected = {a for a in expected if a < 10}
    if "% 2" in conditions:
        expected = {a for a in expected if a % 2 == 1}
    assert got == expected


def test_equal_numbers_of_different_types_link_but_text_does_not(conn, homes):
    put(conn, (0, 1), ("n", "t", 1, 1))
    put(conn, (0, 2), ("m", "t", 1.0, 2))  # same address as row 1 under SQL equality
    put(conn, (0, 3), ("o", "t", "1", 3))  # text: a different address
    put(conn, (0, 4), ("p", "t", b"1", 4))  # blob: different again
    assert find(conn, select="age") == [[2], [3], [4]]


# ---- NULL keys: a NULL links nothing and holds nothing --------------------------------------


@pytest.mark.parametrize("conditions", ["", "order by rowid desc", "where age > 0"])
@pytest.mark.parametrize(
    "staged, main, ages",
    [
        ([], [("a", "flat", None, 1), ("b", "house", None, 2)], [1, 2]),
        ([("b", "house", None, 2)], [("a", "flat", None, 1)], [1, 2]),
        # rows 1 and 2 share ('a', NULL) but are not linked through it; row 2 is
        # linked to the newer row 3 through the address
        ([], [("a", None, "A", 1), ("a", None, "B", 2), ("a", "t", "B", 3)], [1, 3]),
        ([("a", None, "B", 2)], [("a", None, "A", 1)], [1, 2]),
    ],
    ids=["main", "staged-and-main", "one-column-of-a-rule", "one-column-staged-and-main"],
)
def test_rows_whose_key_holds_a_null_are_returned_each(conn, homes, staged, main, ages,
                                                       conditions):
    settle(conn, *main)
    stage(conn, *staged)
    assert sorted(r[0] for r in find(conn, conditions, select="age")) == ages


@pytest.mark.parametrize("conditions", ["", "order by rowid desc", "where id > 1"])
def test_customers_without_email_are_different_customers(conn, conditions):
    T.create_table(conn, "c", ["id", "email"], [], [{"name": "by_email", "cols": [1]}])
    T.insert_temp(conn, "c", [(1, None), (2, None), (3, "a@x"), (4, None)])
    expected = [1, 2, 3, 4] if conditions != "where id > 1" else [2, 3, 4]
    assert sorted(r[0] for r in T.find(conn, "*", "c", conditions)) == expected


# ---- collations: rule columns compare as SQLite compares them ----------------------------------


@pytest.mark.parametrize("through", [False, True], ids=["merge-in-sql", "merge-through-functions"])
@pytest.mark.parametrize("conditions", ["", "where v like 'n%'"])
@pytest.mark.parametrize("older_tier", ["main", "staged"])
@pytest.mark.parametrize(
    "declared, old, new, same",
    [
        ("k COLLATE NOCASE", "X", "x", True),
        ("k COLLATE NOCASE", "x", "X", True),
        ("k collate nocase", "Ab", "aB", True),
        ("k COLLATE RTRIM", "x ", "x", True),
        ("k COLLATE RTRIM", "x", "x  ", True),
        ('"k" TEXT COLLATE "NoCase" NOT NULL', "X", "x", True),
        ("k CHECK (k COLLATE BINARY <> 'z') COLLATE NOCASE", "X", "x", True),
        ("k COLLATE RTRIM COLLATE NOCASE", "X", "x", True),  # the last one counts
        # what the collation tells apart stays apart
        ("k COLLATE NOCASE", "é", "É", False),  # ASCII letters only
        ("k COLLATE NOCASE", b"X", b"x", False),  # only texts fold
        ("k COLLATE NOCASE", "1", 1, False),
        ("k COLLATE RTRIM", " x", "x", False),
        ("k COLLATE RTRIM", "x\t", "x", False),
        ("k COLLATE RTRIM COLLATE NOCASE", "x ", "x", False),
        ("k", "X", "x", False),
        ("k DEFAULT 'COLLATE NOCASE' /* COLLATE NOCASE */", "X", "x", False),
    ],
)
def test_find_and_the_merge_link_keys_under_the_column_collation(
        conn, declared, old, new, same, older_tier, conditions, through):
    # The rule's index is on the plain name: the definition is the column's alone.
    T.create_table(conn, "t", [declared, "v"], [], [])
    T.insert_unique(conn, "t", "by_k", "k", "0")
    (T._insert_main if older_tier == "main" else T.insert_temp)(conn, "t", [(old, "older")])
    T.insert_temp(conn, "t", [(new, "newer")])
    expected = [[new, "newer"]]
    if not (same or conditions):
        expected.insert(1 if older_tier == "main" else 0, [old, "older"])
    assert T.find(conn, "*", "t", conditions) == expected
    with through_functions(through):
        T.temp_to_main(conn, "t")
    assert sorted(T.find(conn, "*", "t", conditions), key=repr) == sorted(expected, key=repr)


@pytest.mark.parametrize("conditions", ["", "where v <> 'older'"])
def test_a_collation_only_sqlite_knows_is_compared_by_sql(conn, conditions):
    conn.create_collation("initial", lambda a, b: (a[:1] > b[:1]) - (a[:1] < b[:1]))
    T.create_table(conn, "t", ["k COLLATE initial", "v"], [], [{"name": "by_k", "cols": [0]}])
    T._insert_main(conn, "t", [("xa", "old"), ("ya", "kept")])
    T.insert_temp(conn, "t", [("xb", "older"), ("xc", "newer"), (None, "n1"), (None, "n2")])
    expected = [["xc", "newer"], [None, "n1"], [None, "n2"], ["ya", "kept"]]
    assert T.find(conn, "*", "t", conditions) == expected
    T.temp_to_main(conn, "t")
    after = T.find(conn, "*", "t", conditions)  # the NULL-keyed rows are the merge's own test
    assert [r for r in after if r[0] is not None] == [["ya", "kept"], ["xc", "newer"]]


# ---- several versions of one row (keys recorded only for returned rows) ---------------------


@pytest.mark.parametrize("versions", [2, 3])
@pytest.mark.parametrize("conditions", ["", "order by rowid", "order by rowid desc"])
def test_newest_of_several_staged_versions_is_returned(conn, homes, versions, conditions):
    settle(conn, ("h", "flat", "A st", 0), ("h", "flat", "A st", -1))
    stage(conn, *[("h", "flat", "A st", v) for v in range(1, versions + 1)])
    assert find(conn, conditions) == [["h", "flat", "A st", versions]]


@pytest.mark.parametrize("versions", [2, 3])
def test_newest_of_several_main_versions_is_returned(conn, homes, versions):
    settle(conn, *[("h", "flat", f"st {v}", v) for v in range(1, versions + 1)])
    assert find(conn) == [["h", "flat", f"st {versions}", versions]]


def test_versions_chained_through_another_rule(conn, homes):
    # staged 1 and 2 share (name, type); staged 2 and main 1 share the address
    stage(conn, ("h", "flat", "A", 1), ("h", "flat", "B", 2))
    settle(conn, ("k", "house", "B", 3), ("z", "z", "Z", 4))
    assert find(conn, select="age") == [[2], [4]]


# ---- few candidates next to many staged rows -------------------------------------------------


@pytest.mark.parametrize("conditions", [
    "WHERE age < 10 OR age BETWEEN 2995 AND 5009",
    "WHERE age < 10 OR age BETWEEN 2995 AND 5009 ORDER BY age DESC",
])
def test_few_candidates_find_their_staged_links_by_lookups(conn, homes, trace, conditions):
    # Staged rows link in sixes (names repeat every 1,000 rows, addresses every
    # 1,500); even main rows link to staged rows by name, odd ones to nothing.
    T.insert_temp(conn, "homes", [(f"n{i % 1000}", "t", f"a{i % 1500}", i) for i in range(3000)])
    T._insert_main(conn, "homes", [(f"n{i if i % 2 == 0 else 5000 + i}", "t", f"x{i}", 5000 + i)
                                   for i in range(20)])
    picked = [row for row in T.find(conn, "*", "homes", "") if row[3] < 10 or
              2995 <= row[3] <= 5009]
    trace.clear()
    got = T.find(conn, "*", "homes", conditions)
    assert sorted(got) == sorted(picked) and len(got) == 10
    # the staged rows are not all read: only the candidates and their links
    assert not any(s.startswith("SELECT rowid") and s.endswith("FROM temp_homes") for s in trace)


# ---- unique rules ------------------------------------------------------------------------------


@pytest.mark.parametrize("conditions", ["", "order by age desc", "where age > 0"])
def test_table_without_rules_returns_every_selected_row(conn, trace, conditions):
    T.create_table(conn, "plain", ["k", "age"], [], [])
    T._insert_main(conn, "plain", [("a", 1), ("a", 2)])
    T.insert_temp(conn, "plain", [("a", 3), ("a", 4)])
    trace.clear()
    got = T.find(conn, "k,age", "plain", conditions)
    expected = {"": [3, 4, 1, 2], "order by age desc": [4, 3, 2, 1], "where age > 0": [3, 4, 1, 2]}
    assert [r[1] for r in got] == expected[conditions]
    assert len(trace.without_transactions()) == 4  # the reads of the catalogue and both tiers only


def test_rule_by_negative_position_uses_that_column(conn):
    # unique over the last column; the row id is no part of any key
    T.create_table(conn, "t", ["k", "v"], [], [{"name": "last", "cols": [-1]}])
    T._insert_main(conn, "t", [("a", 2), ("b", 2), ("c", 1), ("d", 5)])
    T.insert_temp(conn, "t", [("e", 1)])
    assert T.find(conn, "k", "t", "") == [["e"], ["b"], ["d"]]


def test_rule_positions_with_blanks_in_the_catalogue(conn, homes):
    conn.execute("DELETE FROM unique_table")
    T.insert_unique(conn, "homes", "u", "name,address", " 0 , 2")
    settle(conn, ("a", "x", "A", 1), ("a", "y", "A", 2), ("a", "z", "B", 3))
    assert find(conn, select="age") == [[2], [3]]


@pytest.mark.parametrize("col_num, error", [("0,,1", ValueError), ("x", ValueError),
                                            (2, AttributeError)])
def test_malformed_rule_positions_fail_even_without_rows(conn, homes, col_num, error):
    T.insert_unique(conn, "homes", "bad", "name", col_num)
    with pytest.raises(error):
        find(conn)


def test_rule_position_beyond_the_columns_fails_with_index_error(conn, homes):
    T.insert_unique(conn, "homes", "bad", "name", "4")
    settle(conn, ("a", "x", "A", 1))
    with pytest.raises(IndexError):
        find(conn)


# ---- missing table, arguments -------------------------------------------------------------


def test_missing_table_fails_with_the_driver_error(conn):
    with pytest.raises(sqlite3.OperationalError, match="temp_nowhere"):
        T.find(conn, "*", "nowhere", "")


def test_missing_table_with_named_columns_fails_on_the_select_list(conn, trace):
    with pytest.raises(ValueError):
        T.find(conn, "name", "nowhere", "")
    assert not any("FROM temp_nowhere" in s for s in trace)


def test_arguments_by_keyword_and_by_position(conn, homes):
    settle(conn, ("a", "x", "A", 1))
    assert T.find(conditions="", table="homes", select="age", conn=conn) == [[1]]
    assert T.find(conn, "age", "homes", conditions="") == [[1]]
    with pytest.raises(TypeError):
        T.find(conn, "*", "homes")
    with pytest.raises(TypeError):
        T.find(conn, "*", "homes", "", "")
    with pytest.raises(TypeError):
        T.find(conn, "*", "homes", condition="")


# ---- reads only ------------------------------------------------------------------------------


@pytest.mark.parametrize("conditions", ["", "where age > 1 order by rowid desc"])
def test_find_sends_only_select_and_pragma_and_commits_nothing(conn, other, homes, trace,
                                                               conditions):
    settle(conn, ("a", "flat", "A", 1), ("b", "flat", "B", 2), ("c", "flat", "A", 3))
    stage(conn, ("a", "flat", "S", 4), ("d", "flat", "D", 5), comm=False)  # left uncommitted
    assert conn.in_transaction
    trace.clear()
    got = find(conn, conditions)
    assert sorted(r[3] for r in got) == [2, 4, 5]
    statements = list(trace)
    assert statements[:5] == [
        "PRAGMA table_info(homes)",
        f"SELECT * FROM unique_table WHERE {same_table('homes')}",
        "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'homes' COLLATE NOCASE",
        f"{SELECT_ALL}temp_homes {conditions}".strip(),
        f"{SELECT_ALL}homes {conditions}".strip(),
    ]
    assert all(s.startswith(("SELECT ", "PRAGMA ")) for s in statements), statements
    # the staged rows are still uncommitted: find neither committed nor ended the transaction
    assert conn.in_transaction
    assert other.execute("SELECT count(*) FROM temp_homes").fetchone() == (0,)
    conn.rollback()
    assert conn.execute("SELECT count(*) FROM temp_homes").fetchone() == (0,)


def test_find_leaves_the_database_unchanged(conn, homes, db_path):
    settle(conn, ("a", "flat", "A", 1), ("a", "flat", "B", 2))
    stage(conn, ("a", "flat", "C", 3))
    before = conn.execute("SELECT * FROM homes UNION ALL SELECT * FROM temp_homes").fetchall()
    schema = conn.execute("SELECT * FROM sqlite_master").fetchall()
    find(conn)
    find(conn, "where age = 1")
    assert not conn.in_transaction
    fresh = sqlite3.connect(db_path)
    try:
        assert fresh.execute(
            "SELECT * FROM homes UNION ALL SELECT * FROM temp_homes").fetchall() == before
        assert fresh.execute("SELECT * FROM sqlite_master").fetchall() == schema
    finally:
        fresh.close()


def test_same_newest_rows_before_and_after_a_merge(conn, homes):
    settle(conn, ("a", "flat", "A", 1), ("b", "house", "B", 2))
    stage(conn, ("a", "flat", "A2", 3), ("c", "flat", "B", 4), ("d", "d", "D", 5))
    before = find(conn, "order by age")
    T.temp_to_main(conn, "homes")
    assert find(conn, "order by age") == before == [
        ["a", "flat", "A2", 3], ["c", "flat", "B", 4], ["d", "d", "D", 5]]


# ---- names SQLite reads its own way --------------------------------------------------------

KEYED = [{"name": "by_k", "cols": [0]}]


def sqlite_keywords():
    """The keywords of the SQLite the driver runs on, from its own list."""
    import _sqlite3  # noqa: PLC0415 - the driver's library, for its keyword list
    try:
        library = ctypes.CDLL(_sqlite3.__file__)
        count, name = library.sqlite3_keyword_count, library.sqlite3_keyword_name
    except (OSError, AttributeError):
        pytest.skip("the driver's SQLite does not export its keyword list")
    name.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_int)]
    words = []
    for i in range(count()):
        text, size = ctypes.c_char_p(), ctypes.c_int()
        name(i, ctypes.byref(text), ctypes.byref(size))
        words.append(ctypes.string_at(text, size.value).decode())
    return words


@pytest.mark.parametrize("keys", [['"order"', '"Select"', "[group]"], "all"])
def test_keywords_as_column_names_stage_find_and_merge(conn, keys):
    keys = [f'"{w.lower()}"' for w in sqlite_keywords()] if keys == "all" else keys
    T.create_table(conn, "kw", keys + ["v"], [], KEYED)
    blank = (None,) * (len(keys) - 1)
    T.insert_temp(conn, "kw", [("a", *blank, 1), ("a", *blank, 2), ("b", *blank, 3)])
    assert [r[-1] for r in T.find(conn, "*", "kw", "")] == [2, 3]
    T.temp_to_main(conn, "kw")
    T.insert_temp(conn, "kw", [("b", *blank, 4)])
    assert [r[-1] for r in T.find(conn, "*", "kw", "where v = 4")] == [4]  # main looked up
    T.temp_to_main(conn, "kw")
    assert [r[-1] for r in T.find(conn, "*", "kw", "")] == [2, 4]


@pytest.mark.parametrize("call", ["find", "temp_to_main"])
@pytest.mark.parametrize("column", ["rowid", "ROWID"])
def test_table_with_a_rowid_column_is_refused_before_any_row_is_read(conn, trace, call, column):
    for table in ("rid", "temp_rid"):
        conn.execute(f"CREATE TABLE {table} (k, {column})")
    conn.execute("INSERT INTO unique_table VALUES ('rid', 'by_k', 'k', '0')")
    conn.executemany("INSERT INTO temp_rid VALUES (?, ?)", [("a", 5), ("a", 5), ("b", 9)])
    conn.commit()
    trace.clear()
    with pytest.raises(ValueError, match=f"'rid'.*'{column}'"):
        T.find(conn, "*", "rid", "") if call == "find" else T.temp_to_main(conn, "rid")
    assert trace.without_transactions() == ["PRAGMA table_info(rid)"]
    assert not conn.in_transaction
    assert conn.execute("SELECT count(*) FROM temp_rid").fetchone() == (3,)


# SQLite folds ASCII letters only: É names another table than é, one without rules.
@pytest.mark.parametrize("created, named, same", [("tb", "TB", True), ("Tb", "tB", True),
                                                  ("é", "É", False)])
def test_table_named_in_another_letter_case_keeps_its_rules(conn, created, named, same):
    T.create_table(conn, created, ["k", "v"], [], KEYED)
    if not same:
        T.create_table(conn, named, ["k", "v"], [], [])
    T.insert_temp(conn, named, [("a", 1), ("a", 2)])
    expected = [[2]] if same else [[1], [2]]
    assert T.find(conn, "v", named, "") == expected
    T.temp_to_main(conn, named)
    assert sorted(conn.execute(f"SELECT v FROM {named}")) == [tuple(r) for r in expected]


class CountedName(Named):
    """A table name that counts how often its text form is taken."""

    def __init__(self, text):
        super().__init__(text)
        self.formats = 0

    def __format__(self, format_spec):
        self.formats += 1
        return self.text


@pytest.mark.parametrize(
    "call, formats",
    [
        (lambda conn, table: T.find(conn, "*", table, "where age > 1"), 1),
        (lambda conn, table: T._check_newest_unique(
            conn, table, (1, 1), (1, "a", "house", "1 Elm", 3), {"u": [0, 1]}, HOMES_COLS,
            "rowid,*", set()), 1),
        (lambda conn, table: T.temp_to_main(conn, table), 2),  # and its active_table_index's
    ],
    ids=["find", "_check_newest_unique", "temp_to_main"],
)
def test_the_table_name_is_formatted_once_per_call(conn, homes, call, formats):
    """Every statement of a call names the table by one text form, taken once."""
    stage(conn, ("a", "house", "1 Elm", 3), ("b", "flat", "2 Elm", 4))
    table = CountedName("homes")
    call(conn, table)
    assert table.formats == formats
