"""The everyday layer (`tablora.Database`, `Table`) on real database files: names, declared
types, bound values, named rows, clean errors, DataFrames and Arrow, and its agreement with
the module's own `find`."""

import contextlib
import dataclasses
import sqlite3

import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import given, strategies as st

import tablora
import tablora.cli as cli
import tablora.engines.sqlite
import tablora.tablora as T
from support import HOMES_COLS, create_homes, typed
from test_equivalence import SETTINGS, TABLE, VALUES, scenarios
from test_equivalence import Database as Scenario

HOMES = {"name": str, "type": str, "address": str, "age": int}
RULES = {"owner": ["name", "type"], "place": "address"}


@pytest.fixture
def layer(db_path):
    with tablora.Database(db_path) as database:
        yield database


@pytest.fixture
def homes(layer):
    return layer.create_table("homes", HOMES, unique=RULES, indexes={"by_age": "age"})


def stored(path, sql):
    with contextlib.closing(sqlite3.connect(path)) as conn:
        return conn.execute(sql).fetchall()


# ---- Database ------------------------------------------------------------------------------


def test_a_table_made_by_the_layer_is_what_the_module_made(layer, homes, db_path):
    assert (homes.columns, homes.rules, homes.indexes) == (
        HOMES_COLS, {"owner": ["name", "type"], "place": ["address"]}, {"by_age": ["age"]})
    assert [r[2] for r in stored(db_path, "PRAGMA table_info(temp_homes)")] == [
        "TEXT", "TEXT", "TEXT", "INTEGER"]
    assert stored(db_path, "SELECT * FROM unique_table ORDER BY unique_name") == [
        ("homes", "owner", "name,type", "0,1"), ("homes", "place", "address", "2")]
    assert layer.table_names() == ["homes"] and layer["HOMES"].name == "homes"


def test_table_names_lists_tables_with_a_staging_twin_of_the_same_columns(layer):
    create_homes(layer.conn)
    layer.conn.execute("CREATE TABLE lone (a)")
    layer.conn.execute("CREATE TABLE odd (a)")
    layer.conn.execute("CREATE TABLE temp_odd (a, b)")
    assert layer.table_names() == ["homes"]


def test_create_table_refuses_an_existing_table_unless_replace(layer, homes):
    homes.stage([("ann", "flat", "1 Elm St", 30)])
    with pytest.raises(tablora.TableExistsError, match="'homes' already exists.*replace=True"):
        layer.create_table("homes", ["a"])
    assert layer["homes"].count() == 1
    assert layer.create_table("homes", ["a"], replace=True).count() == 0


def test_a_connection_given_to_the_database_stays_open(db_path):
    conn = sqlite3.connect(db_path)
    with tablora.Database(conn) as database:
        database.create_table("t", ["a"])
    assert conn.execute("SELECT count(*) FROM temp_t").fetchone() == (0,)
    conn.close()


@pytest.mark.parametrize(
    ("columns", "kwargs", "error", "message"),
    [(["a", "A"], {}, tablora.ArgumentError, "column 'A' is listed twice"),
     (["a", "rowid"], {}, tablora.ArgumentError, "'rowid' is SQLite's row id"),
     ({"a": list}, {}, tablora.ArgumentError, "column 'a': type must be"),
     ({"a": "INT); DROP TABLE x; --"}, {}, tablora.ArgumentError, "column 'a': type must be"),
     (["a"], {"unique": {"u": ["b"]}}, tablora.UnknownColumnError, "unique rule 'u'.* no column 'b'"),
     (["a"], {"indexes": {"bad name": "a"}}, tablora.ArgumentError, "index name 'bad name'"),
     (["a"], {"unique": {"u": []}}, tablora.ArgumentError, "unique rule 'u' of table 't' names no")],
)  # fmt: skip
def test_create_table_refuses_bad_definitions(layer, columns, kwargs, error, message):
    with pytest.raises(error, match=message):
        layer.create_table("t", columns, **kwargs)
    assert layer.table_names() == []


