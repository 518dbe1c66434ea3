// Registered indexes: insert_index, drop_index, and the bulk suspension pair
// drop_table_index / active_table_index.
#include "common.hpp"

namespace tablora {

namespace {

// "DELETE FROM index_table where table_name = ? AND index_name = ?", names
// bound in their text form so a quote in a name cannot reach the SQL.
bool delete_index_row(PyObject* cursor, PyObject* table, PyObject* name) {
  Ref table_text = text_form(table);
  if (!table_text) return false;
  Ref name_text = text_form(name);
  if (!name_text) return false;
  Ref params = tuple_of({table_text.get(), name_text.get()});
  if (!params) return false;
  Ref sql = str("DELETE FROM index_table where table_name = ? AND index_name = ?");
  return sql && execute(cursor, sql.get(), params.get());
}

bool drop_sql_index(PyObject* cursor, PyObject* sql_name) {
  Ref sql = compose({"DROP INDEX if exists ", sql_name});
  return sql && execute(cursor, sql.get());
}

// The same for a name read back from sqlite_master: quoted unless plain, so
// that "x --own" cannot drop x.
bool drop_listed_index(PyObject* cursor, PyObject* index_name) {
  std::string sql = "DROP INDEX if exists ";
  if (!append_identifier(sql, index_name)) return false;
  Ref text = str(sql);
  return text && execute(cursor, text.get());
}

bool ensure_index_table(PyObject* conn, PyObject* cursor) {
  if (!begin_before_schema_change(conn, cursor)) return false;
  Ref sql = str(kCreateIndexTable);
  return sql && execute(cursor, sql.get());
}

}  // namespace

TABLORA_FN(insert_index) {
  PyObject* a[3];
  if (!parse_args({"insert_index", {"conn", "index", "comm"}, 2}, args, nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *index = a[1], *comm = a[2] ? a[2] : Py_True;
  (void)module;

  Ref cursor = open_cursor(conn);
  if (!cursor || !ensure_index_table(conn, cursor.get())) return nullptr;
  Ref table(PyMapping_GetItemString(index, "table"));
  if (!table) return nullptr;
  Ref name(PyMapping_GetItemString(index, "name"));
  if (!name) return nullptr;
  Ref sql_name = sql_index_name(table.get(), name.get());
  if (!sql_name || !delete_index_row(cursor.get(), table.get(), name.get()) ||
      !drop_sql_index(cursor.get(), sql_name.get()))
    return nullptr;
  // The SQL index comes before its catalogue row: a failing CREATE INDEX then
  // leaves no row behind for later rebuilds to trip over.
  Ref columns(PyMapping_GetItemString(index, "cols"));
  if (!columns) return nullptr;
  Ref create = create_index_statement(sql_name.get(), table.get(), columns.get());
  if (!create || !execute(cursor.get(), create.get())) return nullptr;
  Ref params = tuple_of({table.get(), name.get(), columns.get()});
  if (!params) return nullptr;
  Ref insert = str("INSERT INTO index_table Values (?,?,?)");
  if (!insert || !execute(cursor.get(), insert.get(), params.get())) return nullptr;
  if (!commit_if_asked(conn, comm)) return nullptr;
  Py_RETURN_NONE;
}

TABLORA_FN(drop_index) {
  PyObject* a[4];
  if (!parse_args({"drop_index", {"conn", "table", "name", "comm"}, 3}, args, nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *table = a[1], *name = a[2], *comm = a[3] ? a[3] : Py_True;
  (void)module;

  Ref cursor = open_cursor(conn);
  if (!cursor || !ensure_index_table(conn, cursor.get())) return nullptr;
  Ref sql_name = sql_index_name(table, name);
  if (!sql_name || !delete_index_row(cursor.get(), table, name) ||
      !drop_sql_index(cursor.get(), sql_name.get()) || !commit_if_asked(conn, comm))
    return nullptr;
  Py_RETURN_NONE;
}

TABLORA_FN(active_table_index) {
  PyObject* a[3];
  if (!parse_args({"active_table_index", {"conn", "table", "comm"}, 2}, args, nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *table = a[1], *comm = a[2] ? a[2] : Py_True;
  (void)module;

  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  Ref table_text = text_form(table);
  if (!table_text) return nullptr;
  Ref params = tuple_of({table_text.get()});
  if (!params) return nullptr;
  Ref select = str("SELECT * FROM index_table WHERE table_name = ?");
  if (!select) return nullptr;
  Ref rows = fetch_all(cursor.get(), select.get(), params.get());
  if (!rows) return nullptr;
  const bool rebuilt = for_each_item(rows.get(), [&](PyObject* row) {
    Ref row_table(PySequence_GetItem(row, 0));
    if (!row_table) return false;
    Ref row_name(PySequence_GetItem(row, 1));
    if (!row_name) return false;
    Ref row_columns(PySequence_GetItem(row, 2));
    if (!row_columns) return false;
    Ref sql_name = sql_index_name(row_table.get(), row_name.get());
    if (!sql_name) return false;
    Ref create = create_index_statement(sql_name.get(), row_table.get(), row_columns.get());
    return create && begin_before_schema_change(conn, cursor.get()) &&
           execute(cursor.get(), create.get());
  });
  if (!rebuilt || !commit_if_asked(conn, comm)) return nullptr;
  Py_RETURN_NONE;
}

TABLORA_FN(drop_table_index) {
  PyObject* a[3];
  if (!parse_args({"drop_table_index", {"conn", "table", "comm"}, 2}, args, nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *table = a[1], *comm = a[2] ? a[2] : Py_True;
  (void)module;

  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  Ref select = str("SELECT * FROM sqlite_master WHERE type = 'index'");
  if (!select) return nullptr;
  Ref rows = fetch_all(cursor.get(), select.get());
  if (!rows) return nullptr;
  Ref names(PyList_New(0));
  if (!names) return nullptr;
  const bool collected = for_each_item(rows.get(), [&](PyObject* row) {
    Ref tbl_name(PySequence_GetItem(row, 2));
    if (!tbl_name) return false;
    const int same = PyObject_RichCompareBool(tbl_name.get(), table, Py_EQ);
    if (same <= 0) return same == 0;
    Ref index_name(PySequence_GetItem(row, 1));
    return index_name && PyList_Append(names.get(), index_name.get()) == 0;
  });
  if (!collected) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* index_name = PyList_GET_ITEM(names.get(), i);
    // SQLite owns the indexes behind UNIQUE and PRIMARY KEY constraints and
    // refuses to drop them.
    if (PyUnicode_Check(index_name) &&
        PyUnicode_Tailmatch(index_name, state_of(module).s_autoindex_prefix.get(), 0,
                            PY_SSIZE_T_MAX, -1) == 1)
      continue;
    if (!begin_before_schema_change(conn, cursor.get()) ||
        !drop_listed_index(cursor.get(), index_name))
      return nullptr;
  }
  if (!commit_if_asked(conn, comm)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace tablora
