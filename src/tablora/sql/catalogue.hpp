// The catalogue: the tables index_table and unique_table that record each
// managed table's indexes and unique rules, their statements, and the
// functions through which the package's Python code reads them.
#pragma once

#include "base/declaration.hpp"
#include "sql/driver.hpp"

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

// The functions of tablora._catalogue, through which the package's Python
// code reads the catalogue as the library does (the module is made by
// core/private_modules.cpp; typed by _catalogue.pyi):
//   prepare(conn)               prepare_catalogue
//   rule_positions(conn, table) read_rule_positions
//   staging_name(table)         "temp_" + the table's text form
//   index_name(table, name)     the SQL name of a registered index
extern const Declaration kCatalogueModuleFunctions[4];

}  // namespace tablora
