// What the database records about managed tables: the catalogue tables
// index_table and unique_table, the SQL names of registered indexes, a
// table's columns and its unique rules.
#pragma once

#include "driver.hpp"

#include <string>
#include <vector>

namespace tablora {

extern const char kCreateIndexTable[];
extern const char kCreateUniqueTable[];

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

// The SQL name of a registered index: text(table) + "_" + text(name).
Ref sql_index_name(PyObject* table, PyObject* name);
// "CREATE INDEX if not exists <sql name> ON <table> (<columns>)"
Ref create_index_statement(PyObject* sql_name, PyObject* table, PyObject* columns);

// Refuses, with ValueError, a column named rowid in any letter case: it
// would hide the row id that every statement of the library names rowid.
// (The other aliases, oid and _rowid_, stay free.) `columns` are names as
// SQLite reads them, unquoted. False with the error set.
bool refuse_rowid_column(PyObject* table, const std::vector<std::string>& columns);
// The main table's column names from "PRAGMA table_info(<table>)", after
// refuse_rowid_column.
Ref read_columns(Call& call, PyObject* table);
// The table's unique rules as unique_table records them, in catalogue
// order: dict rule name -> list of column positions parsed from col_num.
Ref read_rule_positions(Call& call, PyObject* table);

// A unique rule ready for use: the positions of its columns in the column
// list (0 for the first column) and their names, in the rule's order.
struct UniqueRule {
  Ref name;
  std::vector<Py_ssize_t> positions;
  std::vector<Ref> columns;
};
// The rules of a mapping rule name -> iterable of positions, against the
// column list. A negative position counts from the end; one out of range
// raises IndexError "tuple index out of range". False with the error set.
bool unique_rules_from(PyObject* positions_by_rule, PyObject* columns,
                       std::vector<UniqueRule>& rules);
// The table's unique rules, in catalogue order: read_rule_positions, then
// unique_rules_from against `columns`.
bool read_unique_rules(Call& call, PyObject* table, PyObject* columns,
                       std::vector<UniqueRule>& rules);

}  // namespace tablora
