"""Shared fixtures: a fresh database file per test, connections, a statement trace, and
a module's template database. The helpers the tests share live in support.py."""

import itertools

import pytest

import tablora.tablora as T
from support import Trace, create_homes

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


@pytest.fixture(scope="module")
def template(request, tmp_path_factory):
    """The database file the test module's `build_template(path)` lays out, built once per
    module: each run works on a copy of it, so that no run sees another's leftovers."""
    path = str(tmp_path_factory.mktemp(request.module.__name__) / "template.db")
    request.module.build_template(path)
    return path
