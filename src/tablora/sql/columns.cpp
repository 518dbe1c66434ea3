// A managed table's columns; see columns.hpp.
#include "sql/columns.hpp"

#include "sql/sql_names.hpp"
#include "sql/text.hpp"

namespace tablora {

bool refuse_rowid_column(PyObject* table, const std::vector<std::string>& columns) {
  for (const std::string& column : columns) {
    if (!same_sql_name(column, "rowid")) continue;
    Ref name = str(column);
    if (name)
      PyErr_Format(PyExc_ValueError,
                   "table %R cannot have a column named %R: the library addresses rows by rowid",
                   table, name.get());
    return false;
  }
  return true;
}

Ref read_columns(Call& call, std::string_view table, PyObject* shown) {
  Ref rows = call.fetch_all("PRAGMA table_info(" + std::string(table) + ")");
  if (!rows) return Ref();
  Ref names(PyList_New(0));
  if (!names) return Ref();
  std::vector<std::string> texts;
  const bool read = for_each_item(rows.get(), [&](PyObject* row) {
    Ref column(PySequence_GetItem(row, 1));
    if (!column || PyList_Append(names.get(), column.get()) < 0) return false;
    if (!PyUnicode_Check(column.get())) return true;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(column.get(), &size);
    if (utf8 == nullptr) return false;
    texts.emplace_back(utf8, static_cast<size_t>(size));
    return true;
  });
  if (!read) return Ref();
  Ref name = shown ? Ref::borrow(shown) : str(table);
  return name && refuse_rowid_column(name.get(), texts) ? std::move(names) : Ref();
}

bool read_column_collations(Call& call, const TableNames& table, PyObject* cols,
                            std::vector<Collation>& out) {
  out.assign(static_cast<size_t>(PyList_GET_SIZE(cols)), Collation());
  Ref params = table.parameters();
  if (!params) return false;
  // Names match as SQLite matches them, ASCII letters in either case.
  Ref rows = call.fetch_all(
      "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE",
      params.get());
  if (!rows) return false;
  if (PyList_GET_SIZE(rows.get()) == 0) return true;
  Ref sql(PySequence_GetItem(PyList_GET_ITEM(rows.get(), 0), 0));
  if (!sql) return false;
  if (!PyUnicode_Check(sql.get())) return true;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(sql.get(), &size);
  if (utf8 == nullptr) return false;
  const std::vector<DeclaredColumn> declared =
      declared_columns(table_definitions(std::string_view(utf8, static_cast<size_t>(size))));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
    PyObject* name = PyList_GET_ITEM(cols, i);
    if (!PyUnicode_Check(name)) continue;
    const char* column = PyUnicode_AsUTF8AndSize(name, &size);
    if (column == nullptr) return false;
    for (const DeclaredColumn& d : declared)
      if (same_sql_name(d.name, std::string_view(column, static_cast<size_t>(size))))
        out[static_cast<size_t>(i)] = Collation::named(d.collation);
  }
  return true;
}

}  // namespace tablora
