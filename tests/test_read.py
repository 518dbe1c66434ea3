"""tablora._read.newest_rows: find's rows streamed from one read snapshot, held while the
iterator is open and released however it ends."""

import gc
import sqlite3

import pytest

import tablora
import tablora.tablora as T
from tablora._read import newest_rows

from support import settle, stage

# Fails at the main row with row id 2 only (abs of the smallest integer), after the
# staged row and the first main row were read.
FAILS_ON_MAIN = "rowid < 2 OR abs(rowid - 9223372036854775807 - 3) > 0"


@pytest.fixture
def rows(conn, homes):
    settle(conn, ("m", "house", "M st", 40), ("n", "flat", "N st", 41), ("o", "flat", "O st", 42))
    stage(conn, ("s", "flat", "S st", 5))
    return conn


# Each ends the iterator held in a one-item list.
def _close(held):
    held[0].close()


def _exhaust(held):
    assert len(list(held[0])) == 3


def _let_go(held):
    held.clear()
    gc.collect()


def _fail(held):
    with pytest.raises(Exception, match="overflow"):
        list(held[0])


@pytest.mark.parametrize("end, where", [(_close, None), (_exhaust, None), (_let_go, None),
                                        (_fail, FAILS_ON_MAIN)])
def test_snapshot_is_held_while_open_and_released_at_the_end(rows, other, end, where):
    held = [newest_rows(rows, "homes", where=where)]
    assert next(held[0]) == ("s", "flat", "S st", 5)
    assert rows.in_transaction
    end(held)
    assert not rows.in_transaction
    # a writer on another connection is no longer held off
    other.execute("INSERT INTO temp_homes VALUES ('w', 'flat', 'W st', 1)")
    other.commit()


def test_closed_iterator_yields_nothing_more(rows):
    it = newest_rows(rows, "homes")
    next(it)
    it.close()
    it.close()
    assert list(it) == []


def test_limit_releases_the_snapshot_with_its_last_row(rows):
    it = newest_rows(rows, "homes", limit=2)
    assert [next(it), next(it)] == [("s", "flat", "S st", 5), ("m", "house", "M st", 40)]
    assert not rows.in_transaction
    assert list(it) == []


def test_caller_transaction_is_the_snapshot_and_stays_open(rows):
    stage(rows, ("t", "flat", "T st", 6), comm=False)
    assert rows.in_transaction
    assert len(list(newest_rows(rows, "homes"))) == 5
    assert rows.in_transaction


@pytest.mark.parametrize("arguments, error, words", [
    ({"select": [4]}, ValueError, "'homes' has no column at position 4"),
    ({"select": [-1]}, ValueError, "'homes' has no column at position -1"),
    ({"select": "name"}, TypeError, "select"),
    ({"select": ["name"]}, TypeError, "column positions"),
    ({"limit": -1}, ValueError, "limit"),
    ({"offset": 1.5}, TypeError, "offset"),
    ({"where": 1}, TypeError, "where"),
    ({"order_by": b"age"}, TypeError, "order_by"),
    ({"table": "nope"}, ValueError, "'nope'"),
])
def test_bad_arguments_name_what_is_wrong_and_leave_no_snapshot(rows, arguments, error, words):
    arguments = {"table": "homes", **arguments}
    with pytest.raises(error, match=words):
        newest_rows(rows, **arguments)
    assert not rows.in_transaction


class Pair(tuple):
    __slots__ = ()


def test_rows_are_made_as_the_given_tuple_subclass(rows):
    made = list(newest_rows(rows, "homes").make_as(Pair))
    assert made == list(newest_rows(rows, "homes")) and {type(r) for r in made} == {Pair}


@pytest.mark.parametrize("row_type", [list, Pair(())])
def test_a_row_type_not_subclassing_tuple_is_refused(rows, row_type):
    with pytest.raises(TypeError, match="subclass of tuple"):
        newest_rows(rows, "homes").make_as(row_type)


