// Registered indexes: insert_index, drop_index, and the bulk suspension pair
// drop_table_index / active_table_index.
#include "catalogue.hpp"
#include "driver.hpp"
#include "functions.hpp"
#include "sql_names.hpp"
#include "text.hpp"

#include <string>

namespace tablora {

namespace {

bool delete_index_row(Call& call, PyObject* table, PyObject* name) {
  Ref params = text_parameters({table, name});
  return params && call.execute(kDeleteIndexRow, params.get());
}

bool drop_sql_index(Call& call, PyObject* sql_name) {
  Ref sql = compose({"DROP INDEX if exists ", sql_name});
  return sql && call.execute(sql.get());
}

// The same for a name read back from sqlite_master: quoted unless plain, so
// that "x --own" cannot drop x.
bool drop_listed_index(Call& call, PyObject* index_name) {
  std::string sql = "DROP INDEX if exists ";
  return append_identifier(sql, index_name) && call.execute(sql);
}

bool ensure_index_table(Call& call) {
  return call.begin_before_schema_change() && call.execute(kCreateIndexTable);
}

// The names of the indexes SQLite lists for the table, in its order; the
// table's name matches in any ASCII letter case, as SQLite matches it.
Ref listed_indexes(Call& call, PyObject* table) {
  Ref rows = call.fetch_all("SELECT * FROM sqlite_master WHERE type = 'index'");
  if (!rows) return Ref();
  Ref names(PyList_New(0));
  if (!names) return Ref();
  const bool collected = for_each_item(rows.get(), [&](PyObject* row) {
    Ref tbl_name(PySequence_GetItem(row, 2));
    if (!tbl_name) return false;
    const int same = same_sql_name(tbl_name.get(), table);
    if (same <= 0) return same == 0;
    Ref index_name(PySequence_GetItem(row, 1));
    return index_name && PyList_Append(names.get(), index_name.get()) == 0;
  });
  return collected ? std::move(names) : Ref();
}

}  // namespace

PyObject* insert_index(PyObject* module, const Arguments<3>& args) {
  const auto [conn, index, comm] = args;
  Call call(module, conn);
  if (!call.open_cursor() || !ensure_index_table(call)) return nullptr;
  Ref table(PyMapping_GetItemString(index, "table"));
  if (!table) return nullptr;
  Ref name(PyMapping_GetItemString(index, "name"));
  if (!name) return nullptr;
  Ref sql_name = sql_index_name(table.get(), name.get());
  if (!sql_name || !delete_index_row(call, table.get(), name.get()) ||
      !drop_sql_index(call, sql_name.get()))
    return nullptr;
  // The SQL index comes before its catalogue row: a failing CREATE INDEX then
  // leaves no row behind for later rebuilds to trip over.
  Ref columns(PyMapping_GetItemString(index, "cols"));
  if (!columns) return nullptr;
  Ref create = create_index_statement(sql_name.get(), table.get(), columns.get());
  if (!create || !call.execute(create.get())) return nullptr;
  Ref params = tuple_of({table.get(), name.get(), columns.get()});
  return none_unless_failed(params &&
                            call.execute("INSERT INTO index_table Values (?,?,?)", params.get()) &&
                            call.commit_if_asked(comm));
}

PyObject* drop_index(PyObject* module, const Arguments<4>& args) {
  const auto [conn, table, name, comm] = args;
  Call call(module, conn);
  if (!call.open_cursor() || !ensure_index_table(call)) return nullptr;
  Ref sql_name = sql_index_name(table, name);
  return none_unless_failed(sql_name && delete_index_row(call, table, name) &&
                            drop_sql_index(call, sql_name.get()) && call.commit_if_asked(comm));
}

PyObject* active_table_index(PyObject* module, const Arguments<3>& args) {
  const auto [conn, table, comm] = args;
  Call call(module, conn);
  if (!call.open_cursor()) return nullptr;
  Ref params = text_parameters({table});
  if (!params) return nullptr;
  Ref rows = call.fetch_all(kSelectIndexRows, params.get());
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
    return create && call.begin_before_schema_change() && call.execute(create.get());
  });
  return none_unless_failed(rebuilt && call.commit_if_asked(comm));
}

PyObject* drop_table_index(PyObject* module, const Arguments<3>& args) {
  const auto [conn, table, comm] = args;
  Call call(module, conn);
  if (!call.open_cursor()) return nullptr;
  Ref names = listed_indexes(call, table);
  if (!names) return nullptr;
  PyObject* autoindex_prefix = state_of(module).s_autoindex_prefix.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* index_name = PyList_GET_ITEM(names.get(), i);
    // SQLite owns the indexes behind UNIQUE and PRIMARY KEY constraints and
    // refuses to drop them.
    if (PyUnicode_Check(index_name) &&
        PyUnicode_Tailmatch(index_name, autoindex_prefix, 0, PY_SSIZE_T_MAX, -1) == 1)
      continue;
    if (!call.begin_before_schema_change() || !drop_listed_index(call, index_name))
      return nullptr;
  }
  return none_unless_failed(call.commit_if_asked(comm));
}

}  // namespace tablora