# ---- names and types ----------------------------------------------------------------------


def test_any_column_name_works_from_create_to_get(layer):
    table = layer.create_table("odd", ["Customer ID", "from", "to", "order"],
                               unique={"customer": "Customer ID"}, indexes={"route": ["from", "to"]})
    table.stage([{"Customer ID": 7, "from": "a", "to": "b", "order": 1},
                 {"Customer ID": 7, "from": "c", "order": 2}])
    assert table.merge()[:4] == (2, 1, 0, 1)
    assert table.get(**{"Customer ID": 7}) == (7, "c", None, 2)
    assert [row["to"] for row in table.rows_where('"from" = ?', ["c"], select="to,order")] == [None]
    assert table.indexes == {"route": ["from", "to"]}


def test_a_declared_type_stores_text_and_number_keys_alike(homes, layer):
    table = layer.create_table("keys", {"id": int, "note": str}, unique={"by_id": "id"})
    table.stage([(42, "from a file")])
    table.stage([{"id": "42", "note": "as csv gives it"}])
    table.merge()
    assert list(table.rows_where()) == [(42, "as csv gives it")]


# ---- errors --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "error", "builtin", "names"),
    [(lambda db, t: db["house"], tablora.UnknownTableError, KeyError, ["'house'", "homes"]),
     (lambda db, t: t.get("nope", name="a"), tablora.UnknownRuleError, KeyError, ["'nope'", "owner"]),
     (lambda db, t: t.get(name="a"), tablora.UnknownRuleError, KeyError, ["name", "owner"]),
     (lambda db, t: t.get(address="none"), tablora.NotFoundError, KeyError, ["'none'", "place"]),
     (lambda db, t: t.get("owner", name="a"), tablora.ArgumentError, ValueError, ["owner", "type"]),
     (lambda db, t: list(t.rows_where(select="name,agee")), tablora.UnknownColumnError, KeyError,
      ["'agee'", "homes"]),
     (lambda db, t: t.stage([{"name": "a", "nope": 1}]), tablora.UnknownColumnError, KeyError,
      ["'nope'", "homes"]),
     (lambda db, t: t.stage([("a", "b")]), tablora.ArgumentError, ValueError, ["2 values", "4"]),
     (lambda db, t: list(t.rows_where(limit=-1)), tablora.ArgumentError, ValueError, ["limit"]),
     (lambda db, t: next(iter(t.rows_where()))["nope"], tablora.UnknownColumnError, KeyError,
      ["'nope'"])],
)  # fmt: skip
def test_errors_name_what_they_are_about_and_are_the_builtin_type(layer, homes, call, error,
                                                                  builtin, names):
    homes.stage([("ann", "flat", "1 Elm St", 30)])
    with pytest.raises(error) as raised:
        call(layer, homes)
    assert isinstance(raised.value, builtin) and isinstance(raised.value, tablora.Error)
    assert all(name in str(raised.value) for name in names), str(raised.value)
    assert homes.count() == 1  # a refused stage stages nothing


# ---- staging -------------------------------------------------------------------------------


def test_mappings_by_name_with_missing_keys_as_null(homes):
    homes.stage([{"age": 3, "name": "a"}, dict(zip(HOMES_COLS, ["b", "t", "x", 4]))])
    assert sorted(homes.rows_where(), key=repr) == [("a", None, None, 3), ("b", "t", "x", 4)]


def test_any_iterable_is_staged_in_bounded_batches(homes, monkeypatch):
    sizes = []
    real = T.insert_temp
    monkeypatch.setattr(T, "insert_temp", lambda conn, table, rows, comm=True: (
        sizes.append(len(rows)), real(conn, table, rows, comm)))  # fmt: skip
    rows = ((f"n{i}", "t", f"a{i}", i) for i in range(5))
    assert homes.stage(rows, batch_size=2) == 5
    assert sizes == [2, 2, 1] and homes.count() == 5


