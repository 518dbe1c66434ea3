"""The module's surface and the database handle DB with its registry."""

import builtins
import importlib
import inspect
import os
import sqlite3
import subprocess
import sys
import textwrap
import types

import pytest

import tablora.tablora as T
import tablora.tablora_state as state
from support import CREATE_INDEX_TABLE, CREATE_UNIQUE_TABLE


# The module-level functions in binding order; their signatures and docstrings are
# checked against the stub and the API reference in test_docs.py.
FUNCTIONS = [
    name for name, value in vars(T).items() if isinstance(value, types.BuiltinFunctionType)
]


def reference(name):
    """A plain Python function with the same name and parameters."""
    namespace = {}
    exec(f"def {name}{inspect.signature(getattr(T, name))}: pass", namespace)
    return namespace[name]


# What the interpreter says for a plain class with DB's two methods.
_namespace = {}
exec(
    "class DB:\n"
    "    def __init__(self, name, address): pass\n"
    "    def connection(self): pass\n",
    _namespace,
)
ReferenceDB = _namespace["DB"]


@pytest.fixture
def registry(monkeypatch):
    """A fresh, empty DB_dict for the test (the handle fetches it at every construction)."""
    fresh = {}
    monkeypatch.setattr(state, "DB_dict", fresh)
    return fresh


def tables(path):
    with sqlite3.connect(path) as c:
        found = c.execute("SELECT type, name FROM sqlite_master ORDER BY name").fetchall()
    c.close()
    return found


# --- the module ------------------------------------------------------------------------


def test_names_are_bound_in_order():
    from tablora import _surface

    own = [name for name in vars(T) if not name.startswith("__")]
    assert own == ["tablora_state", "sqlite3", "DB", *FUNCTIONS]
    assert FUNCTIONS == list(_surface.FUNCTIONS)  # the functions the extension declares


def test_catalogue_definitions_are_the_stored_format():
    """The one declaration the package's Python code and the tests read them from."""
    from tablora import _catalogue

    assert _catalogue.TABLES == (
        "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)",
        "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)",
    )


def test_catalogue_module_reads_names_and_rules_as_the_library_does(conn, homes):
    from tablora import _catalogue

    assert _catalogue.rule_positions(conn, "HOMES") == {"unique_0": [0, 1], "unique_1": [2]}
    assert _catalogue.staging_name(5) == "temp_5"
    assert _catalogue.index_name("homes", "index_0") == "homes_index_0"
    fresh = sqlite3.connect(":memory:")
    _catalogue.prepare(fresh)
    assert not fresh.in_transaction
    assert fresh.execute("SELECT name FROM sqlite_master").fetchall() == [
        ("index_table",), ("unique_table",)]
    fresh.close()


def test_state_module_and_driver_are_bound():
    assert T.tablora_state is sys.modules["tablora.tablora_state"] is state
    assert T.sqlite3 is sqlite3
    assert isinstance(state.DB_dict, dict)


