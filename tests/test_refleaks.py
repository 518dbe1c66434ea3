"""Reference and memory leaks: every function, on success and on its error paths.

Each scenario makes one call (and undoes its effect where that keeps the state
steady). It runs a warm-up round and then two measured rounds; between rounds
the interpreter's total reference count (debug builds) or tracemalloc's traced
memory must stay flat, and the reference count of every argument object must
end where it started. A leak of one object per call shows as thousands of
references or tens of kilobytes; the allowance below is far under that.
"""

import gc
import io
import shutil
import sqlite3
import sys
import tracemalloc
import uuid
from dataclasses import dataclass
from typing import Any, Callable

import pytest

import tablora.tablora as T
from tablora._read import newest_rows
from support import HOMES_COLS, RangedConnection, create_homes, prepared_connection, text

pytestmark = pytest.mark.slow

WARM_UP = 300
ROUNDS = 3
ROUND = 1000
# Bytes per call that a round may grow by without a leak. The smallest object a
# call could leak takes more than twice that; the driver's own bookkeeping (its
# list of cursors, purged every few hundred cursors) moves by a few bytes a call.
MEMORY_ALLOWANCE = 10 * ROUND
# References a round may grow by in a debug build.
REFERENCE_ALLOWANCE = 50

COLS = HOMES_COLS
RESULTS: dict[str, tuple[int, int]] = {}


class Sink(io.TextIOBase):
    def write(self, s):
        return len(s)


class Refuses:
    """A value whose every conversion fails."""

    def __format__(self, format_spec):
        raise LookupError("no text form")

    def __str__(self):
        raise LookupError("no str")

    __repr__ = object.__repr__

    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = object.__hash__

    def __iter__(self):
        raise LookupError("no iteration")

    def __len__(self):
        raise LookupError("no length")

    def __getitem__(self, key):
        raise LookupError("no item")


def initial(a, b):
    """A collation SQLite does not know: texts compare by their first character."""
    return (a[:1] > b[:1]) - (a[:1] < b[:1])


# ---- the database ----------------------------------------------------------------


def build_template(path):
    conn = prepared_connection(path)
    create_homes(conn)
    T.insert_temp(conn, "homes", [(f"n{i}", "flat", f"{i} Elm", i) for i in range(30)])
    T.temp_to_main(conn, "homes")
    T.insert_temp(conn, "homes", [(f"n{i}", "flat", f"{i} Oak", i) for i in range(0, 30, 3)]
                  + [(f"m{i}", None, f"{i} Elm", None) for i in range(1, 30, 4)])
    T.create_table(conn, "churn", ["k", "v"], [{"name": "by_v", "cols": "v"}],
                   [{"name": "uk", "cols": [0]}])
    T.insert_temp(conn, "churn", [(i, i) for i in range(20)])
    T.temp_to_main(conn, "churn")
    conn.create_collation("initial", initial)
    for table, key in (("folded", "k COLLATE NOCASE"), ("initialled", "k COLLATE initial")):
        T.create_table(conn, table, [key, "v"], [], [{"name": "uk", "cols": [0]}])
        T._insert_main(conn, table, [(f"{c}{i}", i) for i, c in enumerate("abcdef")])
        T.insert_temp(conn, table, [(f"{c.upper()}{i}", i) for i, c in enumerate("aceg")])
    # Catalogue rows that fail on use.
    conn.execute("CREATE TABLE broken (a)")
    conn.execute("CREATE TABLE temp_broken (a)")
    conn.execute("INSERT INTO index_table VALUES ('broken', 'bad', 'no_such_column')")
    conn.execute("INSERT INTO unique_table VALUES ('broken', 'far', 'a', '7')")
    conn.execute("CREATE TABLE words (a)")
    conn.execute("CREATE TABLE temp_words (a)")
    conn.execute("INSERT INTO unique_table VALUES ('words', 'w', 'a', 'x')")
    conn.execute("INSERT INTO temp_broken VALUES (1)")
    conn.execute("INSERT INTO temp_words VALUES (1)")
    conn.commit()
    conn.close()


