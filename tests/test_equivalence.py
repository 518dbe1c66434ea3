"""The extension's merge, query and resolver against the reference model.

Random managed tables with several unique rules (some by negative position),
columns declared BINARY, NOCASE or RTRIM, small value domains that mix 1, 1.0,
'1', b'1', None and a few texts that fold together under one collation or
another, keys repeated in both tiers, chains of rows linked across rules, and
staged row ids that do not follow the order of insertion. Every example gets a
fresh database file; results are compared with value types kept, so that 1 and
1.0 count as different values.
"""

import copy
import itertools
import os
import sqlite3
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tablora
import tablora.tablora as T
from tablora._merge import merge
from tablora._read import newest_rows

from reference import Tables
from support import RangedConnection, through_functions, typed

VALUES = [1, 1.0, "1", b"1", None, "a", "A", "a ", "b", 2]
COLLATIONS = ["BINARY", "NOCASE", "RTRIM"]
TABLE = "things"
_names = itertools.count()

SETTINGS = settings(
    max_examples=150,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@st.composite
def scenarios(draw):
    ncols = draw(st.integers(3, 4))
    cols = [f"c{i}" for i in range(ncols)]
    rules = []
    for _ in range(draw(st.integers(2, 3))):
        positions = draw(st.lists(st.integers(0, ncols - 1), min_size=1, max_size=2, unique=True))
        # Some rules name their columns from the end of the column list.
        rules.append([p - ncols if draw(st.booleans()) else p for p in positions])
    # A few values per example, so that keys repeat and rows chain up.
    domain = draw(st.lists(st.sampled_from(VALUES), min_size=2, max_size=5, unique_by=repr))
    row = st.lists(st.sampled_from(domain), min_size=ncols, max_size=ncols).map(tuple)
    return {
        "cols": cols,
        "collations": draw(st.lists(st.sampled_from(COLLATIONS), min_size=ncols, max_size=ncols)),
        "rules": rules,
        "merged": draw(st.lists(row, max_size=8)),  # staged, then merged
        "main": draw(st.lists(row, max_size=6)),  # written to main directly: repeats there
        "deleted": draw(st.lists(st.integers(1, 14), max_size=3)),  # gaps in main row ids
        # staged under drawn row ids, in the drawn (arbitrary) order
        "staged": draw(st.dictionaries(st.integers(1, 30), row, max_size=8)),
        "staged_later": draw(st.lists(row, max_size=3)),  # a second batch, through insert_temp
        "restaged": draw(st.lists(row, max_size=5)),  # staged after a merge, merged again
        # A row staged far on (row id 100,000) that links to nothing: next to it, any
        # conditions select few candidates, so find looks their staged links up.
        "far": draw(st.booleans()),
    }


class Database:
    """A fresh database file holding the scenario's table; removed on exit."""

    def __init__(self, scenario):
        self.scenario = scenario

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "t.db")
        db = T.DB(f"equivalence-{next(_names)}", self.path)
        self.conn = db.connection()
        # Durability is of no interest here; without it each example is much faster.
        self.conn.execute("PRAGMA synchronous=OFF")
        self.others = []
        s = self.scenario
        unique = [{"name": f"rule_{i}", "cols": list(p)} for i, p in enumerate(s["rules"])]
        declared = [f"{c} COLLATE {k}" for c, k in zip(s["cols"], s["collations"])]
        T.create_table(self.conn, TABLE, declared, [{"name": "ix", "cols": "c0"}], unique)
        T.insert_temp(self.conn, TABLE, s["merged"])
        T.temp_to_main(self.conn, TABLE)
        T._insert_main(self.conn, TABLE, s["main"])
        for rowid in s["deleted"]:
            self.conn.execute(f"DELETE FROM {TABLE} WHERE rowid = ?", (rowid,))
        marks = ",".join("?" * (len(s["cols"]) + 1))
        self.conn.executemany(f"INSERT INTO temp_{TABLE} (rowid,{','.join(s['cols'])}) "
                              f"VALUES ({marks})", [(i, *row) for i, row in s["staged"].items()])
        if s["far"]:
            self.conn.execute(f"INSERT INTO temp_{TABLE} (rowid,{','.join(s['cols'])}) "
                              f"VALUES ({marks})", (100_000, *(f"far{c}" for c in s["cols"])))
        self.conn.commit()
        T.insert_temp(self.conn, TABLE, s["staged_later"])
        return self

    def connect(self):
        """A second connection: it sees what was committed."""
        other = sqlite3.connect(self.path)
        self.others.append(other)
        return other

    def __exit__(self, *exc):
        for c in [self.conn, *self.others]:
            c.close()
        self.dir.cleanup()