@pytest.mark.parametrize(
    "make",
    [lambda: pd.DataFrame({"age": [1, None], "name": ["a", "b"]}),
     lambda: pa.table({"age": [1, None], "name": ["a", "b"]}),
     lambda: pa.RecordBatchReader.from_batches(
         pa.schema([("age", pa.int64()), ("name", pa.string())]),
         [pa.record_batch([[1], ["a"]], names=["age", "name"]),
          pa.record_batch([[None], ["b"]], names=["age", "name"])])],
    ids=["DataFrame", "Table", "RecordBatchReader"],
)  # fmt: skip
def test_columnar_data_is_matched_by_column_name(layer, make):
    table = layer.create_table("t", {"name": str, "type": str, "age": int})
    assert table.stage(make()) == 2
    assert sorted(table.rows_where(), key=repr) == [("a", None, 1), ("b", None, None)]


@pytest.mark.parametrize(("name", "separator"), [("h.csv", ","), ("h.tsv", "\t")])
def test_stage_csv_reads_as_the_command_line_does(layer, tmp_path, name, separator):
    homes = layer.create_table("plain", HOMES)  # no rules: every row read back
    text = "age,name,address\n30,ann,\n,bob,2 Oak St\n".replace(",", separator)
    (tmp_path / name).write_text(text)
    assert homes.stage_csv(tmp_path / name, empty_as_null=True) == 2
    with open(tmp_path / name, "rb") as stream:  # an open file, left open
        assert homes.stage_csv(stream, delimiter=separator, as_text=True) == 2
        assert not stream.closed
    assert sorted(homes.rows_where(), key=repr) == [
        ("ann", None, "", 30), ("ann", None, None, 30), ("bob", None, "2 Oak St", ""),
        ("bob", None, "2 Oak St", None)]


# ---- merging -------------------------------------------------------------------------------


@pytest.mark.parametrize(("step_rows", "uptos"), [(3, [3, 6, 9, 10]), (10, [10]), (50, [10])])
def test_a_stepped_merge_ends_as_one_merge_in_steps_of_its_own(layer, monkeypatch, step_rows,
                                                               uptos):
    rows = [(i % 4, f"v{i}") for i in range(10)]
    once = layer.create_table("once", {"k": int, "v": str}, unique={"key": "k"})
    once.stage(rows)
    once.merge()
    stepped = layer.create_table("stepped", {"k": int, "v": str}, unique={"key": "k"})
    stepped.stage(rows)
    steps, real = [], tablora.table._merge.merge
    monkeypatch.setattr(tablora.table._merge, "merge", lambda conn, table, **kw: (
        steps.append((kw["through_row_id"], kw["keep_indexes"], conn.in_transaction)),
        real(conn, table, **kw))[1])  # fmt: skip
    summary = stepped.merge(step_rows=step_rows)
    assert steps == [(upto, True, False) for upto in uptos]  # each step its own transaction
    assert summary.staged == 10 and summary.inserted - summary.replaced == 4
    assert list(stepped.rows_where(order_by="k")) == list(once.rows_where(order_by="k"))


@pytest.mark.parametrize("through", ["Table.merge", "tablora merge"])
def test_the_default_step_is_the_engines(layer, db_path, monkeypatch, through):
    engine = tablora.engines.sqlite
    monkeypatch.setattr(engine, "ENGINE", dataclasses.replace(engine.ENGINE, step_rows=3))
    stepped = layer.create_table("stepped", {"k": int, "v": str}, unique={"key": "k"})
    stepped.stage([(i % 4, f"v{i}") for i in range(10)])
    steps, real = [], tablora.table._merge.merge
    monkeypatch.setattr(tablora.table._merge, "merge", lambda conn, table, **kw: (
        steps.append(kw["through_row_id"]), real(conn, table, **kw))[1])  # fmt: skip
    if through == "Table.merge":
        stepped.merge(step_rows=True)
    else:
        assert cli.main(["merge", db_path, "stepped", "--step-rows", "default"]) == 0
    assert steps == [3, 6, 9, 10]


