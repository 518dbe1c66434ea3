// A registered index as SQL: the CREATE and DROP INDEX statements of the
// library's indexes (and the text SQLite keeps for one), and the indexes
// SQLite lists for a table, with the rule for those it made itself.
#pragma once

#include "sql/driver.hpp"
#include "sql/table_names.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tablora {

// "CREATE INDEX if not exists <sql name> ON <main> (<columns>)": how a
// registered index is built. With `as_stored`, "CREATE INDEX <sql name> ON
// <main> (<columns>)", the text SQLite keeps in sqlite_master.sql for it.
// Empty with the error set.
Ref create_index_statement(const TableNames& table, std::string_view sql_name, PyObject* columns,
                           bool as_stored = false);
// "DROP INDEX if exists <sql name>", the registered SQL name as it stands.
std::string drop_index_statement(std::string_view sql_name);
// The same for a name read back from sqlite_master: quoted unless plain, so
// that "x --own" cannot drop x. False with the error set.
bool drop_listed_index_statement(PyObject* listed_name, std::string& out);

// An index of a table as sqlite_master lists it.
struct ListedIndex {
  Ref name;
  Ref sql;  // the CREATE INDEX text SQLite keeps, None for its own indexes
};
// The indexes SQLite lists for the table, in its order: those whose tbl_name
// equals `table` as SQLite compares names (when both are text; otherwise by
// the host's ==). Empty with the error set.
bool list_indexes(Call& call, PyObject* table, std::vector<ListedIndex>& out);
// SQLite made the index itself, for a UNIQUE or PRIMARY KEY constraint, and
// refuses to drop it. Such an index, and only such, has no sql: that is what
// SQLite documents, whereas its "sqlite_autoindex_" names are merely reserved.
inline bool made_by_sqlite(const ListedIndex& index) { return index.sql.get() == Py_None; }

// The CREATE INDEX statement of a row of index_table (table_name,
// index_name, columns), with the row's own spelling of the table, which the
// index was registered with; `as_stored` as create_index_statement has it.
// The SQL name goes to `sql_name` when given. Empty with the error set.
Ref registered_index_statement(PyObject* row, bool as_stored = false,
                               std::string* sql_name = nullptr);

}  // namespace tablora