def conditions_for(scenario, column, value):
    cond = [
        "",
        "order by rowid desc",
        "where rowid % 2 = 0",
        "WHERE rowid > 2\n  ORDER BY c1 DESC, rowid",
    ]
    col = scenario["cols"][column]
    if value is None:
        cond.append(f"where {col} is null")
    elif isinstance(value, bytes):
        cond.append(f"where {col} = x'{value.hex()}'")
    else:
        cond.append(f"where {col} = {value!r}")
    return cond


def reads(conn, conditions):
    """What find's conditions select, (reference, values) staged first, in read order."""
    return [((tier, row[0]), row[1:])
            for tier, table in ((1, f"temp_{TABLE}"), (0, TABLE))
            for row in conn.execute(f"SELECT rowid,* FROM {table} {conditions}")]


@SETTINGS
@given(scenario=scenarios(), column=st.integers(0, 2), value=st.sampled_from(VALUES),
       select=st.sampled_from(["*", "c2,c0", "c1"]))
def test_find_matches_reference(scenario, column, value, select):
    with Database(scenario) as d:
        model = Tables.read(d.conn, TABLE, scenario["collations"])
        members = [scenario["cols"].index(c) for c in select.split(",")] if select != "*" \
            else list(range(len(scenario["cols"])))
        for conditions in conditions_for(scenario, column, value):
            expected = model.find(reads(d.conn, conditions), members)
            got = T.find(d.conn, select, TABLE, conditions)
            assert typed(got) == typed(expected), conditions
        # find reads only: no transaction was opened by it
        assert not d.conn.in_transaction


@SETTINGS
@given(scenario=scenarios(), data=st.data())
def test_resolver_matches_reference(scenario, data):
    with Database(scenario) as d:
        model = Tables.read(d.conn, TABLE, scenario["collations"])
        cols = list(scenario["cols"])
        uniques = {f"rule_{i}": list(p) for i, p in enumerate(scenario["rules"])}
        refs = [ref for ref, _ in model.rows()]
        falses = []
        for ref, values in model.rows():
            # Usually only the row itself on entry; sometimes other rows too,
            # which are then skipped wherever they are met.
            extra = data.draw(st.lists(st.sampled_from(refs), max_size=2))
            start = {ref, *extra}
            expected = model.resolve(ref, values, set(start))
            given_set = set(start)
            got = T._check_newest_unique(d.conn, TABLE, ref, (ref[1], *values), uniques, cols,
                                         "rowid," + ",".join(cols), given_set)
            assert got[0] is expected[0], (ref, start)
            if expected[0]:
                assert got[1] is given_set
                assert got[1] == expected[1], (ref, start)
            else:
                assert got == (False, None)
                falses.append(got)
        assert all(f is falses[0] for f in falses)


def table_state(conn):
    """Main rows, staged rows (row ids and typed values), the table's indexes, the catalogue."""
    return {
        "main": typed(conn.execute(f"SELECT rowid,* FROM {TABLE} ORDER BY rowid")),
        "staged": typed(conn.execute(f"SELECT rowid,* FROM temp_{TABLE} ORDER BY rowid")),
        "indexes": conn.execute(
            "SELECT name, tbl_name, sql FROM sqlite_master WHERE type = 'index' ORDER BY name"
        ).fetchall(),
        "index_table": sorted(conn.execute("SELECT * FROM index_table").fetchall(), key=repr),
        "unique_table": sorted(conn.execute("SELECT * FROM unique_table").fetchall(), key=repr),
    }


