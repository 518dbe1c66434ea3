// A managed table's columns as SQLite declares them: their names (never
// rowid, which every statement of the library names), and their declared
// collations.
#pragma once

#include "sql/collation.hpp"
#include "sql/driver.hpp"
#include "sql/table_names.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tablora {

// Refuses, with ValueError, a column named rowid in any letter case: it
// would hide the row id that every statement of the library names rowid.
// (The other aliases, oid and _rowid_, stay free.) `columns` are names as
// SQLite reads them, unquoted. False with the error set.
bool refuse_rowid_column(PyObject* table, const std::vector<std::string>& columns);
// The column names of the table named `table` from "PRAGMA table_info(<table>)",
// after refuse_rowid_column, whose message shows `shown` (by default the name).
Ref read_columns(Call& call, std::string_view table, PyObject* shown = nullptr);
// The declared collation of every column of `cols` (the names read_columns
// gives), in their order, from the CREATE TABLE text SQLite keeps for the
// main table: what its rows' equality follows in SQL. BINARY for a column
// that declares none, and for every column when there is no such text.
// False with the error set.
bool read_column_collations(Call& call, const TableNames& table, PyObject* cols,
                            std::vector<Collation>& out);

}  // namespace tablora
