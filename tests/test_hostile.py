"""Hostile and malformed input: every function, every argument position.

Arguments are drawn from valid values and from values meant to break the
library: None, bytes, floats, huge integers, objects whose conversions raise,
objects that empty their own container while the library reads it,
generators, mappings without the expected keys, and names built from quotes,
semicolons, comment markers, NUL and lone surrogates. Whatever comes in, the
call either raises an ordinary Python exception or returns a result of the
right shape; it never crashes the interpreter, never raises SystemError (the
sign of a broken C-API contract), and never touches the rows, the staged rows,
the indexes or the catalogue entries of a bystander table: not in the open
transaction, not after a rollback, not as a second connection sees the file.
"""

import os
import shutil
import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tablora.tablora as T
from support import HOMES_COLS, create_homes, prepared_connection

BYSTANDER = "bystander"
# More examples for a longer hunt: TABLORA_HOSTILE_EXAMPLES=2000.
EXAMPLES = int(os.environ.get("TABLORA_HOSTILE_EXAMPLES", "120"))
TRIED = {"calls": 0, "raised": 0}


# ---- hostile objects -------------------------------------------------------------


class Hostile(Exception):
    """What the hostile objects raise."""


class Refusing:
    """Raises from the chosen special methods; behaves plainly otherwise."""

    def __init__(self, *methods, value="age"):
        self.methods = set(methods)
        self.value = value

    def _check(self, method):
        if method in self.methods:
            raise Hostile(method)

    def __format__(self, format_spec):
        self._check("format")
        return format(self.value, format_spec)

    def __str__(self):
        self._check("str")
        return str(self.value)

    def __repr__(self):
        return f"Refusing{sorted(self.methods)}"

    def __iter__(self):
        self._check("iter")
        return iter([self.value])

    def __len__(self):
        self._check("len")
        return 1

    def __getitem__(self, key):
        self._check("getitem")
        return self.value

    def __eq__(self, other):
        self._check("eq")
        return self is other

    def __hash__(self):
        self._check("hash")
        return id(self)

    def __index__(self):
        self._check("index")
        return 0

    def __bool__(self):
        self._check("bool")
        return True


METHODS = ["format", "str", "iter", "len", "getitem", "eq", "hash", "index", "bool"]


class Emptying:
    """Empties the container it sits in as soon as the library looks at it."""

    def __init__(self, value="age"):
        self.container = None
        self.value = value

    def _empty(self):
        if self.container is not None:
            self.container.clear()

    def __format__(self, format_spec):
        self._empty()
        return format(self.value, format_spec)

    def __len__(self):
        self._empty()
        return 1

    def __iter__(self):
        self._empty()
        return iter([self.value])

    def __getitem__(self, key):
        self._empty()
        return self.value

    def __eq__(self, other):
        self._empty()
        return False

    def __hash__(self):
        self._empty()
        return 1


def emptying_list(items):
    """A list whose last member empties it when touched."""
    trap = Emptying()
    out = list(items) + [trap]
    trap.container = out
    return out


class ForgetfulDict(dict):
    """A mapping that drops its keys once read, and refuses new ones."""

    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        self.clear()
        return value

    def __setitem__(self, key, value):
        raise Hostile("read-only entry")


# ---- strategies ---------------------------------------------------------------------

FRAGMENTS = [
    "homes", "temp_", "x", "'", '"', ";", "--", "/*", "*/", "\x00", "\ud800", "\udfff", " ",
    ",", "(", ")", "`", "[", "]", "\n", "?", ":p", "$p", "%s", "{}", "é", "\U0001f600",
    "DROP TABLE x", "DELETE FROM x", " OR 1=1", "' OR '1'='1", "); DROP TABLE homes; --",
    "UNION SELECT 1", "*", "rowid", "name", "1,2",
]

names = st.one_of(
    st.lists(st.sampled_from(FRAGMENTS), max_size=5).map("".join),
    st.text(max_size=12),
).filter(lambda s: BYSTANDER not in s.lower())

refusing = st.builds(lambda ms: Refusing(*ms), st.sets(st.sampled_from(METHODS), min_size=1))

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([2**63, -(2**63) - 1, 2**64, 10**30]),
    st.floats(allow_nan=True, allow_infinity=True), st.binary(max_size=8), names,
)

