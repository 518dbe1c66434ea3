// Managed tables: create_table makes the main table, its staging twin
// temp_<name>, their indexes and unique rules; drop_table removes them all.
#include "common.hpp"

namespace tablora {

namespace {

// cols[0] + "," + cols[1] + ... with the host's own concatenation, so a
// non-text name fails as it would in Python; a single name is used as given.
Ref join_column_names(PyObject* cols, Py_ssize_t count) {
  Ref joined(PySequence_GetItem(cols, 0));
  if (!joined) return Ref();
  Ref comma(PyUnicode_FromString(","));
  if (!comma) return Ref();
  for (Py_ssize_t j = 0; j + 1 < count; ++j) {
    Ref next(PySequence_GetItem(cols, j + 1));
    if (!next) return Ref();
    Ref with_comma(PyNumber_Add(joined.get(), comma.get()));
    if (!with_comma) return Ref();
    joined = Ref(PyNumber_Add(with_comma.get(), next.get()));
    if (!joined) return Ref();
  }
  return joined;
}

// One unique entry: column names and numbers, each joined by ",".
bool register_unique(PyObject* module, PyObject* conn, PyObject* name, PyObject* cols,
                     PyObject* entry) {
  Ref numbers(PyObject_GetItem(entry, state_of(module).s_cols.get()));
  if (!numbers) return false;
  const Py_ssize_t count = PyObject_Size(numbers.get());
  if (count < 0) return false;
  if (count == 0) {
    Ref rule(PyObject_GetItem(entry, state_of(module).s_name.get()));
    if (!rule) return false;
    PyErr_Format(PyExc_ValueError, "unique rule %R of table %R names no column", rule.get(), name);
    return false;
  }
  Ref comma(PyUnicode_FromString(","));
  if (!comma) return false;
  Ref columns, col_num;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref number(PySequence_GetItem(numbers.get(), i));
    if (!number) return false;
    Ref column(PyObject_GetItem(cols, number.get()));
    if (!column) return false;
    Ref digits(PyObject_Str(number.get()));
    if (!digits) return false;
    if (i == 0) {
      columns = std::move(column);
      col_num = std::move(digits);
      continue;
    }
    Ref columns_comma(PyNumber_Add(columns.get(), comma.get()));
    if (!columns_comma) return false;
    columns = Ref(PyNumber_Add(columns_comma.get(), column.get()));
    if (!columns) return false;
    Ref num_comma(PyNumber_Add(col_num.get(), comma.get()));
    if (!num_comma) return false;
    col_num = Ref(PyNumber_Add(num_comma.get(), digits.get()));
    if (!col_num) return false;
  }
  Ref rule(PyObject_GetItem(entry, state_of(module).s_name.get()));
  if (!rule) return false;
  return call_sibling(module, "insert_unique",
                      {{"conn", conn},
                       {"table", name},
                       {"name", rule.get()},
                       {"cols", columns.get()},
                       {"cols_num", col_num.get()},
                       {"comm", Py_False}});
}

}  // namespace

TABLORA_FN(create_table) {
  PyObject* a[6];
  if (!parse_args({"create_table", {"conn", "name", "cols", "index", "unique", "comm"}, 5}, args,
                  nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *name = a[1], *cols = a[2], *index = a[3], *unique = a[4];
  PyObject* comm = a[5] ? a[5] : Py_True;

  // Refuse an empty column list before the old table is dropped for nothing.
  const Py_ssize_t count = PyObject_Size(cols);
  if (count < 0) return nullptr;
  if (count == 0) {
    PyErr_Format(PyExc_ValueError, "table %R needs at least one column", name);
    return nullptr;
  }
  Ref cursor = open_cursor(conn);
  if (!cursor || !call_sibling(module, "drop_table",
                               {{"conn", conn}, {"table", name}, {"comm", Py_False}}))
    return nullptr;
  Ref col_str = join_column_names(cols, count);
  if (!col_str) return nullptr;
  for (const char* prefix : {"CREATE TABLE ", "CREATE TABLE temp_"}) {
    Ref sql = compose({prefix, name, " (", col_str.get(), ")"});
    if (!sql || !begin_before_schema_change(conn, cursor.get()) ||
        !execute(cursor.get(), sql.get()))
      return nullptr;
  }

  const bool indexed = for_each_item(index, [&](PyObject* entry) {
    return PyObject_SetItem(entry, state_of(module).s_table.get(), name) == 0 &&
           call_sibling(module, "insert_index",
                        {{"conn", conn}, {"index", entry}, {"comm", Py_False}});
  });
  if (!indexed) return nullptr;
  const bool ruled = for_each_item(
      unique, [&](PyObject* entry) { return register_unique(module, conn, name, cols, entry); });
  if (!ruled || !commit_if_asked(conn, comm)) return nullptr;
  Py_RETURN_NONE;
}

TABLORA_FN(drop_table) {
  PyObject* a[3];
  if (!parse_args({"drop_table", {"conn", "table", "comm"}, 2}, args, nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *table = a[1], *comm = a[2] ? a[2] : Py_True;
  (void)module;

  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  Ref table_text = text_form(table);
  if (!table_text) return nullptr;
  Ref drop_main = compose({"DROP Table IF EXISTS ", table});
  if (!drop_main || !begin_before_schema_change(conn, cursor.get()) ||
      !execute(cursor.get(), drop_main.get()))
    return nullptr;
  Ref params = tuple_of({table_text.get()});
  if (!params) return nullptr;
  for (const char* sql : {"DELETE FROM index_table Where table_name = ?",
                          "DELETE FROM unique_table Where table_name = ?"}) {
    Ref text = str(sql);
    if (!text || !execute(cursor.get(), text.get(), params.get())) return nullptr;
  }
  Ref drop_temp = compose({"DROP Table IF EXISTS temp_", table});
  if (!drop_temp || !execute(cursor.get(), drop_temp.get()) || !commit_if_asked(conn, comm))
    return nullptr;
  Py_RETURN_NONE;
}

Ref read_columns(PyObject* cursor, PyObject* table) {
  Ref sql = compose({"PRAGMA table_info(", table, ")"});
  if (!sql) return Ref();
  Ref rows = fetch_all(cursor, sql.get());
  if (!rows) return Ref();
  Ref names(PyList_New(0));
  if (!names) return Ref();
  const bool read = for_each_item(rows.get(), [&](PyObject* row) {
    Ref column(PySequence_GetItem(row, 1));
    return column && PyList_Append(names.get(), column.get()) == 0;
  });
  return read ? std::move(names) : Ref();
}

}  // namespace tablora
