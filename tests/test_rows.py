"""Row storage: insert_temp and _insert_main append rows, delete_row_main removes main rows."""

import sqlite3
import types

import pytest

import tablora.tablora as T
from support import COMM_COMMITS, CountingConnection, Named, Trace, committed, rows, typed

ROWS = [("a", 1, 1.5, None), ["b", 2.0, "2", b"\x00\x01"], ("c", "3", -4, "x y")]
# How each of ROWS appears in the trace (bound values inlined by the driver).
ROWS_TRACED = ["'a',1,1.5,NULL", "'b',2.0,'2',x'0001'", "'c','3',-4,'x y'"]


def values_in(conn, table):
    """The table's values in row-id order, each with its storage class."""
    return typed(conn.execute(f"SELECT * FROM {table} ORDER BY rowid"))


# --- insert_temp and _insert_main ------------------------------------------------------

INSERTERS = {
    "insert_temp": ("temp_homes", lambda *a, **k: T.insert_temp(*a, **k)),
    "_insert_main": ("homes", lambda *a, **k: T._insert_main(*a, **k)),
}


@pytest.fixture(params=sorted(INSERTERS))
def inserter(request, homes, trace):
    """(function, target table) for both insert operations on the table homes."""
    trace.clear()
    target, function = INSERTERS[request.param]
    return function, target


def test_rows_are_inserted_one_statement_each_in_order_and_committed(
    conn, other, trace, inserter
):
    insert, target = inserter
    assert insert(conn, "homes", ROWS) is None
    assert trace.statements == (
        ["BEGIN"]
        + [f"INSERT INTO {target} Values ({values})" for values in ROWS_TRACED]
        + ["COMMIT"]
    )
    assert values_in(other, target) == typed(ROWS)


def test_insert_touches_only_its_own_tier(conn, inserter):
    insert, target = inserter
    insert(conn, "homes", ROWS)
    untouched = "homes" if target == "temp_homes" else "temp_homes"
    assert rows(conn, untouched) == []
    assert len(rows(conn, target)) == len(ROWS)


def test_arguments_by_keyword(conn, other, inserter):
    insert, target = inserter
    insert(rows=ROWS[:1], comm=True, table="homes", conn=conn)
    assert values_in(other, target) == typed(ROWS[:1])


@pytest.mark.parametrize(
    "make_later, stored",
    [
        (lambda: ["p", "q", "r", "s"], ("p", "q", "r", "s")),
        (lambda: ("p", "q", "r", "s"), ("p", "q", "r", "s")),
        (lambda: "pqrs", ("p", "q", "r", "s")),
        (lambda: range(4), (0, 1, 2, 3)),
        (lambda: (v for v in "pqrs"), ("p", "q", "r", "s")),
        (lambda: iter([1.0, None, b"b", "s"]), (1.0, None, b"b", "s")),
    ],
    ids=["list", "tuple", "str", "range", "generator", "iterator"],
)
def test_later_rows_may_be_any_iterable_of_values(conn, other, inserter, make_later, stored):
    insert, target = inserter
    insert(conn, "homes", [("first", 1, 2, 3), make_later()])
    assert values_in(other, target) == typed([("first", 1, 2, 3), stored])


def test_rows_given_as_tuple_of_rows(conn, other, inserter):
    insert, target = inserter
    insert(conn, "homes", tuple(ROWS))
    assert values_in(other, target) == typed(ROWS)


@pytest.mark.parametrize("empty", [[], (), ""], ids=["list", "tuple", "str"])
@pytest.mark.parametrize("comm", [True, 1, False])
def test_empty_rows_insert_nothing_and_never_commit(conn, trace, inserter, empty, comm):
    insert, target = inserter
    spy = CountingConnection(conn)
    assert insert(spy, "homes", empty, comm) is None
    assert trace.statements == []
    assert spy.commits == 0
    # insert_temp returns before opening a cursor, _insert_main just after.
    assert spy.cursors == (0 if target == "temp_homes" else 1)


def test_first_row_without_values_gives_one_placeholder_and_is_refused(conn, trace, inserter):
    insert, target = inserter
    with pytest.raises(sqlite3.OperationalError, match="4 columns but 1 values were supplied"):
        insert(conn, "homes", [(), ("a", 1, 2, 3)])
    assert not any(s.startswith("INSERT") for s in trace)
    assert rows(conn, target) == []


def test_first_row_without_values_on_a_one_column_table(conn, trace):
    conn.execute("CREATE TABLE one (a)")
    conn.execute("CREATE TABLE temp_one (a)")
    for insert in (T.insert_temp, T._insert_main):
        with pytest.raises(sqlite3.ProgrammingError, match="uses 1, and there are 0 supplied"):
            insert(conn, "one", [(), (1,)])
    assert rows(conn, "one") == rows(conn, "temp_one") == []
    assert not any(s.startswith("INSERT") for s in trace)


