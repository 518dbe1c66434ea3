// What the database records about managed tables: the catalogue tables
// index_table and unique_table, a table's columns and its unique rules; and
// the private module through which the package's Python code reads them.
#pragma once

#include "base/declaration.hpp"
#include "sql/collation.hpp"
#include "sql/driver.hpp"
#include "sql/table_names.hpp"

#include <string>
#include <vector>

namespace tablora {

extern const char kCreateIndexTable[];
extern const char kCreateUniqueTable[];
// Creates both catalogue tables when they are missing, then commits: what
// DB does on its set-up connection (after its journal-mode statement) and
// what connect() does on every connection it opens. False with the error set.
bool prepare_catalogue(Call& call);

// A catalogue row belongs to a table when its table_name matches the table's
// name as SQLite matches names: ASCII letters in either case, so "T" finds
// the rows of t. The parameter is the text form of the table name.
#define TABLORA_SAME_TABLE "table_name = ? COLLATE NOCASE"
// The catalogue's statements by table name, then by index or rule name.
extern const char kSelectIndexRows[];
extern const char kSelectRuleRows[];
extern const char kDeleteIndexRow[];
extern const char kDeleteRuleRow[];
extern const char kDeleteTableIndexRows[];
extern const char kDeleteTableRuleRows[];
extern const char kInsertIndexRow[];
extern const char kInsertRuleRow[];

// The CREATE INDEX statement of a row of index_table (table_name,
// index_name, columns), with the row's own spelling of the table, which the
// index was registered with; `as_stored` as create_index_statement has it.
// The SQL name goes to `sql_name` when given. Empty with the error set.
Ref registered_index_statement(PyObject* row, bool as_stored = false,
                               std::string* sql_name = nullptr);

// Refuses, with ValueError, a column named rowid in any letter case: it
// would hide the row id that every statement of the library names rowid.
// (The other aliases, oid and _rowid_, stay free.) `columns` are names as
// SQLite reads them, unquoted. False with the error set.
bool refuse_rowid_column(PyObject* table, const std::vector<std::string>& columns);
// The column names of the table named `table` from "PRAGMA table_info(<table>)",
// after refuse_rowid_column, whose message shows `shown` (by default the name).
Ref read_columns(Call& call, std::string_view table, PyObject* shown = nullptr);
// The table's unique rules as unique_table records them, in catalogue
// order: dict rule name -> list of column positions parsed from col_num.
Ref read_rule_positions(Call& call, const TableNames& table);

// The declared collation of every column of `cols` (the names read_columns
// gives), in their order, from the CREATE TABLE text SQLite keeps for the
// main table: what its rows' equality follows in SQL. BINARY for a column
// that declares none, and for every column when there is no such text.
// False with the error set.
bool read_column_collations(Call& call, const TableNames& table, PyObject* cols,
                            std::vector<Collation>& out);

// A unique rule ready for use: the positions of its columns in the column
// list (0 for the first column), their names and, when known, their
// collations, in the rule's order.
struct UniqueRule {
  Ref name;
  std::vector<Py_ssize_t> positions;
  std::vector<Ref> columns;
  std::vector<Collation> collations;  // empty when not read: BINARY
};
// The rules of a mapping rule name -> iterable of positions, against the
// column list, with the collations of `column_collations` (one per column)
// when given. A negative position counts from the end; one out of range
// raises IndexError "tuple index out of range". False with the error set.
bool unique_rules_from(PyObject* positions_by_rule, PyObject* columns,
                       std::vector<UniqueRule>& rules,
                       const std::vector<Collation>* column_collations = nullptr);

// The functions of tablora._catalogue, through which the package's Python
// code reads the catalogue as the library does (the module is made by
// core/private_modules.cpp; typed by _catalogue.pyi):
//   prepare(conn)               prepare_catalogue
//   rule_positions(conn, table) read_rule_positions
//   staging_name(table)         "temp_" + the table's text form
//   index_name(table, name)     the SQL name of a registered index
extern const Declaration kCatalogueModuleFunctions[4];

}  // namespace tablora
