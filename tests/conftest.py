"""Shared fixtures: a fresh database file per test, connections, a statement trace.

The helpers live in support.py; the names other test modules import from here
are re-exported.
"""

import itertools

import pytest

import tablora.tablora as T
from support import CREATE_INDEX_TABLE, CREATE_UNIQUE_TABLE, HOMES_COLS, Trace, create_homes

__all__ = ["CREATE_INDEX_TABLE", "CREATE_UNIQUE_TABLE", "HOMES_COLS", "create_homes"]

_names = itertools.count()


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "t.db")


@pytest.fixture
def db(db_path):
    return T.DB(f"db-{next(_names)}", db_path)


@pytest.fixture
def conn(db):
    connection = db.connection()
    yield connection
    connection.close()


@pytest.fixture
def other(db):
    """A second connection: it sees committed state only."""
    connection = db.connection()
    yield connection
    connection.close()


@pytest.fixture
def trace(conn):
    return Trace(conn)


@pytest.fixture
def homes(conn):
    create_homes(conn)
    return "homes"