def merged_state(before, model):
    """The state after a merge: the model's main rows, nothing staged, the schema as it was."""
    return {**before, "main": typed((i, *v) for i, v in model.main), "staged": []}


@SETTINGS
@given(scenario=scenarios(), through=st.booleans())
def test_merge_matches_reference(scenario, through):
    # Both ways of writing, in SQL or through the module-level functions,
    # must leave the same table, row for row and row id for row id.
    with Database(scenario) as d, through_functions(through):
        before = table_state(d.conn)
        model = Tables.read(d.conn, TABLE, scenario["collations"])
        model.merge()
        T.temp_to_main(d.conn, TABLE)
        assert table_state(d.conn) == merged_state(before, model)
        assert not d.conn.in_transaction
        seen = d.connect()
        assert table_state(seen) == table_state(d.conn)
        # more rows staged over the merged table, and a second merge
        T.insert_temp(d.conn, TABLE, scenario["restaged"])
        model.stage(scenario["restaged"])
        model.merge()
        T.temp_to_main(d.conn, TABLE)
        assert table_state(seen) == table_state(d.conn) == merged_state(before, model)


@SETTINGS
@given(scenario=scenarios(), comm=st.sampled_from([False, 0, None, 2, "x"]))
def test_merge_without_commit_leaves_the_whole_merge_open(scenario, comm):
    with Database(scenario) as d:
        before = table_state(d.conn)
        model = Tables.read(d.conn, TABLE, scenario["collations"])
        model.merge()
        T.temp_to_main(d.conn, TABLE, comm=comm)
        assert table_state(d.conn) == merged_state(before, model)
        # The transaction opens before the first index drop: others see nothing of it,
        # and a rollback takes back all of it.
        assert d.conn.in_transaction
        assert table_state(d.connect()) == before
        d.conn.rollback()
        assert table_state(d.conn) == before


def sql_literal(value):
    return "NULL" if value is None else f"x'{value.hex()}'" if isinstance(value, bytes) \
        else repr(value)


def filters(scenario, column, value):
    """(where, params, the same condition with the value spliced in) as find takes it. The
    column goes through a unary + so that no index serves it: SQLite may pick another index,
    and so another order, for a spliced NULL than for a bound one."""
    col = scenario["cols"][column]
    return [
        (None, (), ""),
        ("rowid % 2 = 0", (), "WHERE rowid % 2 = 0"),
        (f"+{col} IS ?", (value,), f"WHERE +{col} IS {sql_literal(value)}"),
        (f"rowid > :low OR +{col} = :v", {"low": 3, "v": value},
         f"WHERE rowid > 3 OR +{col} = {sql_literal(value)}"),
    ]


def sorted_by_sqlite(rows, collations, order_by, limit, offset):
    """The rows as SQLite orders and slices them, through a scratch table whose columns
    have the given collations."""
    ncols = len(collations)
    scratch = sqlite3.connect(":memory:")
    columns = ",".join(f"c{i} COLLATE {c}" for i, c in enumerate(collations))
    scratch.execute(f"CREATE TABLE x ({columns})")
    scratch.executemany(f"INSERT INTO x VALUES ({','.join('?' * ncols)})", rows)
    found = scratch.execute(f"SELECT * FROM x ORDER BY {order_by} LIMIT ? OFFSET ?",
                            (-1 if limit is None else limit, offset or 0)).fetchall()
    scratch.close()
    return found


@SETTINGS
@given(scenario=scenarios(), column=st.integers(0, 2), value=st.sampled_from(VALUES),
       select=st.sampled_from([None, [2, 0], [1]]), limit=st.sampled_from([None, 0, 1, 3]),
       offset=st.sampled_from([None, 0, 2]), descending=st.booleans())