hostile = st.deferred(lambda: st.one_of(
    scalars,
    refusing,
    st.builds(Emptying),
    st.builds(object),
    st.lists(scalars, max_size=4),
    st.tuples(scalars, scalars),
    st.dictionaries(st.sampled_from(["table", "name", "cols", "x"]), scalars, max_size=3),
    st.builds(lambda xs: (x for x in xs), st.lists(scalars, max_size=3)),
    st.builds(emptying_list, st.lists(scalars, max_size=3)),
    st.frozensets(st.integers(-3, 3), max_size=3),
))


def arg(valid):
    """A position: its valid value or anything hostile."""
    return st.one_of(st.just(valid), hostile) if not callable(valid) else st.one_of(
        st.builds(valid), hostile)


CONN = object()  # stands for the connection until the call
conns = st.one_of(st.just(CONN), st.just(CONN), st.just(CONN), hostile)

index_entries = st.one_of(
    st.builds(lambda: {"table": "homes", "name": "ix", "cols": "age"}),
    st.builds(lambda t, n, c: {"table": t, "name": n, "cols": c}, arg("homes"), arg("ix"),
              arg("age")),
    st.builds(lambda d: ForgetfulDict(d), st.just({"table": "homes", "name": "ix", "cols": "age"})),
    hostile,
)
create_index = st.one_of(
    st.builds(lambda n, c: [{"name": n, "cols": c}], arg("i"), arg("a")),
    st.builds(lambda: [ForgetfulDict({"name": "i", "cols": "a"})]),
    st.builds(lambda n, c: emptying_list([{"name": n, "cols": c}]), arg("i"), arg("a")),
    hostile,
)
create_unique = st.one_of(
    st.builds(lambda n, c: [{"name": n, "cols": c}], arg("u"), arg([0])),
    st.builds(lambda n, c: [{"name": n, "cols": c}], arg("u"),
              st.lists(st.one_of(st.integers(-4, 4), hostile), max_size=3)),
    st.builds(lambda: [{"name": "u", "cols": emptying_list([0])}]),
    hostile,
)
rows = st.one_of(
    st.builds(lambda vs: [tuple(vs)], st.lists(scalars, min_size=4, max_size=4)),
    st.lists(st.one_of(st.lists(scalars, min_size=4, max_size=4).map(tuple), hostile),
             min_size=1, max_size=3),
    st.builds(emptying_list, st.just([("a", "b", "c", 1)])),
    hostile,
)
ids = st.one_of(
    st.lists(st.one_of(st.integers(-2, 50), hostile), max_size=4),
    st.builds(emptying_list, st.just([1, 2])),
    st.builds(lambda xs: iter(xs), st.lists(st.one_of(st.integers(0, 9), names), max_size=3)),
    hostile,
)
uniques = st.one_of(
    st.just({"unique_0": [0, 1], "unique_1": [2]}),
    st.dictionaries(names, st.one_of(st.lists(st.one_of(st.integers(-5, 5), hostile),
                                              max_size=3), hostile), max_size=2),
    hostile,
)

CALLS = {
    "insert_index": (T.insert_index, [conns, index_entries, arg(True)]),
    "drop_index": (T.drop_index, [conns, arg("homes"), arg("index_0"), arg(True)]),
    "active_table_index": (T.active_table_index, [conns, arg("homes"), arg(True)]),
    "drop_table_index": (T.drop_table_index, [conns, arg("homes"), arg(True)]),
    "insert_unique": (T.insert_unique, [conns, arg("homes"), arg("u9"), arg("type"), arg("1"),
                                        arg(True)]),
    "drop_unique": (T.drop_unique, [conns, arg("homes"), arg("unique_0"), arg(True)]),
    "create_table": (T.create_table, [conns, arg("fresh"), arg(lambda: ["a", "b"]), create_index,
                                      create_unique, arg(True)]),
    "insert_temp": (T.insert_temp, [conns, arg("homes"), rows, arg(True)]),
    "_insert_main": (T._insert_main, [conns, arg("homes"), rows, arg(True)]),
    "delete_row_main": (T.delete_row_main, [conns, arg("homes"), ids, arg(True)]),
    "temp_to_main": (T.temp_to_main, [conns, arg("homes"), arg(True)]),
    "drop_table": (T.drop_table, [conns, arg("homes"), arg(True)]),
    "find": (T.find, [conns, arg("*"), arg("homes"), arg("")]),
    "_check_newest_unique": (T._check_newest_unique, [
        conns, arg("homes"), arg((0, 1)), arg(lambda: (1, "ann", "flat", "1 Elm", 30)), uniques,
        arg(lambda: list(HOMES_COLS)), arg("rowid,name,type,address,age"), arg(lambda: {(0, 1)})]),
}


