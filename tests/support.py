"""Helpers the tests share: the homes table, prepared connections, a statement trace,
connection spies, row readers."""

import contextlib
import re
import sqlite3
import uuid

import tablora.tablora as T
from tablora import _catalogue

# homes: name, type, address, age; unique_0 over (name, type), unique_1 over (address).
HOMES_COLS = ["name", "type", "address", "age"]
HOMES_SQL_INDEXES = ["homes_index_0", "homes_index_1", "homes_unique_0", "homes_unique_1"]
# The catalogue's definitions, as the extension declares them (test_handle pins their text).
CREATE_INDEX_TABLE, CREATE_UNIQUE_TABLE = _catalogue.TABLES
# (comm, whether the call commits): only a value equal to True commits.
COMM_COMMITS = [(True, True), (1, True), (1.0, True), (False, False), (0, False),
                (None, False), (2, False), ("x", False)]


def homes_index():
    return [
        {"name": "index_0", "cols": "name,type,address"},
        {"name": "index_1", "cols": "age"},
    ]


def homes_unique():
    return [{"name": "unique_0", "cols": [0, 1]}, {"name": "unique_1", "cols": [2]}]


def prepared_connection(path):
    """A plain sqlite3 connection to the file `path`, its catalogue prepared by a handle
    registered under a name of its own."""
    T.DB(f"prepared-{uuid.uuid4()}", path)
    return sqlite3.connect(path)


def create_homes(conn, table="homes"):
    """The table of the docstring example: two indexes and two unique rules."""
    T.create_table(conn, table, list(HOMES_COLS), homes_index(), homes_unique())


def text(s):
    """A text object of its own, so its reference count is the caller's alone."""
    return "".join(list(s))


# ---- writing rows -------------------------------------------------------------------


def _insert(conn, table, values, comm):
    if values:
        marks = ",".join("?" * len(values[0]))
        conn.executemany(f"INSERT INTO {table} VALUES ({marks})", values)
    if comm:
        conn.commit()


def stage(conn, *values, table="homes", comm=True):
    """Staged rows, committed unless `comm` is false."""
    _insert(conn, f"temp_{table}", values, comm)


def settle(conn, *values, table="homes"):
    """Main rows, committed, with row ids following the existing ones."""
    _insert(conn, table, values, True)


def put(conn, ref, values, table="homes"):
    """One committed row under a chosen reference: (1, rowid) staged, (0, rowid) main."""
    target = f"temp_{table}" if ref[0] == 1 else table
    marks = ",".join("?" * len(values))
    conn.execute(f"INSERT INTO {target} (rowid,{','.join(HOMES_COLS)}) VALUES (?,{marks})",
                 (ref[1], *values))
    conn.commit()


# ---- reading back -------------------------------------------------------------------


def rows(conn, table, order="rowid"):
    """Every row with its row id first."""
    return conn.execute(f"SELECT rowid,* FROM {table} ORDER BY {order}").fetchall()


def typed(found):
    """Rows with each value paired with its storage class, so that 1 and 1.0 differ."""
    return [tuple((type(v).__name__, v) for v in row) for row in found]


def columns_of(conn, table):
    return [r[1] for r in conn.execute(f"PRAGMA table_info({table})")]


def sql_indexes(conn, table):
    return sorted(
        name
        for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (table,)
        )
    )


def index_columns(conn, sql_name):
    return [r[2] for r in conn.execute(f"PRAGMA index_info({sql_name})")]


def catalogue(conn, which, table=None):
    sql = f"SELECT * FROM {which}" + (" WHERE table_name = ?" if table is not None else "")
    return sorted(conn.execute(sql, () if table is None else (table,)).fetchall(), key=repr)


def committed(other_conn, sql):
    """What a second connection sees."""
    return other_conn.execute(sql).fetchall()


# ---- watching a connection ----------------------------------------------------------


# The brackets of the merge's write transaction and of find's read snapshot;
# tests/test_connections.py pins them, the other tests look past them.
SNAPSHOT_BRACKETS = (
    "BEGIN IMMEDIATE",
    "SAVEPOINT tablora_find",
    "RELEASE tablora_find",
    "SAVEPOINT tablora_merge",
    "RELEASE tablora_merge",
)


class Trace:
    """Statements a connection sends, with every run of blanks collapsed."""

    def __init__(self, conn, brackets=False):
        self.statements = []
        self.brackets = brackets
        conn.set_trace_callback(self._record)

    def _record(self, sql):
        statement = re.sub(r"\s+", " ", sql).strip()
        if self.brackets or statement not in SNAPSHOT_BRACKETS:
            self.statements.append(statement)

    def clear(self):
        self.statements.clear()

    def without_transactions(self):
        return [s for s in self.statements if s not in ("BEGIN", "COMMIT", "ROLLBACK")]

    def __iter__(self):
        return iter(self.statements)

    def __len__(self):
        return len(self.statements)


class CountingConnection:
    """Duck-typed connection that counts cursor() and commit() calls."""

    def __init__(self, conn):
        self.conn = conn
        self.cursors = 0
        self.commits = 0

    def cursor(self):
        self.cursors += 1
        return self.conn.cursor()

    def commit(self):
        self.commits += 1
        self.conn.commit()


class Named:
    """A name that is not text; its text form is `text`."""

    def __init__(self, text):
        self.text = text

    def __format__(self, format_spec):
        return self.text


# ---- the catalogue's statements -----------------------------------------------------


def same_table(table):
    """How the catalogue's statements match a row's table name: in any ASCII letter case."""
    return f"table_name = '{table}' COLLATE NOCASE"


def index_statements(table, name, cols):
    """What insert_index sends to register index `name` over `cols` on `table`."""
    return [
        CREATE_INDEX_TABLE,
        f"DELETE FROM index_table where {same_table(table)} AND index_name = '{name}'",
        f"DROP INDEX if exists {table}_{name}",
        f"CREATE INDEX if not exists {table}_{name} ON {table} ({cols})",
        f"INSERT INTO index_table Values ('{table}','{name}','{cols}')",
    ]


def unique_statements(table, name, cols, nums):
    """What insert_unique sends to record rule `name` with its supporting index."""
    return [
        CREATE_UNIQUE_TABLE,
        f"DELETE FROM unique_table where {same_table(table)} AND unique_name = '{name}'",
        f"INSERT INTO unique_table Values ('{table}','{name}','{cols}','{nums}')",
    ] + index_statements(table, name, cols)


WRITE_FUNCTIONS = ("drop_table_index", "delete_row_main", "_insert_main", "active_table_index")


@contextlib.contextmanager
def through_functions(enabled=True):
    """The merge's writes through the module-level functions: each replaced by a
    wrapper that calls the library's own, which switches the merge to that path."""
    originals = {name: getattr(T, name) for name in WRITE_FUNCTIONS}
    if enabled:
        for name, original in originals.items():
            setattr(T, name, lambda *a, _original=original, **k: _original(*a, **k))
    try:
        yield
    finally:
        for name, original in originals.items():
            setattr(T, name, original)


class RangedConnection(sqlite3.Connection):
    """Asks the library to read a table's rows in ranges of row ids, as a libSQL
    connection does, of `read_rows_per_request` rows (settable per connection)."""

    read_rows_per_request = 2
