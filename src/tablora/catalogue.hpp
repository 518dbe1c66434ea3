// What the database records about managed tables: the catalogue tables
// index_table and unique_table, the SQL names of registered indexes, a
// table's columns and its unique rules.
#pragma once

#include "driver.hpp"

namespace tablora {

extern const char kCreateIndexTable[];
extern const char kCreateUniqueTable[];

// The SQL name of a registered index: text(table) + "_" + text(name).
Ref sql_index_name(PyObject* table, PyObject* name);
// "CREATE INDEX if not exists <sql name> ON <table> (<columns>)"
Ref create_index_statement(PyObject* sql_name, PyObject* table, PyObject* columns);

// The main table's column names from "PRAGMA table_info(<table>)".
Ref read_columns(Call& call, PyObject* table);
// The table's unique rules as unique_table records them, in catalogue
// order: dict rule name -> list of column positions parsed from col_num.
Ref read_rule_positions(Call& call, PyObject* table);

}  // namespace tablora
