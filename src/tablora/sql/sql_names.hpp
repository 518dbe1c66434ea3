// How SQLite reads names: its case rule, its keywords, which names can stand
// unquoted, and the columns (names and collations) a column list declares.
#pragma once

#include "base/ref.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tablora {

// SQLite's rule for names (and the NOCASE collation): equal when equal with
// ASCII letters folded; other characters must match exactly.
bool same_sql_name(std::string_view a, std::string_view b);
// The same for two objects when both are str; otherwise the host's ==.
// 1 or 0, or -1 with the error set.
int same_sql_name(PyObject* a, PyObject* b);

// Whether SQLite reads `word` as one of its keywords, in any letter case.
bool is_sql_keyword(std::string_view word);
// Whether `name` can stand in a statement unquoted: [A-Za-z_][A-Za-z0-9_]*
// and not a keyword.
bool is_plain_identifier(std::string_view name);

// The names of the columns a column list declares, as SQLite reads them:
// the first token of every comma-separated definition, unquoted ("x",
// [x], `x` and 'x' give x); "a INTEGER, \"b c\" TEXT" gives a and b c.
// Commas inside parentheses or quotes, and comments, are skipped; a table
// constraint (PRIMARY KEY (...), CHECK (...), ...) declares no column.
std::vector<std::string> declared_column_names(std::string_view definitions);

// A column of a column list: its name and the collation it declares
// (COLLATE <name>, unquoted), empty when it declares none.
struct DeclaredColumn {
  std::string name;
  std::string collation;
};
// The columns a column list declares, as declared_column_names reads them.
std::vector<DeclaredColumn> declared_columns(std::string_view definitions);
// The column list of a CREATE TABLE text, as SQLite keeps it in
// sqlite_master.sql: the text inside its outer parentheses; empty for
// CREATE TABLE ... AS SELECT.
std::string_view table_definitions(std::string_view create_table);

}  // namespace tablora