@pytest.mark.parametrize(
    "bad_row", [("short", 1), ("long", 1, 2, 3, 4), ()], ids=["shorter", "longer", "empty"]
)
def test_row_of_other_length_fails_at_that_row_earlier_rows_stay_uncommitted(
    conn, other, trace, inserter, bad_row
):
    insert, target = inserter
    with pytest.raises(sqlite3.ProgrammingError, match="Incorrect number of bindings"):
        insert(conn, "homes", [ROWS[0], ROWS[1], bad_row, ROWS[2]])
    assert values_in(conn, target) == typed(ROWS[:2])
    assert conn.in_transaction
    assert committed(other, f"SELECT * FROM {target}") == []
    conn.rollback()
    assert rows(conn, target) == []


@pytest.mark.parametrize(
    "bad_row, error",
    [(5, TypeError), (None, TypeError), (("x", object(), 1, 2), sqlite3.ProgrammingError)],
    ids=["int-row", "none-row", "unbindable-value"],
)
def test_bad_row_fails_at_that_row(conn, other, trace, inserter, bad_row, error):
    insert, target = inserter
    with pytest.raises(error):
        insert(conn, "homes", [ROWS[0], bad_row, ROWS[1]])
    assert values_in(conn, target) == typed(ROWS[:1])
    assert committed(other, f"SELECT * FROM {target}") == []


MAPPINGS = [{"name": "a", "type": 1, "address": 2, "age": 3}, types.MappingProxyType({"a": 1})]


@pytest.mark.parametrize("at", [0, 1], ids=["first-row", "later-row"])
@pytest.mark.parametrize("mapping", MAPPINGS, ids=["dict", "mappingproxy"])
@pytest.mark.parametrize("make_rows", [list, iter], ids=["list", "iterator"])
def test_a_mapping_as_a_row_is_refused_at_its_place(conn, inserter, at, mapping, make_rows):
    insert, target = inserter
    with pytest.raises(TypeError, match="rows are sequences of column values"):
        insert(conn, "homes", make_rows([ROWS[0]] * at + [mapping, ROWS[1]]))
    assert values_in(conn, target) == typed(ROWS[:at])


CHUNK = 8192  # the rows executemany gets at a time


@pytest.mark.parametrize(
    "one_pass", [lambda rs: (r for r in rs), iter, lambda rs: map(tuple, rs)],
    ids=["generator", "iterator", "map"],
)
@pytest.mark.parametrize("count", [1, CHUNK, CHUNK + 1, 2 * CHUNK + 3])
def test_rows_without_length_are_inserted_a_chunk_at_a_time(conn, other, inserter, one_pass, count):
    insert, target = inserter
    given = [("n", k, k, k) for k in range(count)]
    read, inserted_before = [], []

    def watched():
        for row in one_pass(given):
            read.append(row)
            if len(read) % CHUNK == 1:
                inserted_before.append(len(rows(conn, target)))
            yield row

    insert(conn, "homes", watched())
    assert [r[1:] for r in rows(other, target)] == given
    # Each chunk is sent before the next one is read.
    assert inserted_before == [CHUNK * k for k in range(len(inserted_before))]


@pytest.mark.parametrize("comm", [True, False])
def test_an_empty_iterator_inserts_nothing_and_never_commits(conn, trace, inserter, comm):
    insert, target = inserter
    spy = CountingConnection(conn)
    assert insert(spy, "homes", iter([]), comm) is None
    assert trace.statements == []
    assert spy.commits == 0


def test_rows_that_cannot_be_iterated_are_refused_before_any_statement(conn, trace, inserter):
    insert, target = inserter
    with pytest.raises(TypeError):
        insert(conn, "homes", 5)
    assert trace.statements == []


def test_first_row_without_length_is_refused_before_any_insert(conn, trace, inserter):
    insert, target = inserter
    with pytest.raises(TypeError):
        insert(conn, "homes", [iter(ROWS[0]), ROWS[1]])
    assert trace.statements == []
    assert rows(conn, target) == []


@pytest.mark.parametrize("comm, commits", COMM_COMMITS)
def test_comm_decides_the_commit(conn, other, inserter, comm, commits):
    insert, target = inserter
    insert(conn, "homes", ROWS, comm)
    seen = committed(other, f"SELECT * FROM {target}")
    assert len(seen) == (len(ROWS) if commits else 0)
    assert len(rows(conn, target)) == len(ROWS)


