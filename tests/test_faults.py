"""Fault injection: every call the library makes on a connection or cursor can fail.

A duck-typed connection wraps a real sqlite3 connection and raises a fresh
exception object at the k-th call of cursor, execute, executemany, fetchall or
commit, either before the real call runs or right after it ran. For every
function and every k up to the number of calls it makes on a realistic case:

- the very exception object reaches the caller, neither wrapped nor chained;
- nothing is committed after it;
- the reference counts of the arguments are where they were;
- a second connection sees exactly the database as it was before the call.

The same holds when a sibling function that a composite calls raises, and for
the handle DB when the driver module itself fails.
"""

import gc
import shutil
import sqlite3
import sys
import uuid
from dataclasses import dataclass
from typing import Any, Callable

import pytest

import tablora.tablora as T
from tablora._merge import merge
from support import HOMES_COLS, create_homes, prepared_connection, text

COLS = HOMES_COLS
KINDS = ("cursor", "execute", "executemany", "fetchall", "commit")


class InjectedFault(Exception):
    """Raised by the wrapper; each injection makes a new object."""


class Injector:
    """Counts the calls of all wrappers of one run and fails the k-th."""

    def __init__(self, fail_at=None, mode="before"):
        self.fail_at = fail_at
        self.mode = mode
        self.calls = []  # kinds, in call order
        self.raised = None
        self.commits_after_fault = 0

    def call(self, kind, real):
        self.calls.append(kind)
        fail = len(self.calls) == self.fail_at
        if kind == "commit" and self.raised is not None:
            self.commits_after_fault += 1
        if fail and self.mode == "before":
            self.raised = InjectedFault(f"{kind} #{len(self.calls)} before")
            raise self.raised
        result = real()
        if fail:
            self.raised = InjectedFault(f"{kind} #{len(self.calls)} after")
            raise self.raised
        return result


class FaultyCursor:
    def __init__(self, real, injector):
        self._real = real
        self._injector = injector

    def execute(self, sql, parameters=()):
        self._injector.call("execute", lambda: self._real.execute(sql, parameters))
        return self

    def executemany(self, sql, seq_of_parameters):
        # The library hands over a lazy iterator: it goes to the driver as it is.
        self._injector.call("executemany", lambda: self._real.executemany(sql, seq_of_parameters))
        return self

    def fetchall(self):
        return self._injector.call("fetchall", self._real.fetchall)

    def __getattr__(self, name):
        return getattr(self._real, name)


class FaultyConnection:
    def __init__(self, real, injector):
        self._real = real
        self._injector = injector

    def cursor(self, *args):
        real = self._injector.call("cursor", lambda: self._real.cursor(*args))
        return FaultyCursor(real, self._injector)

    def commit(self):
        return self._injector.call("commit", self._real.commit)

    def close(self):
        return self._injector.call("close", self._real.close)

    def __getattr__(self, name):
        return getattr(self._real, name)


# ---- the database every run starts from ------------------------------------------------


def build_template(path):
    conn = prepared_connection(path)
    create_homes(conn)
    T.insert_temp(
        conn,
        "homes",
        [
            ("ann", "flat", "1 Elm", 30),
            ("bob", "house", "2 Oak", 41),
            ("cid", "flat", "3 Ash", 25),
            ("dee", "barn", "4 Fir", 52),
            ("eve", "house", "5 Yew", None),
            ("fay", "flat", "6 Elm", 19),
        ],
    )
    T.temp_to_main(conn, "homes")
    # Staged rows: one replaces a main row by unique_0, one by unique_1, two repeat
    # each other, one is new.
    T.insert_temp(
        conn,
        "homes",
        [
            ("ann", "flat", "9 New", 31),
            ("gus", "shed", "2 Oak", 60),
            ("hal", "flat", "7 Elm", 1),
            ("hal", "flat", "8 Elm", 2),
            ("ivy", None, "10 Pine", 33),
        ],
    )
    # A second managed table that only takes part as a bystander.
    T.create_table(conn, "other", ["k", "v"], [{"name": "by_k", "cols": "k"}],
                   [{"name": "uk", "cols": [0]}])
    T.insert_temp(conn, "other", [(1, "x"), (2, "y")])
    T.temp_to_main(conn, "other")
    conn.close()