# ---- the database -------------------------------------------------------------------


def build_template(path):
    conn = prepared_connection(path)
    for table in ("homes", BYSTANDER):
        create_homes(conn, table)
        T.insert_temp(conn, table, [("ann", "flat", "1 Elm", 30), ("bob", "house", "2 Oak", 41),
                                    ("cid", None, "3 Ash", None)])
        T.temp_to_main(conn, table)
        T.insert_temp(conn, table, [("ann", "flat", "9 New", 31), ("dee", "barn", "2 Oak", 5)])
    conn.close()


def bystander(conn):
    """Everything of the bystander table that the library could reach."""
    return (
        conn.execute(f"SELECT rowid, * FROM {BYSTANDER} ORDER BY rowid").fetchall(),
        conn.execute(f"SELECT rowid, * FROM temp_{BYSTANDER} ORDER BY rowid").fetchall(),
        sorted(conn.execute("SELECT * FROM index_table WHERE table_name = ?", (BYSTANDER,))),
        sorted(conn.execute("SELECT * FROM unique_table WHERE table_name = ?", (BYSTANDER,))),
        sorted(conn.execute("SELECT type, name, sql FROM sqlite_master WHERE tbl_name IN (?, ?)",
                            (BYSTANDER, f"temp_{BYSTANDER}"))),
    )


def check_result(name, result):
    if name == "find":
        assert isinstance(result, list) and all(isinstance(r, list) for r in result)
    elif name == "_check_newest_unique":
        assert isinstance(result, tuple) and len(result) == 2 and isinstance(result[0], bool)
        assert (result[1] is None) != result[0]
    else:
        assert result is None


@pytest.mark.parametrize("name", sorted(CALLS))
def test_hostile_arguments(name, template, tmp_path):
    function, positions = CALLS[name]
    path = str(tmp_path / "h.db")
    shutil.copyfile(template, path)
    with sqlite3.connect(path) as first:
        expected = bystander(first)
    first.close()

    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                     HealthCheck.filter_too_much, HealthCheck.data_too_large])
    @given(st.tuples(*positions))
    def check(arguments):
        shutil.copyfile(template, path)
        conn = sqlite3.connect(path)
        try:
            call = [conn if a is CONN else a for a in arguments]
            TRIED["calls"] += 1
            try:
                result = function(*call)
            except SystemError:
                raise
            except Exception:
                TRIED["raised"] += 1
            else:
                check_result(name, result)
            assert bystander(conn) == expected, "changed within the open transaction"
            conn.rollback()
            assert bystander(conn) == expected, "changed after a rollback"
        finally:
            conn.close()
        other = sqlite3.connect(path)
        try:
            assert bystander(other) == expected, "changed as a second connection sees it"
            assert other.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        finally:
            other.close()

    check()


NO_TEXT = Refusing("format")

# The first failure of a call is the one the caller gets: nothing may run on
# with an exception already set (that ends in SystemError, or worse).
FIRST_FAILURE = [
    ("active_table_index", lambda c: T.active_table_index(None, None), AttributeError),
    ("drop_table", lambda c: T.drop_table(None, None), AttributeError),
    ("drop_unique", lambda c: T.drop_unique(c, NO_TEXT, None), Hostile),
    ("insert_unique", lambda c: T.insert_unique(c, NO_TEXT, None, "a", "0"), Hostile),
    ("drop_index", lambda c: T.drop_index(c, NO_TEXT, None), Hostile),
    ("insert_index", lambda c: T.insert_index(c, {"table": NO_TEXT, "name": None, "cols": "a"}),
     Hostile),
    ("temp_to_main", lambda c: T.temp_to_main(c, NO_TEXT), Hostile),
    ("find", lambda c: T.find(c, "*", NO_TEXT, None), Hostile),
]


@pytest.mark.parametrize("name,call,expected", FIRST_FAILURE, ids=[f[0] for f in FIRST_FAILURE])
def test_first_failure_propagates(name, call, expected, template, tmp_path):
    path = str(tmp_path / "f.db")
    shutil.copyfile(template, path)
    conn = sqlite3.connect(path)
    try:
        with pytest.raises(expected):
            call(conn)
    finally:
        conn.close()


def test_hostile_figures():
    """Collected last: the number of inputs tried, and none of them went unanswered."""
    print(f"\nhostile input: {TRIED['calls']} calls, {TRIED['raised']} raised an exception")
    assert TRIED["calls"] == 0 or TRIED["calls"] >= EXAMPLES