def test_newest_rows_match_find(scenario, column, value, select, limit, offset, descending):
    # The streamed read hands out find's rows: in find's order without an order,
    # sliced by limit and offset; with one, both tiers sorted and sliced together.
    # The order names every column, its type and its bytes, so that only equal rows tie.
    ncols = len(scenario["cols"])
    members = select or list(range(ncols))
    names = ",".join(scenario["cols"][m] for m in members)
    direction = " DESC" if descending else ""
    order_by = ", ".join(f"c{i}{direction}, typeof(c{i}), c{i} COLLATE BINARY"
                         for i in range(ncols))
    with Database(scenario) as d:
        for where, params, conditions in filters(scenario, column, value):
            expected = T.find(d.conn, "*" if select is None else names, TABLE, conditions)
            got = list(newest_rows(d.conn, TABLE, select, where, params))
            assert typed(got) == typed(expected), where
            start = offset or 0
            stop = None if limit is None else start + limit
            got = list(newest_rows(d.conn, TABLE, select, where, params, limit=limit,
                                   offset=offset))
            assert typed(got) == typed(expected[start:stop]), (where, limit, offset)
            if select is None:
                got = list(newest_rows(d.conn, TABLE, None, where, params, order_by, limit,
                                       offset))
                assert typed(got) == typed(sorted_by_sqlite(
                    expected, scenario["collations"], order_by, limit, offset)), where
        assert not d.conn.in_transaction


@SETTINGS
@given(scenario=scenarios(), column=st.integers(0, 2), value=st.sampled_from(VALUES),
       per_request=st.integers(1, 4))
def test_reads_in_ranges_give_the_rows_of_one_read(scenario, column, value, per_request):
    # Ranges of a few rows: every pass spans several, ending anywhere among linked rows.
    def same_rows(rows):  # in ranges, a tier's rows come in row-id order
        return sorted(map(repr, typed(rows)))

    with Database(scenario) as d:
        ranged = sqlite3.connect(d.path, factory=RangedConnection)
        d.others.append(ranged)
        ranged.read_rows_per_request = per_request
        for where, params, conditions in filters(scenario, column, value):
            for tail in {conditions, *conditions_for(scenario, column, value)}:
                assert same_rows(T.find(ranged, "*", TABLE, tail)) == \
                    same_rows(T.find(d.conn, "*", TABLE, tail)), tail
            assert same_rows(newest_rows(ranged, TABLE, None, where, params)) == \
                same_rows(newest_rows(d.conn, TABLE, None, where, params)), where
        assert not ranged.in_transaction


# ---- find before and after a merge ----------------------------------------------------------


@st.composite
def settled_and_staged(draw, rules, nulls):
    """Three key columns, each BINARY, NOCASE or RTRIM, and a payload n that tells rows apart
    before and after the merge; `rules` rules over the key columns; NULLs among the values
    when `nulls`."""
    others = [v for v in VALUES if v is not None]
    domain = draw(st.lists(st.sampled_from(others), min_size=2, max_size=5, unique_by=repr))
    domain += [None] if nulls else []
    row = st.lists(st.sampled_from(domain), min_size=3, max_size=3).map(tuple)
    return {
        "collations": draw(st.lists(st.sampled_from(COLLATIONS), min_size=3, max_size=3)),
        "rules": draw(st.lists(st.lists(st.integers(0, 2), min_size=1, max_size=2, unique=True),
                               min_size=rules, max_size=rules)),
        "main": draw(st.lists(row, max_size=6)),
        "staged": draw(st.lists(row, max_size=8)),
    }