@pytest.fixture
def conn(template, tmp_path):
    path = str(tmp_path / "leaks.db")
    shutil.copyfile(template, path)
    connection = sqlite3.connect(path)
    # Thousands of commits: durability is beside the point here.
    connection.execute("PRAGMA synchronous=OFF")
    connection.execute("PRAGMA journal_mode=MEMORY")
    yield connection
    connection.close()


# ---- scenarios ---------------------------------------------------------------------


@dataclass
class Scenario:
    call: Callable[[], Any]
    raises: Any = None  # the exception type every call must raise
    watch: tuple = ()  # argument objects whose counts must not move


def undo(conn, function, *args, **kwargs):
    def call():
        try:
            return function(conn, *args, **kwargs)
        finally:
            conn.rollback()

    return call


def full_row(conn, where):
    return conn.execute(f"SELECT rowid, * FROM homes WHERE {where}").fetchone()


def s_insert_index(conn):
    index = {"table": text("homes"), "name": text("index_9"), "cols": text("type,age")}
    return Scenario(undo(conn, T.insert_index, index, comm=False), watch=(index, *index.values()))


def s_insert_index_missing_cols(conn):
    index = {"table": text("homes"), "name": text("index_9")}
    return Scenario(undo(conn, T.insert_index, index, False), KeyError, (index,))


def s_insert_index_bad_columns(conn):
    index = {"table": text("homes"), "name": text("index_9"), "cols": text("nope")}
    return Scenario(undo(conn, T.insert_index, index, False), sqlite3.OperationalError, (index,))


def s_insert_index_refusing_name(conn):
    index = {"table": text("homes"), "name": Refuses(), "cols": text("age")}
    return Scenario(undo(conn, T.insert_index, index, False), LookupError, (index,))


def s_drop_index(conn):
    table, name = text("homes"), text("index_0")
    return Scenario(undo(conn, T.drop_index, table, name, False), watch=(table, name))


def s_drop_index_refusing(conn):
    name = Refuses()
    return Scenario(undo(conn, T.drop_index, "homes", name, False), LookupError, (name,))


def s_suspend_and_rebuild(conn):
    table = text("homes")

    def call():
        T.drop_table_index(conn, table)
        T.active_table_index(conn, table)

    return Scenario(call, watch=(table,))


def s_active_table_index_broken_row(conn):
    table = text("broken")
    return Scenario(undo(conn, T.active_table_index, table), sqlite3.OperationalError, (table,))


def s_active_table_index_refusing(conn):
    table = Refuses()
    return Scenario(undo(conn, T.active_table_index, table), LookupError, (table,))


def s_drop_table_index_refusing(conn):
    table = Refuses()
    return Scenario(undo(conn, T.drop_table_index, table), LookupError, (table,))


def s_insert_unique(conn):
    args = (text("homes"), text("unique_9"), text("type,age"), text("1,3"))
    return Scenario(undo(conn, T.insert_unique, *args, comm=False), watch=args)


def s_insert_unique_unbindable(conn):
    cols = [text("type")]
    return Scenario(undo(conn, T.insert_unique, "homes", "u", cols, "1", False),
                    sqlite3.ProgrammingError, (cols,))


def s_drop_unique(conn):
    args = (text("homes"), text("unique_0"))
    return Scenario(undo(conn, T.drop_unique, *args, False), watch=args)


def s_drop_unique_refusing(conn):
    name = Refuses()
    return Scenario(undo(conn, T.drop_unique, "homes", name, False), LookupError, (name,))


def create_arguments():
    cols = [text("col_a"), text("col_b"), text("col_c")]
    index = [{"name": text("i_ab"), "cols": text("col_a,col_b")}]
    unique = [{"name": text("u_a"), "cols": [0]}, {"name": text("u_bc"), "cols": [2, 1]}]
    return cols, index, unique


def s_create_table(conn):
    name = text("scratch")
    cols, index, unique = create_arguments()
    return Scenario(lambda: T.create_table(conn, name, cols, index, unique),
                    watch=(name, cols, index, unique, *cols, *index, *unique))


def s_create_table_empty_columns(conn):
    cols = []
    return Scenario(undo(conn, T.create_table, "scratch", cols, [], []), ValueError, (cols,))


