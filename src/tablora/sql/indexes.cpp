// Registered indexes as SQL; see indexes.hpp.
#include "sql/indexes.hpp"

#include "sql/sql_names.hpp"
#include "sql/text.hpp"

namespace tablora {

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

Ref registered_index_statement(PyObject* row, bool as_stored, std::string* sql_name) {
  Ref table(PySequence_GetItem(row, 0));
  Ref name(table ? PySequence_GetItem(row, 1) : nullptr);
  Ref columns(name ? PySequence_GetItem(row, 2) : nullptr);
  if (!columns) return Ref();
  const std::optional<TableNames> names = TableNames::of(table.get());
  std::string index;
  if (!names || !names->index(name.get(), index)) return Ref();
  if (sql_name) *sql_name = index;
  return create_index_statement(*names, index, columns.get(), as_stored);
}

}  // namespace tablora