def snapshot(path):
    """Schema and every row of every table, as a fresh connection sees them."""
    conn = sqlite3.connect(path)
    try:
        schema = sorted(conn.execute("SELECT type, name, tbl_name, sql FROM sqlite_master"))
        data = {}
        for (table,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'"):
            data[table] = sorted(conn.execute(f'SELECT rowid, * FROM "{table}"'), key=repr)
        return schema, data
    finally:
        conn.close()


# ---- the cases ------------------------------------------------------------------------


@dataclass
class Case:
    name: str
    function: Callable[..., Any]
    arguments: Callable[[str], tuple]  # fresh argument objects (conn excluded) for a database
    prepare: Callable[[sqlite3.Connection], None] | None = None
    reads_only: bool = False

    def __str__(self):
        return self.name


def suspend_indexes(conn):
    T.drop_table_index(conn, "homes")


def check_arguments(address):
    """_check_newest_unique for the main row at the given address."""

    def arguments(path):
        conn = sqlite3.connect(path)
        try:
            row = conn.execute("SELECT rowid, * FROM homes WHERE address = ?", (address,)).fetchone()
        finally:
            conn.close()
        reference = (0, row[0])
        return (text("homes"), reference, row, {text("unique_0"): [0, 1], text("unique_1"): [2]},
                [text(c) for c in COLS], text("rowid,name,type,address,age"), {reference})

    return arguments


CASES = [
    Case("insert_index/new", T.insert_index,
         lambda p: ({"table": text("homes"), "name": text("index_2"), "cols": text("type,age")},)),
    Case("insert_index/replace", T.insert_index,
         lambda p: ({"table": text("homes"), "name": text("index_0"), "cols": text("age")},)),
    Case("drop_index", T.drop_index, lambda p: (text("homes"), text("index_0"))),
    Case("active_table_index", T.active_table_index, lambda p: (text("homes"),),
         prepare=suspend_indexes),
    Case("drop_table_index", T.drop_table_index, lambda p: (text("homes"),)),
    Case("insert_unique", T.insert_unique,
         lambda p: (text("homes"), text("unique_2"), text("type,age"), text("1,3"))),
    Case("drop_unique", T.drop_unique, lambda p: (text("homes"), text("unique_0"))),
    Case("create_table/replace", T.create_table,
         lambda p: (text("homes"), [text("col_a"), text("col_b"), text("col_c")],
                    [{"name": text("i_ab"), "cols": text("col_a,col_b")},
                     {"name": text("i_c"), "cols": text("col_c")}],
                    [{"name": text("u_a"), "cols": [0]}, {"name": text("u_bc"), "cols": [1, 2]}])),
    Case("create_table/new", T.create_table,
         lambda p: (text("fresh"), [text("col_a"), text("col_b")],
                    [{"name": text("i_a"), "cols": text("col_a")}],
                    [{"name": text("u_b"), "cols": [1]}])),
    Case("insert_temp", T.insert_temp,
         lambda p: (text("homes"), [("jo", "flat", "11 Elm", 3), ["kim", "hut", "12 Elm", 4],
                                    ("lu", None, None, None)])),
    Case("insert_temp/iterable rows", T.insert_temp,
         lambda p: (text("homes"), [("jo", "flat", "11 Elm", 3), range(4), iter("abcd")])),
    Case("_insert_main", T._insert_main,
         lambda p: (text("homes"), [("jo", "flat", "11 Elm", 3), ("kim", "hut", "12 Elm", 4)])),
    Case("delete_row_main/ids", T.delete_row_main, lambda p: (text("homes"), [1, 3, 99])),
    Case("delete_row_main/items", T.delete_row_main,
         lambda p: (text("homes"), iter([text("2,4"), 5, text(" 6 ")]))),
    Case("temp_to_main", T.temp_to_main, lambda p: (text("homes"),)),
    Case("_merge.merge/prefix", merge, lambda p: (text("homes"), 3, False, [].append)),
    Case("drop_table", T.drop_table, lambda p: (text("homes"),)),
    Case("find/all", T.find, lambda p: (text("*"), text("homes"), text("")), reads_only=True),
    Case("find/conditions", T.find,
         lambda p: (text("age,name"), text("homes"), text("WHERE age > 20 ORDER BY rowid DESC")),
         reads_only=True),
    Case("_check_newest_unique/replaced", T._check_newest_unique, check_arguments("2 Oak"),
         reads_only=True),
    Case("_check_newest_unique/newest", T._check_newest_unique, check_arguments("3 Ash"),
         reads_only=True),
]


@pytest.fixture
def fresh(template, tmp_path):
    """A new copy of the template per call, prepared for the case when it asks for it."""
    counter = iter(range(10**6))

    def make(case=None):
        path = str(tmp_path / f"run{next(counter)}.db")
        shutil.copyfile(template, path)
        if case is not None and case.prepare is not None:
            conn = sqlite3.connect(path)
            case.prepare(conn)
            conn.commit()
            conn.close()
        return path

    return make


def watched(arguments):
    """The argument objects, and what they hold, whose counts must not move."""
    out = []

    def visit(a):
        if isinstance(a, str) and len(a) <= 1:
            return  # shared single characters
        out.append(a)
        if isinstance(a, (list, tuple)):
            for x in a:
                if isinstance(x, (list, tuple, dict, str)):
                    visit(x)
        elif isinstance(a, dict):
            for v in a.values():
                visit(v)

    for a in arguments:
        visit(a)
    return out


def added_keys(arguments):
    """Keys of the argument mappings, to undo what create_table adds to index entries."""
    return [(d, set(d)) for a in arguments if isinstance(a, list) for d in a if isinstance(d, dict)]


def remove_added_keys(keys):
    for mapping, known in keys:
        for key in set(mapping) - known:
            del mapping[key]


def run(case, path, fail_at=None, mode="before"):
    """One call of the case on a wrapped connection; returns what it observed."""
    real = sqlite3.connect(path)
    injector = Injector(fail_at, mode)
    conn = FaultyConnection(real, injector)
    arguments = case.arguments(path)
    objects = watched(arguments)
    keys = added_keys(arguments)
    before = [sys.getrefcount(o) for o in objects]
    result = error = None
    try:
        result = case.function(conn, *arguments)
    except InjectedFault as exc:
        error = exc
    identical = error is not None and error is injector.raised
    chained = error is not None and (error.__context__ is not None or error.__cause__ is not None)
    # Drop the traceback (it holds the wrapper's frames) before counting.
    if error is not None:
        error.__traceback__ = None
    error = None
    injector.raised = None
    remove_added_keys(keys)
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    real.rollback()
    real.close()
    return injector, result, identical, chained, before, after


@pytest.mark.parametrize("case", CASES, ids=str)
def test_every_call_can_fail(case, fresh):
    """Each call kind at each position: the fault propagates and nothing is committed."""
    probe, *_ = run(case, fresh(case))
    expected_calls = probe.calls
    assert expected_calls, "the case makes no call at all"
    assert set(expected_calls) <= set(KINDS)
    problems = []
    injected = 0
    for mode in ("before", "after"):
        for k, kind in enumerate(expected_calls, start=1):
            if mode == "after" and kind in ("cursor", "commit"):
                continue  # a commit that went through is no fault to undo
            path = fresh(case)
            baseline = snapshot(path)
            injector, result, identical, chained, before, after = run(case, path, k, mode)
            injected += 1
            label = f"{mode} {kind} #{k}"
            if injector.calls[:k] != expected_calls[:k]:
                problems.append(f"{label}: the calls before the fault differ")
            if not identical:
                problems.append(f"{label}: the injected exception did not propagate as it was")
            if chained:
                problems.append(f"{label}: the exception came back chained")
            # A reader still releases its read snapshot after a fault.
            cleanup = [[], ["execute"]] if case.reads_only else [[]]
            if injector.calls[k:] not in cleanup or injector.commits_after_fault:
                problems.append(f"{label}: {injector.calls[k:]} called after the fault")
            if before != after:
                problems.append(f"{label}: reference counts {before} -> {after}")
            state = snapshot(path)
            if state != baseline:
                problems.append(f"{label}: committed change {describe(baseline, state)}")
    FIGURES["injected"] += injected
    FIGURES["survived"] += injected - len({p.split(":")[0] for p in problems})
    assert injected >= len(expected_calls)
    assert not problems, f"{case}: " + "\n".join(problems)


FIGURES = {"injected": 0, "survived": 0}


def describe(old, new):
    (old_schema, old_data), (new_schema, new_data) = old, new
    parts = []
    if old_schema != new_schema:
        parts.append(f"schema -{sorted(set(old_schema) - set(new_schema))} "
                     f"+{sorted(set(new_schema) - set(old_schema))}")
    for table in sorted(set(old_data) | set(new_data)):
        if old_data.get(table) != new_data.get(table):
            parts.append(f"rows of {table}")
    return "; ".join(parts)


@pytest.mark.parametrize("case", CASES, ids=str)
def test_unfailing_wrapper_is_transparent(case, fresh):
    """Without a fault the wrapper changes nothing: same result, same committed state."""
    wrapped_path, plain_path = fresh(case), fresh(case)
    baseline = snapshot(wrapped_path)
    injector, wrapped_result, *_ = run(case, wrapped_path)
    plain = sqlite3.connect(plain_path)
    plain_result = case.function(plain, *case.arguments(plain_path))
    plain.rollback()
    plain.close()
    assert wrapped_result == plain_result
    assert snapshot(wrapped_path) == snapshot(plain_path)
    if case.reads_only:
        assert "commit" not in injector.calls
        assert snapshot(wrapped_path) == baseline
    else:
        assert injector.calls[-1] == "commit"
        assert injector.calls.count("commit") == 1
        assert snapshot(wrapped_path) != baseline


@pytest.mark.parametrize("lazy", [False, True])
def test_executemany_rows_reach_the_driver_as_a_list(fresh, lazy):
    """Whatever insert_temp hands to executemany, the wrapper passes on unread."""
    handed, received = [], []

    class Recorder:
        def __init__(self, real):
            self._real = real

        def executemany(self, sql, seq_of_parameters):
            received.append(seq_of_parameters)
            return self._real.executemany(sql, seq_of_parameters)

        def __getattr__(self, name):
            return getattr(self._real, name)

    class Spy(FaultyCursor):
        def executemany(self, sql, seq_of_parameters):
            handed.append(seq_of_parameters)
            return super().executemany(sql, seq_of_parameters)

    real = sqlite3.connect(fresh())
    injector = Injector()
    conn = FaultyConnection(real, injector)
    conn.cursor = lambda: Spy(Recorder(real.cursor()), injector)
    rows = [(1, 2, 3, 4), range(5, 9) if lazy else [5, 6, 7, 8]]
    T.insert_temp(conn, "homes", rows, comm=False)
    # Drivers other than sqlite3 refuse iterators: the rows arrive as a list.
    assert len(handed) == 1 and received[0] is handed[0]
    assert type(handed[0]) is list
    assert real.execute("SELECT * FROM temp_homes WHERE rowid > 5").fetchall() == [
        (1, 2, 3, 4), (5, 6, 7, 8)]
    real.rollback()
    real.close()


@pytest.mark.parametrize("case", [c for c in CASES if not c.reads_only], ids=str)
def test_uncommitted_call_rolls_back_completely(case, fresh):
    """With comm=False a rollback undoes the whole call, schema changes included."""
    path = fresh(case)
    baseline = snapshot(path)
    conn = sqlite3.connect(path)
    case.function(conn, *case.arguments(path), False)
    conn.rollback()
    conn.close()
    state = snapshot(path)
    assert state == baseline, describe(baseline, state)


# ---- siblings that fail -------------------------------------------------------------------


SIBLING_CALLS = [
    ("create_table", "drop_table"),
    ("create_table", "insert_index"),
    ("create_table", "insert_unique"),
    ("insert_unique", "insert_index"),
    ("temp_to_main", "drop_table_index"),
    ("temp_to_main", "delete_row_main"),
    ("temp_to_main", "_insert_main"),
    ("temp_to_main", "active_table_index"),
]


def case_named(name):
    return next(c for c in CASES if c.name.split("/")[0] == name)


@pytest.mark.parametrize("caller,sibling", SIBLING_CALLS)
def test_failing_sibling_propagates(caller, sibling, fresh, monkeypatch):
    case = case_named(caller)
    raised = []

    def failing(**kwargs):
        assert kwargs.get("comm") is False
        raised.append(InjectedFault(f"{sibling} fails"))
        raise raised[-1]

    monkeypatch.setattr(T, sibling, failing)
    path = fresh(case)
    baseline = snapshot(path)
    conn = sqlite3.connect(path)
    with pytest.raises(InjectedFault) as excinfo:
        case.function(conn, *case.arguments(path))
    assert len(raised) == 1 and excinfo.value is raised[0]
    assert excinfo.value.__context__ is None and excinfo.value.__cause__ is None
    conn.rollback()
    conn.close()
    state = snapshot(path)
    assert state == baseline, describe(baseline, state)


# ---- the handle ----------------------------------------------------------------------------


class FakeDriver:
    """Stands in for the sqlite3 module inside tablora.tablora."""

    def __init__(self, injector):
        self.injector = injector
        self.connections = []

    def connect(self, address):
        real = self.injector.call("connect", lambda: sqlite3.connect(address))
        conn = FaultyConnection(real, self.injector)
        self.connections.append(real)
        return conn


def test_handle_faults(tmp_path, monkeypatch):
    """DB(name, address): a failing connect, cursor, statement, commit or close propagates.

    The handle is registered before the database is opened, so it stays registered;
    the catalogue is complete only when the commit went through.
    """
    probe = Injector()
    monkeypatch.setattr(T, "sqlite3", FakeDriver(probe))
    T.DB(f"probe-{uuid.uuid4()}", str(tmp_path / "probe.db"))
    calls = probe.calls
    assert calls[0] == "connect" and calls[-2:] == ["commit", "close"]
    for k in range(1, len(calls) + 1):
        path = str(tmp_path / f"h{k}.db")
        injector = Injector(k)
        driver = FakeDriver(injector)
        monkeypatch.setattr(T, "sqlite3", driver)
        name = f"h-{uuid.uuid4()}"
        with pytest.raises(InjectedFault) as excinfo:
            T.DB(name, path)
        label = f"{calls[k - 1]} #{k}"
        assert excinfo.value is injector.raised, label
        assert excinfo.value.__context__ is None, label
        assert len(injector.calls) == k, label
        assert injector.commits_after_fault == 0, label
        registered = __import__("tablora.tablora_state").tablora_state.DB_dict[name]
        assert (registered.name, registered.address) == (name, path), label
        monkeypatch.setattr(T, "sqlite3", sqlite3)
        for conn in driver.connections:
            conn.close()
        check = sqlite3.connect(path)
        tables = {n for (n,) in check.execute("SELECT name FROM sqlite_master")}
        check.close()
        if calls[k - 1] == "close":
            assert tables == {"index_table", "unique_table"}, label
        else:
            assert tables <= {"index_table", "unique_table"}, label


def test_connection_fault(tmp_path, monkeypatch):
    handle = T.DB(f"c-{uuid.uuid4()}", str(tmp_path / "c.db"))
    injector = Injector(1)
    monkeypatch.setattr(T, "sqlite3", FakeDriver(injector))
    with pytest.raises(InjectedFault) as excinfo:
        handle.connection()
    assert excinfo.value is injector.raised


def test_fault_figures():
    """Collected last: how many faults were injected, and how many left nothing wrong."""
    print(f"\nfault injection: {FIGURES['injected']} faults injected, "
          f"{FIGURES['survived']} with the exception intact, no commit after it, "
          f"flat reference counts and the database as it was")
    assert FIGURES["injected"] == 0 or FIGURES["injected"] >= 2 * len(CASES)