def test_many_candidates_under_a_condition_agree_with_find(conn, homes):
    # Past the lazily judged candidates the read settles; main rows read after
    # that which repeat a key of another main row are judged by their component
    # there too: rows 21,000 to 21,999 lose to rows 22,000 to 22,999.
    many = [(f"n{i}", "t", f"a{i - 1000 if i >= 22_000 else i}", i) for i in range(24_000)]
    T._insert_main(conn, "homes", many)
    T.insert_temp(conn, "homes", [("n3", "t", "new", 1), ("x", "t", "a23999", 2)])
    expected = T.find(conn, "*", "homes", "WHERE age >= 0")
    got = list(newest_rows(conn, "homes", where="age >= ?", params=(0,)))
    assert [list(r) for r in got] == expected


READS = [{}, {"where": "v <> ?", "params": ("z",)}, {"limit": 3}, {"order_by": "v"},
         {"order_by": "v DESC", "limit": 2, "offset": 1}]


@pytest.mark.parametrize("reads", READS)
@pytest.mark.parametrize("declared", ["k COLLATE NOCASE", "k COLLATE RTRIM", "k COLLATE initial"])
def test_keys_link_under_the_column_collation_as_in_find(conn, declared, reads):
    # Main rows repeating a key among themselves link as SQLite groups them.
    conn.create_collation("initial", lambda a, b: (a[:1] > b[:1]) - (a[:1] < b[:1]))
    T.create_table(conn, "t", [declared, "v"], [], [{"name": "by_k", "cols": [0]}])
    T._insert_main(conn, "t", [("X", "a"), ("x", "b"), ("x ", "c"), ("y", "d"), ("Y", "e")])
    T.insert_temp(conn, "t", [("y ", "f"), ("Y", "g"), (None, "h"), (None, "i")])
    order = reads.get("order_by")
    where = "WHERE v <> 'z'" if "where" in reads else ""
    expected = T.find(conn, "*", "t", where + (f" ORDER BY {order}" if order else ""))
    if order:  # find orders each tier by itself; the read orders both together
        expected.sort(key=lambda row: row[1], reverse="DESC" in order)
    start = reads.get("offset", 0)
    stop = start + reads["limit"] if "limit" in reads else None
    assert [list(row) for row in newest_rows(conn, "t", **reads)] == expected[start:stop]


@pytest.mark.parametrize("limit, offset", [(1, 0), (3, 150)])
def test_top_rows_behind_many_older_versions_are_found(conn, homes, limit, offset):
    # The sorted rows are read a window at a time: 300 versions of one row sort
    # first and lose, so the winners lie windows further on.
    T.insert_temp(conn, "homes", [("v", "t", "a", i) for i in range(300)])
    T._insert_main(conn, "homes", [(f"m{i}", "t", f"m{i}", 1000 + i) for i in range(400)])
    expected = sorted(T.find(conn, "*", "homes", ""), key=lambda row: row[3])
    got = newest_rows(conn, "homes", order_by="age", limit=limit, offset=offset)
    assert [list(row) for row in got] == expected[offset:offset + limit]


# A row of plain values is left out of the cycle collector, which would otherwise visit
# every row of a large result again; a row holding a value that may refer back (here a
# converter's list) stays in it, or a cycle through it would never be collected.
@pytest.mark.parametrize("declared, tracked", [("INTEGER", False), ("TABLORA_BOXED", True)])
def test_rows_leave_the_cycle_collector_unless_a_value_can_refer_back(tmp_path, declared,
                                                                       tracked):
    sqlite3.register_converter("TABLORA_BOXED", lambda stored: [stored])
    conn = sqlite3.connect(tmp_path / "boxed.db", detect_types=sqlite3.PARSE_DECLTYPES)
    with tablora.Database(conn) as db:
        table = db.create_table("t", {"k": "TEXT", "v": declared}, unique={"k": ["k"]})
        table.stage([("a", 1), ("b", 2)])
        table.merge()
        table.stage([("c", 3)])
        rows = T.find(conn, "*", "t", "") + list(newest_rows(conn, "t"))
    assert len(rows) == 6 and {gc.is_tracked(row) for row in rows} == {tracked}


def test_rows_of_a_type_with_attributes_stay_in_the_cycle_collector(rows):
    class Open(tuple):  # noqa: SLOT001  (its instances get a __dict__, which may refer back)
        pass

    assert all(gc.is_tracked(row) for row in newest_rows(rows, "homes").make_as(Open))