@pytest.mark.parametrize("table", [5, b"homes", None, Named("homes")], ids=repr)
def test_insert_main_refuses_a_non_text_table_before_any_statement(conn, homes, table):
    trace = Trace(conn)
    with pytest.raises(TypeError):
        T._insert_main(conn, table, ROWS)
    assert trace.statements == []
    assert rows(conn, "homes") == []


def test_insert_main_with_non_text_table_and_no_rows_returns(conn, homes):
    trace = Trace(conn)
    assert T._insert_main(conn, 5, []) is None
    assert trace.statements == []


def test_insert_temp_uses_the_text_form_of_a_non_text_table(conn, other, trace):
    conn.execute("CREATE TABLE temp_7 (a, b)")
    conn.execute("CREATE TABLE temp_homes (a, b)")
    T.insert_temp(conn, 7, [(1, 2)])
    T.insert_temp(conn, Named("homes"), [(3, 4)])
    assert committed(other, "SELECT * FROM temp_7") == [(1, 2)]
    assert committed(other, "SELECT * FROM temp_homes") == [(3, 4)]


def test_missing_table_fails_at_the_first_row(conn, trace):
    with pytest.raises(sqlite3.OperationalError, match="no such table: temp_nowhere"):
        T.insert_temp(conn, "nowhere", ROWS)
    with pytest.raises(sqlite3.OperationalError, match="no such table: nowhere"):
        T._insert_main(conn, "nowhere", ROWS)


def test_surplus_argument_is_refused_before_anything_runs(conn, homes):
    trace = Trace(conn)
    with pytest.raises(TypeError):
        T.insert_temp(conn, "homes", ROWS, True, "surplus")
    with pytest.raises(TypeError):
        T._insert_main(conn, "homes")
    assert trace.statements == []


# --- delete_row_main ---------------------------------------------------------------------

MAIN_ROWS = 10


@pytest.fixture
def filled(conn, homes, trace):
    """homes with the row ids 1..10, committed; the trace starts empty."""
    conn.executemany(
        "INSERT INTO homes VALUES (?,?,?,?)",
        [(f"n{i}", "t", f"addr{i}", i) for i in range(1, MAIN_ROWS + 1)],
    )
    conn.commit()
    trace.clear()
    return "homes"


def ids_left(conn):
    return [rowid for (rowid,) in conn.execute("SELECT rowid FROM homes ORDER BY rowid")]


def everything_but(*deleted):
    return [i for i in range(1, MAIN_ROWS + 1) if i not in deleted]


@pytest.mark.parametrize(
    "make_ids",
    [
        lambda: [7, 2, 9],
        lambda: (7, 2, 9),
        lambda: (i for i in (7, 2, 9)),
        lambda: iter([7, 2, 9]),
        lambda: {7: "x", 2: "y", 9: "z"},
    ],
    ids=["list", "tuple", "generator", "iterator", "dict"],
)
def test_row_ids_are_deleted_one_statement_each_in_order(conn, other, trace, filled, make_ids):
    assert T.delete_row_main(conn, "homes", make_ids()) is None
    assert trace.without_transactions() == [
        "DELETE From homes Where rowid in (7)",
        "DELETE From homes Where rowid in (2)",
        "DELETE From homes Where rowid in (9)",
    ]
    assert trace.statements[-1] == "COMMIT"
    assert ids_left(other) == everything_but(2, 7, 9)


def test_a_set_of_row_ids_deletes_each_once(conn, other, trace, filled):
    T.delete_row_main(conn, "homes", {3, 5, 8})
    assert ids_left(other) == everything_but(3, 5, 8)


@pytest.mark.parametrize(
    "item, text, deleted",
    [
        ("5,9", "5,9", (5, 9)),
        (" 5 , 9 ", " 5 , 9 ", (5, 9)),
        ("3", "3", (3,)),
        ("1,2,3", "1,2,3", (1, 2, 3)),
        ("+4", "+4", (4,)),
        ("6.0", "6.0", (6,)),
        ("7e0", "7e0", (7,)),
        ("1E1", "1E1", (10,)),
        (8.0, "8.0", (8,)),
        ("-1", "-1", ()),
        (2**70, str(2**70), ()),
    ],
    ids=repr,
)
def test_numeric_text_items_are_spliced_into_one_statement(
    conn, other, trace, filled, item, text, deleted
):
    T.delete_row_main(conn, "homes", [item])
    assert trace.without_transactions() == [f"DELETE From homes Where rowid in ({text})"]
    assert ids_left(other) == everything_but(*deleted)