def s_create_table_column_not_text(conn):
    cols = [text("col_a"), 7]
    return Scenario(undo(conn, T.create_table, "scratch", cols, [], [], False), TypeError, (cols,))


def s_create_table_rule_out_of_range(conn):
    unique = [{"name": text("u"), "cols": [0, 5]}]
    return Scenario(undo(conn, T.create_table, "scratch", ["col_a"], [], unique, False),
                    IndexError, (unique, unique[0]))


def s_create_table_index_without_columns(conn):
    index = [{"name": text("i")}]
    return Scenario(undo(conn, T.create_table, "scratch", ["col_a"], index, [], False),
                    KeyError, (index, index[0]))


def rows_of(width=4, count=5):
    return [tuple(f"v{r}.{c}" for c in range(width)) for r in range(count)]


def s_insert_temp(conn):
    table, rows = text("homes"), rows_of()
    return Scenario(undo(conn, T.insert_temp, table, rows, False), watch=(table, rows, *rows))


def s_insert_temp_iterable_rows(conn):
    rows = [("a", "b", "c", 1), range(4), ["x", None, 2.5, b"\x00"]]
    return Scenario(undo(conn, T.insert_temp, "homes", rows, False), watch=(rows, *rows))


def s_insert_temp_generator(conn):
    return Scenario(undo(conn, T.insert_temp, "homes", (r for r in rows_of()), False))


def s_insert_temp_mapping_row(conn):
    rows = [("a", "b", "c", 1), {"name": "a"}]
    return Scenario(undo(conn, T.insert_temp, "homes", rows, False), TypeError, (rows,))


def s_insert_temp_ragged(conn):
    rows = rows_of() + [("short",)]
    return Scenario(undo(conn, T.insert_temp, "homes", rows, False), sqlite3.ProgrammingError,
                    (rows,))


def s_insert_temp_unbindable(conn):
    rows = [("a", "b", "c", 1), ("a", "b", "c", object())]
    return Scenario(undo(conn, T.insert_temp, "homes", rows, False), sqlite3.ProgrammingError,
                    (rows,))


def s_insert_temp_refusing_row(conn):
    rows = [("a", "b", "c", 1), Refuses()]
    return Scenario(undo(conn, T.insert_temp, "homes", rows, False), LookupError, (rows,))


def s_insert_main(conn):
    table, rows = text("homes"), rows_of()
    return Scenario(undo(conn, T._insert_main, table, rows, False), watch=(table, rows))


def s_insert_main_table_not_text(conn):
    rows = rows_of()
    return Scenario(undo(conn, T._insert_main, 5, rows, False), TypeError, (rows,))


def s_delete_row_main(conn):
    table, ids = text("homes"), [1, 2, 3, 10**6]
    return Scenario(undo(conn, T.delete_row_main, table, ids, False), watch=(table, ids))


def s_delete_row_main_items(conn):
    items = [text("1,2"), text(" 3 "), 4.0]

    def call():
        try:
            T.delete_row_main(conn, "homes", iter(items), False)
        finally:
            conn.rollback()

    return Scenario(call, watch=(items, *items[:2]))


def s_delete_row_main_not_an_id(conn):
    ids = [1, text("1) OR (1=1")]
    return Scenario(undo(conn, T.delete_row_main, "homes", ids, False), ValueError, (ids,))


def s_delete_row_main_missing_table(conn):
    ids = [1]
    return Scenario(undo(conn, T.delete_row_main, "nowhere", ids, False),
                    sqlite3.OperationalError, (ids,))


def s_delete_row_main_not_iterable(conn):
    ids = Refuses()
    return Scenario(undo(conn, T.delete_row_main, "homes", ids, False), LookupError, (ids,))


def s_merge(conn):
    table = text("churn")
    staged = [(i, f"v{i}") for i in range(0, 20, 2)] + [(5, "again"), (5, "last")]

    def call():
        T.insert_temp(conn, table, staged)
        T.temp_to_main(conn, table)

    return Scenario(call, watch=(table, staged))


def s_merge_rolled_back(conn):
    table = text("homes")
    return Scenario(undo(conn, T.temp_to_main, table, False), watch=(table,))


def s_merge_missing_table(conn):
    return Scenario(undo(conn, T.temp_to_main, "nowhere"), sqlite3.OperationalError)


