// A managed table's names and the statements made from them; see
// table_names.hpp.
#include "sql/table_names.hpp"

#include "sql/sql_names.hpp"
#include "sql/text.hpp"

namespace tablora {

namespace {

// "?" and ",?" up to `count` marks.
void append_marks(std::string& sql, size_t count) {
  sql += "?";
  for (size_t i = 1; i < count; ++i) sql += ",?";
}

}  // namespace

std::optional<TableNames> TableNames::of(PyObject* table) {
  TableNames names;
  names.given_ = table;
  names.text_ = text_form(table);
  if (!names.text_) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(names.text_.get(), &size);
  if (utf8 == nullptr) return std::nullopt;
  names.main_.assign(utf8, static_cast<size_t>(size));
  names.staging_ = "temp_" + names.main_;
  return names;
}

bool TableNames::index(PyObject* name, std::string& out) const {
  out = main_ + "_";
  return append_text(out, name);
}

Ref create_index_statement(const TableNames& table, std::string_view sql_name, PyObject* columns,
                           bool as_stored) {
  std::string sql = as_stored ? "CREATE INDEX " : "CREATE INDEX if not exists ";
  sql += sql_name;
  sql += " ON " + table.main() + " (";
  if (!append_text(sql, columns)) return Ref();
  sql += ")";
  return str(sql);
}

std::string drop_index_statement(std::string_view sql_name) {
  std::string sql = "DROP INDEX if exists ";
  sql += sql_name;
  return sql;
}

bool drop_listed_index_statement(PyObject* listed_name, std::string& out) {
  std::string quoted;
  if (!append_identifier(quoted, listed_name)) return false;
  out = drop_index_statement(quoted);
  return true;
}

bool list_indexes(Call& call, PyObject* table, std::vector<ListedIndex>& out) {
  Ref rows = call.fetch_all("SELECT * FROM sqlite_master WHERE type = 'index'");
  if (!rows) return false;
  // Members of a row: type, name, tbl_name, rootpage, sql.
  return for_each_item(rows.get(), [&](PyObject* row) {
    Ref tbl_name(PySequence_GetItem(row, 2));
    if (!tbl_name) return false;
    const int same = same_sql_name(tbl_name.get(), table);
    if (same <= 0) return same == 0;
    ListedIndex index{Ref(PySequence_GetItem(row, 1)), Ref(PySequence_GetItem(row, 4))};
    if (!index.name || !index.sql) return false;
    out.push_back(std::move(index));
    return true;
  });
}

bool append_row_columns(std::string& out, PyObject* cols, const char* qualifier) {
  out += qualifier;
  out += "rowid";
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
    out += ",";
    out += qualifier;
    if (!append_identifier(out, PyList_GET_ITEM(cols, i))) return false;
  }
  return true;
}

bool MainRowLookup::prepare(const TableNames& table, PyObject* cols) {
  main_ = table.main();
  staging_ = table.staging();
  full_row_ = "SELECT ";
  return append_row_columns(full_row_, cols, "m.");
}

std::string MainRowLookup::rows_by_id(size_t count) const {
  std::string sql = full_row_ + " FROM " + main_ + " AS m WHERE m.rowid IN (";
  append_marks(sql, count);
  return sql + ")";
}

bool MainRowLookup::ids_by_values(const std::vector<Ref>& columns, size_t count,
                                  std::string& out) const {
  out = "SELECT m.rowid FROM " + main_;
  if (columns.size() == 1) {
    out += " AS m WHERE m.";
    if (!append_identifier(out, columns[0].get())) return false;
    out += " IN (";
    append_marks(out, count);
    out += ")";
    return true;
  }
  std::string tuple = "(";
  append_marks(tuple, columns.size());
  tuple += ")";
  out += " AS m JOIN (VALUES " + tuple;
  for (size_t i = 1; i < count; ++i) out += "," + tuple;
  out += ") AS k ON ";
  for (size_t c = 0; c < columns.size(); ++c) {
    out += c ? " AND m." : "m.";
    if (!append_identifier(out, columns[c].get())) return false;
    out += " = k.column" + std::to_string(c + 1);
  }
  return true;
}

bool MainRowLookup::staged_by_values(const std::vector<Asked>& asked, std::string& out) const {
  out = full_row_ + " FROM " + staging_ + " AS m WHERE ";
  bool first = true;
  for (const auto& [columns, count] : asked) {
    if (count == 0) continue;
    out += first ? "" : " OR ";
    first = false;
    std::string tuple = "(";
    append_marks(tuple, columns->size());
    tuple += ")";
    if (columns->size() == 1) {
      out += "m.";
      if (!append_identifier(out, (*columns)[0].get())) return false;
      out += " IN ";
    } else {
      for (size_t c = 0; c < columns->size(); ++c) {
        out += c ? ",m." : "(m.";
        if (!append_identifier(out, (*columns)[c].get())) return false;
      }
      out += ") IN (VALUES ";
    }
    const std::string one = columns->size() == 1 ? "?" : tuple;
    out += columns->size() == 1 ? "(" : "";
    for (size_t i = 0; i < count; ++i) out += (i ? "," : "") + one;
    out += ")";
  }
  return true;
}

}  // namespace tablora
