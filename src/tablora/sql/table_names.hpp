// A managed table's names, formatted once per call, and the statements made
// from them: its registered indexes (CREATE and DROP INDEX, the text SQLite
// keeps, the indexes SQLite made itself) and find's lookups of main rows.
#pragma once

#include "sql/driver.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tablora {

// The names of one managed table: the main table as format(table, "") gives
// it, its staging twin "temp_" + main, and the SQL name of each registered
// index, main + "_" + the index's name.
class TableNames {
 public:
  // format(table, "") once; nothing with the error set.
  static std::optional<TableNames> of(PyObject* table);

  // The caller's object, for messages and for sibling calls.
  PyObject* given() const { return given_; }
  // The text form as a str: what catalogue statements bind as a parameter.
  PyObject* text() const { return text_.get(); }
  // (text,): the parameters of a catalogue statement by table. Empty with
  // the error set.
  Ref parameters() const { return tuple_of({text_.get()}); }
  const std::string& main() const { return main_; }
  const std::string& staging() const { return staging_; }
  // The SQL name of the registered index `name`; false with the error set.
  bool index(PyObject* name, std::string& out) const;

 private:
  PyObject* given_ = nullptr;
  Ref text_;
  std::string main_, staging_;
};

// ---- registered indexes ------------------------------------------------------------

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

// ---- rows -------------------------------------------------------------------------

// "rowid" and ",<column>" for every column of `cols` (a list), each prefixed
// by `qualifier`: a full row, row id first. False with the error set.
bool append_row_columns(std::string& out, PyObject* cols, const char* qualifier = "");

// The statements find sends to look up main rows, a batch at a time, each
// through the index that serves it.
class MainRowLookup {
 public:
  // Parameters per lookup statement: within what every engine binds (a
  // dqlite statement takes at most 255).
  static constexpr size_t kMostParameters = 250;

  // False with the error set.
  bool prepare(const TableNames& table, PyObject* cols);
  // "SELECT m.rowid,m.<column>... FROM <main> AS m WHERE m.rowid IN (?,...)"
  // for `count` row ids.
  std::string rows_by_id(size_t count) const;
  // "SELECT m.rowid FROM <main> AS m ..." of the main rows holding one of
  // `count` value tuples under `columns`: "WHERE m.<c> IN (?,...)" for one
  // column, a join with a VALUES list through the rule's index for several
  // (a row-value IN would scan). False with the error set.
  bool ids_by_values(const std::vector<Ref>& columns, size_t count, std::string& out) const;
  // Columns and the number of value tuples asked under them.
  using Asked = std::pair<const std::vector<Ref>*, size_t>;
  // "SELECT m.rowid,m.<column>... FROM <staging> AS m WHERE ..." of the
  // staged rows holding one of the asked value tuples under any of the
  // column lists: "m.<c> IN (?,...)" for one column, "(m.<c>,...) IN
  // (VALUES (?,...),...)" for several, joined by OR. False with the error
  // set.
  bool staged_by_values(const std::vector<Asked>& asked, std::string& out) const;

 private:
  std::string main_, staging_, full_row_;
};

}  // namespace tablora
