// The lookups of rows outside find's passes; see main_row_lookup.hpp.
#include "query/main_row_lookup.hpp"

#include "sql/row.hpp"
#include "sql/text.hpp"

namespace tablora {

namespace {

// "?" and ",?" up to `count` marks.
void append_marks(std::string& sql, size_t count) {
  sql += "?";
  for (size_t i = 1; i < count; ++i) sql += ",?";
}

}  // namespace

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