def test_db_is_a_plain_class():
    assert type(T.DB) is type
    assert T.DB.__mro__ == (T.DB, object)
    assert T.DB.__doc__ is None
    assert T.DB.__qualname__ == T.DB.__name__ == "DB"
    assert T.DB.__module__ == "tablora.tablora"
    assert set(vars(T.DB)) == {
        "__module__", "__doc__", "__dict__", "__weakref__", "__init__", "connection"
    }


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_names_module_and_docstring(name):
    function = getattr(T, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "tablora.tablora"
    assert function.__self__ is T
    assert (function.__doc__ is None) == name.startswith("_")


def test_db_signatures(db):
    assert str(inspect.signature(T.DB)) == "(name, address)"
    assert str(inspect.signature(T.DB.__init__)) == "(self, name, address)"
    assert str(inspect.signature(T.DB.connection)) == "(self)"
    assert str(inspect.signature(db.connection)) == "()"


@pytest.mark.parametrize(
    "name, words",
    [
        ("create_table", ["homes", "name", "type", "address", "age", "index_0", "index_1",
                          "name,type,address", "unique_0", "unique_1"]),
        ("insert_index", ["homes", "index_0", "name,type,address"]),
    ],
)
def test_docstring_examples(name, words):
    doc = getattr(T, name).__doc__
    assert all(word in doc for word in words)


BAD_CALLS = {
    "nothing": lambda f, conn, n: f(),
    "conn-only": lambda f, conn, n: f(conn),
    "surplus": lambda f, conn, n: f(conn, *[None] * n),
    "unknown-keyword": lambda f, conn, n: f(conn, bogus=1),
    "twice": lambda f, conn, n: f(conn, conn=conn),
    "keyword-comm-only": lambda f, conn, n: f(conn, comm=False),
    "keywords-missing-middle": lambda f, conn, n: f(conn=conn, comm=True),
}


def outcome(call):
    try:
        call()
    except Exception as error:  # the reference and the module must agree
        return type(error), str(error)
    return None


@pytest.mark.parametrize("shape", list(BAD_CALLS))
def test_argument_errors_match_the_interpreter_and_run_nothing(conn, trace, shape):
    call = BAD_CALLS[shape]
    mismatches = []
    for name in FUNCTIONS:
        n = len(inspect.signature(reference(name)).parameters)
        expected = outcome(lambda: call(reference(name), conn, n))
        assert expected is not None and expected[0] is TypeError
        got = outcome(lambda: call(getattr(T, name), conn, n))
        if got != expected:
            mismatches.append((name, got, expected))
    assert mismatches == []
    assert trace.statements == []
    assert not conn.in_transaction


@pytest.mark.parametrize(
    "call",
    [
        lambda C: C(),
        lambda C: C("n"),
        lambda C: C("n", ":memory:", "extra"),
        lambda C: C("n", name="m", address=":memory:"),
        lambda C: C("n", ":memory:", bogus=1),
        lambda C: C.connection(),
        lambda C: C.connection(object(), 1),
    ],
    ids=["none", "one", "surplus", "twice", "unknown", "connection-unbound", "connection-surplus"],
)
def test_db_argument_errors_match_the_interpreter(registry, call):
    assert outcome(lambda: call(T.DB)) == outcome(lambda: call(ReferenceDB))
    assert registry == {}


def test_import_again_and_reload_give_the_same_module(registry):
    db_class, create_table = T.DB, T.create_table
    assert importlib.import_module("tablora.tablora") is T
    assert importlib.reload(T) is T
    assert T.DB is db_class and T.create_table is create_table
    T.DB("after-reload", ":memory:")
    assert list(registry) == ["after-reload"]


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=60, check=False,
    )


def test_second_initialisation_is_refused():
    done = run_python(
        """
        import importlib, sys
        import tablora.tablora as first
        del sys.modules["tablora.tablora"]
        try:
            importlib.import_module("tablora.tablora")
        except RuntimeError as error:
            print(repr(str(error)))
        first.DB("still-works", ":memory:").connection().close()
        print(sorted(first.tablora_state.DB_dict))
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        repr("Module 'tablora' has already been imported. Re-initialisation is not supported."),
        "['still-works']",
    ]


def test_loading_into_a_second_interpreter_is_refused():
    done = run_python(
        """
        import _interpreters
        import tablora.tablora
        interp = _interpreters.create("legacy")
        failure = _interpreters.run_string(interp, "import tablora.tablora")
        _interpreters.destroy(interp)
        print(failure.type.__name__)
        print(failure.msg)
        tablora.tablora.DB("still-works", ":memory:").connection().close()
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter per "
        "process.",
    ]


# --- the handle ------------------------------------------------------------------------


def test_new_database_gets_both_empty_catalogue_tables(registry, tmp_path):
    path = str(tmp_path / "fresh.db")
    handle = T.DB("fresh", path)
    assert registry == {"fresh": handle}
    assert (handle.name, handle.address) == ("fresh", path)
    assert vars(handle) == {"name": "fresh", "address": path}
    assert tables(path) == [("table", "index_table"), ("table", "unique_table")]
    with sqlite3.connect(path) as c:
        assert c.execute("SELECT count(*) FROM index_table").fetchone() == (0,)
        assert c.execute("SELECT count(*) FROM unique_table").fetchone() == (0,)
        cols = [r[1] for r in c.execute("PRAGMA table_info(unique_table)")]
        assert cols == ["table_name", "unique_name", "columns", "col_num"]
        assert c.execute("PRAGMA journal_mode").fetchone() == ("delete",)
    c.close()