def s_merge_rule_out_of_range(conn):
    return Scenario(undo(conn, T.temp_to_main, "broken"), IndexError)


def s_merge_rule_not_numbers(conn):
    return Scenario(undo(conn, T.temp_to_main, "words"), ValueError)


def s_drop_table(conn):
    table = text("never_made")
    return Scenario(undo(conn, T.drop_table, table, False), watch=(table,))


def s_drop_table_refusing(conn):
    table = Refuses()
    return Scenario(undo(conn, T.drop_table, table), LookupError, (table,))


def s_find(conn):
    args = (text("*"), text("homes"), text(""))
    return Scenario(lambda: T.find(conn, *args), watch=args)


def s_find_conditions(conn):
    args = (text("age,name"), text("homes"), text("WHERE age > 3 ORDER BY rowid DESC"))
    return Scenario(lambda: T.find(conn, *args), watch=args)


def s_find_folded(conn):
    args = (text("*"), text("folded"), text("where v > 1"))
    return Scenario(lambda: T.find(conn, *args), watch=args)


def s_find_by_lookups(conn):
    conn.create_collation("initial", initial)
    args = (text("*"), text("initialled"), text(""))
    return Scenario(lambda: T.find(conn, *args), watch=args)


def s_find_unknown_column(conn):
    select = text("name,nope")
    return Scenario(lambda: T.find(conn, select, "homes", ""), ValueError, (select,))


def s_find_bad_conditions(conn):
    conditions = text("WHERE (")
    return Scenario(lambda: T.find(conn, "*", "homes", conditions), sqlite3.OperationalError,
                    (conditions,))


def s_find_missing_table(conn):
    return Scenario(lambda: T.find(conn, "*", "nowhere", ""), sqlite3.OperationalError)


def s_reads_in_ranges(conn):
    path = conn.execute("PRAGMA database_list").fetchone()[2]
    ranged = sqlite3.connect(path, factory=RangedConnection)
    where, params = text("age > ?"), (3,)
    return Scenario(lambda: (T.find(ranged, "*", "homes", "WHERE age > 3"),
                             list(newest_rows(ranged, "homes", None, where, params))),
                    watch=(where, params))


def s_newest_rows(conn):
    table, select = text("homes"), [3, 0]
    return Scenario(lambda: list(newest_rows(conn, table, select)), watch=(table, select))


def s_newest_rows_lazy(conn):
    where, params = text("age > ?"), (3,)
    return Scenario(lambda: list(newest_rows(conn, "homes", None, where, params, limit=4)),
                    watch=(where, params))


def s_newest_rows_ordered(conn):
    order_by = text("v DESC")
    return Scenario(lambda: list(newest_rows(conn, "folded", order_by=order_by, limit=2)),
                    watch=(order_by,))


def s_newest_rows_closed(conn):
    def call():
        rows = newest_rows(conn, "homes")
        next(rows)
        rows.close()
    return Scenario(call)


def s_newest_rows_bad_select(conn):
    select = [9]
    return Scenario(lambda: newest_rows(conn, "homes", select), ValueError, (select,))


def s_newest_rows_bad_where(conn):
    where = text("(")
    return Scenario(lambda: newest_rows(conn, "homes", where=where), sqlite3.OperationalError,
                    (where,))


def resolver_arguments(conn, where):
    row = full_row(conn, where)
    reference = (0, row[0])
    uniques = {text("unique_0"): [0, 1], text("unique_1"): [2]}
    return [text("homes"), reference, row, uniques, list(COLS), text("rowid,name,type,address,age")]


def s_resolver_newer_link(conn):
    args = resolver_arguments(conn, "address = '0 Elm'")
    return Scenario(lambda: T._check_newest_unique(conn, *args, {args[1]}), watch=tuple(args))


def s_resolver_newest(conn):
    args = resolver_arguments(conn, "address = '2 Elm'")
    return Scenario(lambda: T._check_newest_unique(conn, *args, {args[1]}), watch=tuple(args))


def s_resolver_bad_reference(conn):
    args = resolver_arguments(conn, "address = '2 Elm'")
    args[1] = 5
    return Scenario(lambda: T._check_newest_unique(conn, *args, set()), TypeError, tuple(args))


