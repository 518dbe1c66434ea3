// Managed tables: create_table makes the main table, its staging twin
// temp_<name>, their indexes and unique rules; drop_table removes them all.
#include "tables/schema.hpp"
#include "tables/index_registry.hpp"
#include "tables/unique_registry.hpp"
#include "sql/catalogue.hpp"
#include "sql/columns.hpp"
#include "sql/driver.hpp"
#include "sql/mutating_call.hpp"
#include "sql/sql_names.hpp"
#include "sql/text.hpp"

#include <optional>
#include <string>
#include <vector>

namespace tablora {

namespace {

// a + "," + b with the host's own concatenation, so a non-text name fails
// as it would in Python.
Ref join_with_comma(PyObject* a, PyObject* b) {
  Ref comma(PyUnicode_FromString(","));
  if (!comma) return Ref();
  Ref with_comma(PyNumber_Add(a, comma.get()));
  return with_comma ? Ref(PyNumber_Add(with_comma.get(), b)) : Ref();
}

// cols[0] + "," + cols[1] + ...; a single name is used as given.
Ref join_column_names(PyObject* cols, Py_ssize_t count) {
  Ref joined(PySequence_GetItem(cols, 0));
  for (Py_ssize_t j = 1; joined && j < count; ++j) {
    Ref next(PySequence_GetItem(cols, j));
    if (!next) return Ref();
    joined = join_with_comma(joined.get(), next.get());
  }
  return joined;
}

// Refuses a column entry that declares a column named rowid, as SQLite will
// read the entry once joined: an entry may carry quotes, a type or several
// definitions ("a, rowid").
bool refuse_declared_rowid(PyObject* name, PyObject* cols, Py_ssize_t count) {
  std::vector<std::string> declared;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref entry(PySequence_GetItem(cols, i));
    std::string text;
    if (!entry || !append_text(text, entry.get())) return false;
    for (std::string& column : declared_column_names(text)) declared.push_back(std::move(column));
  }
  return refuse_rowid_column(name, declared);
}

// One unique entry of create_table: insert_unique with its column names and
// numbers, each joined by ",".
bool register_unique(Call& call, PyObject* name, PyObject* cols, PyObject* entry) {
  const State& st = state_of(call.module());
  Ref numbers(PyObject_GetItem(entry, st.s_cols.get()));
  if (!numbers) return false;
  const Py_ssize_t count = PyObject_Size(numbers.get());
  if (count < 0) return false;
  if (count == 0) {
    Ref rule(PyObject_GetItem(entry, st.s_name.get()));
    if (!rule) return false;
    PyErr_Format(PyExc_ValueError, "unique rule %R of table %R names no column", rule.get(), name);
    return false;
  }
  Ref columns, col_num;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref number(PySequence_GetItem(numbers.get(), i));
    if (!number) return false;
    Ref column(PyObject_GetItem(cols, number.get()));
    if (!column) return false;
    Ref digits(PyObject_Str(number.get()));
    if (!digits) return false;
    columns = i == 0 ? std::move(column) : join_with_comma(columns.get(), column.get());
    if (!columns) return false;
    col_num = i == 0 ? std::move(digits) : join_with_comma(col_num.get(), digits.get());
    if (!col_num) return false;
  }
  Ref rule(PyObject_GetItem(entry, st.s_name.get()));
  if (!rule) return false;
  return call.call_sibling(kInsertUnique, {{"table", name},
                                             {"name", rule.get()},
                                             {"cols", columns.get()},
                                             {"cols_num", col_num.get()}});
}


PyObject* create_table(PyObject* module, const Arguments<6>& args) {
  const auto [conn, name, cols, index, unique, comm] = args;
  // Refuse columns the library cannot work with before the old table is
  // dropped for nothing.
  const Py_ssize_t count = PyObject_Size(cols);
  if (count < 0) return nullptr;
  if (count == 0) {
    PyErr_Format(PyExc_ValueError, "table %R needs at least one column", name);
    return nullptr;
  }
  if (!refuse_declared_rowid(name, cols, count)) return nullptr;
  MutatingCall call(module, conn, comm);
  if (!call.open(name) || !call.call_sibling(kDropTable, {{"table", name}})) return nullptr;
  Ref col_str = join_column_names(cols, count);
  if (!col_str) return nullptr;
  for (const std::string* tier : {&call.table().main(), &call.table().staging()}) {
    std::string sql = "CREATE TABLE " + *tier + " (";
    if (!append_text(sql, col_str.get())) return nullptr;
    sql += ")";
    if (!call.begin_before_schema_change() || !call.execute(sql)) return nullptr;
  }

  const State& st = state_of(module);
  const bool indexed = for_each_item(index, [&](PyObject* entry) {
    return PyObject_SetItem(entry, st.s_table.get(), name) == 0 &&
           call.call_sibling(kInsertIndex, {{"index", entry}});
  });
  if (!indexed) return nullptr;
  const bool ruled = for_each_item(
      unique, [&](PyObject* entry) { return register_unique(call, name, cols, entry); });
  return call.finish(ruled);
}

PyObject* drop_table(PyObject* module, const Arguments<3>& args) {
  const auto [conn, table, comm] = args;
  MutatingCall call(module, conn, comm);
  Ref params = call.open(table) ? call.table().parameters() : Ref();
  if (!params || !call.begin_before_schema_change() ||
      !call.execute("DROP Table IF EXISTS " + call.table().main()))
    return nullptr;
  for (const char* sql : {kDeleteTableIndexRows, kDeleteTableRuleRows})
    if (!call.execute(sql, params.get())) return nullptr;
  return call.finish(call.execute("DROP Table IF EXISTS " + call.table().staging()));
}

}  // namespace

const Declaration kCreateTable{
    "create_table", {"conn", "name", "cols", "index", "unique", "comm=True"}, create_table,
    "Create table with indexes and uniques.\n\n"
    "create_table(conn, 'homes', ['name', 'type', 'address', 'age'],\n"
    "             [{'name': 'index_0', 'cols': 'name,type,address'},\n"
    "              {'name': 'index_1', 'cols': 'age'}],\n"
    "             [{'name': 'unique_0', 'cols': [0, 1]},\n"
    "              {'name': 'unique_1', 'cols': [2]}])\n"
    "Any former table of the name is removed first."};

const Declaration kDropTable{
    "drop_table", {"conn", "table", "comm=True"}, drop_table,
    "Drop table with indexes and uniques.\n\n"
    "Removes the main table, temp_<table> and their catalogue rows."};

}  // namespace tablora