def test_initialiser_returns_none(registry, tmp_path):
    handle = T.DB.__new__(T.DB)
    assert T.DB.__init__(handle, "direct", str(tmp_path / "d.db")) is None
    assert registry["direct"] is handle


def test_setup_connection_statements_and_calls(registry, tmp_path, monkeypatch):
    events = []

    class Recording(sqlite3.Connection):
        def cursor(self, *args):
            events.append("cursor")
            return super().cursor(*args)

        def commit(self):
            events.append("commit")
            super().commit()

        def close(self):
            events.append("close")
            super().close()

    def connect(*args, **kwargs):
        # what the registry holds at the moment the database is opened
        events.append(("connect", args, kwargs, {k: dict(vars(v)) for k, v in registry.items()}))
        connection = sqlite3.connect(*args, factory=Recording, **kwargs)
        connection.set_trace_callback(events.append)
        return connection

    monkeypatch.setattr(T, "sqlite3", types.SimpleNamespace(connect=connect))
    path = str(tmp_path / "p.db")
    handle = T.DB("prc", path)
    assert events == [
        ("connect", (path,), {}, {"prc": {"name": "prc", "address": path}}),
        "cursor",
        "PRAGMA journal_mode=JOURNAL;",
        CREATE_INDEX_TABLE,
        CREATE_UNIQUE_TABLE,
        "commit",
        "close",
    ]
    events.clear()
    opened = handle.connection()
    assert events == [("connect", (path,), {}, {"prc": {"name": "prc", "address": path}})]
    assert isinstance(opened, Recording)
    opened.close()


def test_duplicate_name_prints_and_yields_an_empty_object(registry, tmp_path, capsys):
    first = T.DB("homes-db", str(tmp_path / "a.db"))
    capsys.readouterr()
    elsewhere = tmp_path / "b.db"
    second = T.DB("homes-db", str(elsewhere))
    assert capsys.readouterr().out == "DB homes-db exists!\n"
    assert registry == {"homes-db": first}
    assert not hasattr(second, "name") and not hasattr(second, "address")
    assert vars(second) == {}
    assert not elsewhere.exists()
    with pytest.raises(AttributeError):
        second.connection()


def test_integer_name_is_printed_in_digits_and_differs_from_text(registry, tmp_path, capsys):
    seven = T.DB(7, str(tmp_path / "a.db"))
    text_seven = T.DB("7", str(tmp_path / "b.db"))
    assert capsys.readouterr().out == ""
    assert registry == {7: seven, "7": text_seven}
    assert seven.name == 7 and text_seven.name == "7"
    T.DB(7, str(tmp_path / "c.db"))
    T.DB("7", str(tmp_path / "c.db"))
    assert capsys.readouterr().out == "DB 7 exists!\nDB 7 exists!\n"
    assert not (tmp_path / "c.db").exists()


def test_any_hashable_name_and_address_are_kept_unchanged(registry, tmp_path, capsys):
    name = ("homes", 1)
    address = tmp_path / "path.db"  # the driver also takes a path object
    handle = T.DB(name, address)
    assert handle.name is name and handle.address is address
    assert registry[("homes", 1)] is handle
    T.DB(("homes", 1), address)
    assert capsys.readouterr().out == "DB ('homes', 1) exists!\n"


def test_unhashable_name_is_refused_before_anything(registry, tmp_path):
    handle = T.DB.__new__(T.DB)
    with pytest.raises(TypeError):
        handle.__init__(["homes"], str(tmp_path / "x.db"))
    assert registry == {}
    assert vars(handle) == {}
    assert not (tmp_path / "x.db").exists()