def s_resolver_bad_position(conn):
    args = resolver_arguments(conn, "address = '2 Elm'")
    args[3] = {"far": [9]}
    return Scenario(lambda: T._check_newest_unique(conn, *args, {args[1]}), IndexError,
                    tuple(args))


def s_argument_errors(conn):
    table = text("homes")
    calls = [
        lambda: T.insert_temp(conn, table),
        lambda: T.insert_temp(conn, table, [], True, 4),
        lambda: T.drop_table(conn, table, comm=False, table=table),
        lambda: T.find(conn, "*", table, "", extra=1),
        lambda: T._check_newest_unique(conn),
    ]

    def call():
        for each in calls:
            try:
                each()
            except TypeError:
                pass
            else:
                raise AssertionError("argument error expected")

    return Scenario(call, watch=(table,))


def s_handle_duplicate(conn):
    name = text(f"dup-{uuid.uuid4()}")
    T.DB(name, ":memory:")
    sink = Sink()

    def call():
        stdout, sys.stdout = sys.stdout, sink
        try:
            T.DB(name, "/nonexistent/never/opened.db")
        finally:
            sys.stdout = stdout

    return Scenario(call, watch=(name,))


def s_handle_connection(conn):
    handle = T.DB(f"c-{uuid.uuid4()}", ":memory:")
    return Scenario(lambda: handle.connection().close(), watch=(handle,))


def s_handle_unhashable_name(conn):
    name = [text("x")]
    return Scenario(lambda: T.DB(name, ":memory:"), TypeError, (name,))


SCENARIOS = {name[2:]: builder for name, builder in globals().copy().items()
             if name.startswith("s_")}


# ---- measuring ---------------------------------------------------------------------


def run_round(scenario, count):
    call, expected = scenario.call, scenario.raises
    if expected is None:
        for _ in range(count):
            call()
    else:
        for _ in range(count):
            try:
                call()
            except expected:
                pass
            else:
                raise AssertionError(f"{expected} expected")


def level():
    gc.collect()
    if hasattr(sys, "gettotalrefcount"):
        return sys.gettotalrefcount()
    return tracemalloc.get_traced_memory()[0]


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_no_leak(name, conn):
    scenario = SCENARIOS[name](conn)
    conn.commit()
    # The first call settles what a call keeps by design (create_table's "table" keys).
    if scenario.raises is not None:
        with pytest.raises(scenario.raises):
            scenario.call()
    else:
        scenario.call()
    watched = scenario.watch
    counts = [sys.getrefcount(o) for o in watched]
    debug = hasattr(sys, "gettotalrefcount")
    if not debug:
        tracemalloc.start()
    try:
        run_round(scenario, WARM_UP)
        levels = [level()]
        for _ in range(ROUNDS):
            run_round(scenario, ROUND)
            levels.append(level())
    finally:
        if not debug:
            tracemalloc.stop()
    growth = tuple(b - a for a, b in zip(levels, levels[1:]))
    RESULTS[name] = growth
    allowance = REFERENCE_ALLOWANCE if debug else MEMORY_ALLOWANCE
    unit = "references" if debug else "bytes"
    # A leak grows every round alike; a one-off settling shows in one round only.
    assert min(growth) <= allowance, f"{name}: {growth} {unit} over {ROUND} calls per round"
    assert [sys.getrefcount(o) for o in watched] == counts


def test_report(request):
    """Prints the deltas of the scenarios that ran (collected last)."""
    ran = {k: v for k, v in RESULTS.items()}
    if ran:
        worst = max(max(v) for v in ran.values())
        print(f"\nleak check: {len(ran)} scenarios x {WARM_UP + ROUNDS * ROUND} calls; "
              f"largest round growth {worst} "
              f"{'references' if hasattr(sys, 'gettotalrefcount') else 'bytes'}")
        for name, growth in sorted(ran.items()):
            print(f"  {name}: {growth}")
    allowance = REFERENCE_ALLOWANCE if hasattr(sys, "gettotalrefcount") else MEMORY_ALLOWANCE
    assert all(min(v) <= allowance for v in ran.values())