# ---- reading -------------------------------------------------------------------------------


def test_order_by_and_limit_apply_to_both_tiers_together(layer):
    table = layer.create_table("people", {"name": str, "age": int})
    table.stage([("a", 25), ("b", 29)])
    table.merge()
    table.stage([("c", 30), ("d", 30), ("e", 40)])
    assert [row["age"] for row in table.rows_where(order_by="age", limit=3)] == [25, 29, 30]
    assert [row[0] for row in table.rows_where("age >= ?", [29], order_by="age DESC",
                                               offset=1, limit=2)] == ["c", "d"]  # fmt: skip


def test_closing_the_database_ends_its_open_reads(db_path):
    conn = sqlite3.connect(db_path)
    database = tablora.Database(conn)
    table = database.create_table("t", ["a"])
    table.stage([(1,), (2,)])
    rows = table.rows_where()
    assert next(rows) in [(1,), (2,)]
    database.close()
    assert list(rows) == [] and not conn.in_transaction  # the read's snapshot is released
    conn.execute("DELETE FROM temp_t")  # and the connection is free for writes
    conn.close()


def test_to_arrow_and_to_pandas_take_the_filters_and_the_declared_types(homes):
    homes.stage([("ann", "flat", "1 Elm St", 30), ("bob", "loft", "2 Oak St", None)])
    arrow = homes.to_arrow("name = ?", ["bob"], select=["age", "name"])
    assert arrow.schema.types == [pa.int64(), pa.string()]
    assert arrow.to_pylist() == [{"age": None, "name": "bob"}]
    frame = homes.to_pandas(order_by="name DESC", limit=1)
    assert list(frame.columns) == HOMES_COLS and frame["name"].tolist() == ["bob"]


@SETTINGS
@given(scenario=scenarios(), value=st.sampled_from(VALUES))
def test_rows_where_agrees_with_find(scenario, value):
    with Scenario(scenario) as d:
        table = tablora.Database(d.conn)[TABLE]
        every = T.find(d.conn, "*", TABLE, "")
        assert sorted(typed(table.rows_where()), key=repr) == sorted(typed(every), key=repr)
        assert table.count() == len(every)
        literal = d.conn.execute("SELECT quote(?)", (value,)).fetchone()[0]
        found = T.find(d.conn, "c0,c2", TABLE, f"WHERE c0 IS {literal}")
        got = table.rows_where("c0 IS ?", [value], select=["c0", "c2"])
        assert sorted(typed(got), key=repr) == sorted(typed(found), key=repr)
        order = ",".join(scenario["cols"])
        got = [tuple(row) for row in table.rows_where(order_by=order, limit=3)]
        with contextlib.closing(sqlite3.connect(":memory:")) as memory:  # SQLite's own order
            declared = ",".join(f"{c} COLLATE {k}"
                                for c, k in zip(scenario["cols"], scenario["collations"]))
            marks = ",".join("?" * (len(scenario["cols"]) + 1))
            for name, rows in (("found", every), ("top", None), ("got", got)):
                memory.execute(f"CREATE TABLE {name} (at, {declared})")
                if rows is not None:
                    memory.executemany(f"INSERT INTO {name} VALUES ({marks})",
                                       [(i, *row) for i, row in enumerate(rows)])
            memory.execute(f"INSERT INTO top SELECT row_number() OVER (ORDER BY {order}) - 1, "
                           f"{order} FROM found ORDER BY {order} LIMIT 3")
            # Rows equal under the columns' collations may come in either order: each place
            # must hold a row that sorts as SQLite's row in that place does.
            same = " AND ".join(f"got.{c} IS top.{c}" for c in scenario["cols"])
            (matching,) = memory.execute(
                f"SELECT count(*) FROM got JOIN top USING (at) WHERE {same}").fetchone()
            (wanted,) = memory.execute("SELECT count(*) FROM top").fetchone()
        assert len(got) == wanted == matching
        assert all(row in [tuple(r) for r in every] for row in got)