def test_print_is_resolved_once_at_import(registry, tmp_path, capsys, monkeypatch):
    T.DB("once", str(tmp_path / "a.db"))

    def broken(*args, **kwargs):
        raise AssertionError("print looked up at call time")

    monkeypatch.setattr(builtins, "print", broken)
    T.DB("once", str(tmp_path / "a.db"))
    monkeypatch.undo()
    assert capsys.readouterr().out == "DB once exists!\n"


def test_registry_is_fetched_at_every_construction(tmp_path, monkeypatch, capsys):
    first = {}
    monkeypatch.setattr(state, "DB_dict", first)
    one = T.DB("same", str(tmp_path / "a.db"))
    second = {}
    monkeypatch.setattr(state, "DB_dict", second)
    two = T.DB("same", str(tmp_path / "a.db"))
    assert capsys.readouterr().out == ""
    assert first == {"same": one} and second == {"same": two}


def test_same_address_under_two_names_keeps_the_catalogue(conn, homes, db, registry, capsys):
    both = ("index_table", "unique_table")
    before = [conn.execute(f"SELECT * FROM {t}").fetchall() for t in both]
    assert before[0] and before[1]
    again = T.DB("second-name", db.address)
    assert capsys.readouterr().out == ""
    assert registry == {"second-name": again}
    other = again.connection()
    after = [other.execute(f"SELECT * FROM {t}").fetchall() for t in both]
    other.close()
    assert after == before


def test_existing_database_keeps_write_ahead_mode(registry, tmp_path):
    path = str(tmp_path / "wal.db")
    setup = sqlite3.connect(path)
    assert setup.execute("PRAGMA journal_mode=WAL").fetchone() == ("wal",)
    setup.execute("CREATE TABLE index_table (table_name, index_name, columns)")
    setup.execute("INSERT INTO index_table VALUES ('t', 'i', 'c')")
    setup.commit()
    setup.close()
    handle = T.DB("wal", path)
    c = handle.connection()
    assert c.execute("PRAGMA journal_mode").fetchone() == ("wal",)
    assert c.execute("SELECT * FROM index_table").fetchall() == [("t", "i", "c")]
    assert c.execute("SELECT count(*) FROM unique_table").fetchone() == (0,)
    c.close()


def test_memory_address_gives_every_connection_its_own_empty_database(registry):
    handle = T.DB("mem", ":memory:")
    first, second = handle.connection(), handle.connection()
    assert first is not second
    assert first.execute("SELECT * FROM sqlite_master").fetchall() == []
    first.execute("CREATE TABLE only_here (a)")
    assert second.execute("SELECT * FROM sqlite_master").fetchall() == []
    first.close()
    second.close()


def test_failed_connect_leaves_the_name_registered(registry, tmp_path, capsys):
    bad = str(tmp_path / "no-such-dir" / "x.db")
    with pytest.raises(sqlite3.OperationalError):
        T.DB("broken", bad)
    handle = registry["broken"]
    assert (handle.name, handle.address) == ("broken", bad)
    good = tmp_path / "good.db"
    retry = T.DB("broken", str(good))
    assert capsys.readouterr().out == "DB broken exists!\n"
    assert not hasattr(retry, "address")
    assert registry == {"broken": handle}
    assert not good.exists()
    with pytest.raises(sqlite3.OperationalError):
        handle.connection()


def test_two_connections_are_distinct_and_see_one_file(db):
    first, second = db.connection(), db.connection()
    try:
        assert isinstance(first, sqlite3.Connection) and first is not second
        assert not first.in_transaction
        first.execute("CREATE TABLE shared (a)")
        first.execute("INSERT INTO shared VALUES (1)")
        assert second.execute("SELECT * FROM sqlite_master WHERE name = 'shared'").fetchall() != []
        assert second.execute("SELECT * FROM shared").fetchall() == []  # not yet committed
        first.commit()
        first.close()
        assert second.execute("SELECT * FROM shared").fetchall() == [(1,)]
    finally:
        second.close()


def test_handle_keeps_no_connection(db):
    c = db.connection()
    c.close()
    assert vars(db) == {"name": db.name, "address": db.address}
    assert os.path.exists(db.address)