HOSTILE = [
    None,
    True,
    False,
    "1) OR (1=1",
    "1 OR 1=1",
    "1); DELETE FROM homes; --",
    "rowid",
    "",
    "  ",
    "1,",
    ",1",
    "1,,2",
    "1 2",
    "0x5",
    "nan",
    float("nan"),
    float("inf"),
    "1e",
    "--1",
    b"1",
    [2, 3],
    [[2]],
    (2,),
    {2},
    "1\x00) OR (1=1",
]


@pytest.mark.parametrize("item", HOSTILE, ids=repr)
def test_items_that_are_not_row_ids_are_refused_at_that_item(conn, other, trace, filled, item):
    with pytest.raises(ValueError) as raised:
        T.delete_row_main(conn, "homes", [1, "2", item, 3])
    assert repr(item) in str(raised.value)
    # The earlier items ran, the later one did not, nothing was committed.
    assert ids_left(conn) == everything_but(1, 2)
    assert ids_left(other) == everything_but()


@pytest.mark.parametrize("make_ids", [list, tuple], ids=["list", "tuple"])
def test_a_bool_among_plain_row_ids_is_refused_at_its_place(conn, other, trace, filled, make_ids):
    with pytest.raises(ValueError, match="True"):
        T.delete_row_main(conn, "homes", make_ids([1, 2, True, 3]))
    assert ids_left(conn) == everything_but(1, 2)
    assert ids_left(other) == everything_but()


@pytest.mark.parametrize("item", [True, None, "1) OR (1=1"], ids=repr)
def test_refusal_from_a_one_pass_iterable_stops_consuming(conn, other, filled, item):
    produced = []

    def items():
        for value in (4, item, 5):
            produced.append(value)
            yield value

    with pytest.raises(ValueError):
        T.delete_row_main(conn, "homes", items())
    assert produced == [4, item]
    assert ids_left(conn) == everything_but(4)
    assert ids_left(other) == everything_but()


def test_a_one_pass_iterable_is_consumed_once_in_its_order(conn, other, trace, filled):
    class Once:
        iterations = 0

        def __iter__(self):
            Once.iterations += 1
            yield from (9, "2,3", 6)

    T.delete_row_main(conn, "homes", Once())
    assert Once.iterations == 1
    assert trace.without_transactions() == [
        "DELETE From homes Where rowid in (9)",
        "DELETE From homes Where rowid in (2,3)",
        "DELETE From homes Where rowid in (6)",
    ]
    assert ids_left(other) == everything_but(2, 3, 6, 9)


def test_duplicate_and_unknown_ids_each_run_and_delete_nothing_more(conn, other, trace, filled):
    T.delete_row_main(conn, "homes", [4, 4, 99, -3, 0])
    assert trace.without_transactions() == [
        f"DELETE From homes Where rowid in ({i})" for i in (4, 4, 99, -3, 0)
    ]
    assert ids_left(other) == everything_but(4)


@pytest.mark.parametrize(
    "empty", [lambda: [], lambda: (), lambda: set(), lambda: iter([])],
    ids=["list", "tuple", "set", "iterator"],
)
@pytest.mark.parametrize("comm, commits", [(True, 1), (False, 0)])
def test_empty_ids_run_no_statement_but_comm_still_commits(
    conn, trace, filled, empty, comm, commits
):
    spy = CountingConnection(conn)
    assert T.delete_row_main(spy, "homes", empty(), comm) is None
    assert [s for s in trace if s != "COMMIT"] == []
    assert spy.commits == commits
    assert not conn.in_transaction
    assert ids_left(conn) == everything_but()


@pytest.mark.parametrize("comm, commits", COMM_COMMITS)
def test_delete_comm_decides_the_commit(conn, other, filled, comm, commits):
    T.delete_row_main(conn, "homes", [2, "3"], comm)
    assert ids_left(conn) == everything_but(2, 3)
    assert ids_left(other) == (everything_but(2, 3) if commits else everything_but())


def test_ids_that_cannot_be_iterated_fail_before_any_statement(conn, trace, filled):
    with pytest.raises(TypeError):
        T.delete_row_main(conn, "homes", 5)
    assert trace.statements == []


def test_missing_table_fails_at_the_first_item(conn, trace, filled):
    with pytest.raises(sqlite3.OperationalError, match="no such table: nowhere"):
        T.delete_row_main(conn, "nowhere", ["1", 2])
    assert ids_left(conn) == everything_but()


def test_table_is_used_unchanged_in_its_text_form(conn, other, trace, filled):
    T.delete_row_main(conn=conn, table=Named("homes"), ids=[1, "2"], comm=True)
    assert ids_left(other) == everything_but(1, 2)