@pytest.mark.parametrize("rules, nulls", [(1, False), (1, True), (3, False), (3, True)])
@settings(SETTINGS, max_examples=80,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_find_gives_the_same_rows_before_and_after_a_merge(conn, rules, nulls, data):
    # With one rule, always; with several, unless a chain withholds a row the merge keeps.
    s = data.draw(settled_and_staged(rules, nulls))
    declared = [f"k{i} COLLATE {c}" for i, c in enumerate(s["collations"])] + ["n"]
    T.create_table(conn, "t", declared, [],
                   [{"name": f"r{i}", "cols": p} for i, p in enumerate(s["rules"])])
    payload = itertools.count()
    T._insert_main(conn, "t", [(*r, next(payload)) for r in s["main"]])
    T.insert_temp(conn, "t", [(*r, next(payload)) for r in s["staged"]])
    model = Tables.read(conn, "t", [*s["collations"], "BINARY"])
    assert rules > 1 or not model.chain_case()
    conditions = ["", "where n % 2 = 0", "order by rowid desc"]
    before = [T.find(conn, "*", "t", c) for c in conditions]
    assert typed(before[0]) == typed(model.find(model.rows(), range(4)))
    T.temp_to_main(conn, "t")
    after = [T.find(conn, "*", "t", c) for c in conditions]
    if not model.chain_case():
        assert [sorted(typed(b), key=repr) for b in before] == \
            [sorted(typed(a), key=repr) for a in after]


@pytest.mark.parametrize("rules, nulls", [(1, False), (1, True), (3, False), (3, True)])
@settings(SETTINGS, max_examples=80,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_find_between_the_steps_of_a_stepped_merge_gives_the_rows_before_it(
        conn, monkeypatch, rules, nulls, data):
    # Each step is a merge of a prefix of the staging table: find after it agrees with the
    # model, and with find before the step unless a chain withholds a row (so with one rule,
    # always with find before the merge); the last step leaves main holding the rows one
    # merge would leave, row ids aside.
    s = data.draw(settled_and_staged(rules, nulls))
    declared = [f"k{i} COLLATE {c}" for i, c in enumerate(s["collations"])] + ["n"]
    T.create_table(conn, "t", declared, [{"name": "by_n", "cols": "n"}],
                   [{"name": f"r{i}", "cols": p} for i, p in enumerate(s["rules"])])
    payload = itertools.count()
    T._insert_main(conn, "t", [(*r, next(payload)) for r in s["main"]])
    # A few staged rows deleted: gaps in the staging row ids.
    T.insert_temp(conn, "t", [(*r, next(payload)) for r in s["staged"]])
    conn.execute("DELETE FROM temp_t WHERE n % 7 = 3")
    conn.commit()
    model = Tables.read(conn, "t", [*s["collations"], "BINARY"])
    once = copy.deepcopy(model)
    once.merge()
    conditions = ["", "where n % 2 = 0", "order by rowid desc"]

    def found():
        return [sorted(typed(T.find(conn, "*", "t", c)), key=repr) for c in conditions]

    seen = [found()]  # find before the merge, then after each step

    def step(conn, table, **bounds):
        counts = merge(conn, table, **bounds)
        chain = model.chain_case(bounds["through_row_id"])
        model.merge(bounds["through_row_id"])
        after = found()
        assert after[0] == sorted(typed(model.find(model.rows(), range(4))), key=repr)
        assert rules > 1 or not chain
        if not chain:
            assert after == seen[-1], bounds["through_row_id"]
        seen.append(after)
        return counts

    monkeypatch.setattr(tablora.table._merge, "merge", step)
    monkeypatch.setattr(tablora.table, "STEP_PAUSE", 0)  # no other writer to let in
    step_rows, staged = data.draw(st.integers(1, 4)), len(model.staged)
    tablora.Database(conn)["t"].merge(step_rows=step_rows)
    assert len(seen) == 1 + -(-staged // step_rows)
    assert model.staged == [] and conn.execute("SELECT count(*) FROM temp_t").fetchone() == (0,)
    assert sorted(typed(v for _, v in model.main), key=repr) == \
        sorted(typed(v for _, v in once.main), key=repr)
    assert sorted(typed(conn.execute("SELECT * FROM t")), key=repr) == \
        sorted(typed(v for _, v in once.main), key=repr)
