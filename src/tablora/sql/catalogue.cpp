// The catalogue tables, their statements and the functions of
// tablora._catalogue.
#include "sql/catalogue.hpp"

#include "sql/table_names.hpp"
#include "sql/text.hpp"
#include "sql/unique_rules.hpp"

namespace tablora {

const char kCreateIndexTable[] =
    "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)";
const char kCreateUniqueTable[] =
    "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)";

bool prepare_catalogue(Call& call) {
  return call.execute(kCreateIndexTable) && call.execute(kCreateUniqueTable) &&
         Ref(PyObject_CallMethodNoArgs(call.conn(), state_of(call.module()).s_commit.get()));
}

const char kSelectIndexRows[] = "SELECT * FROM index_table WHERE " TABLORA_SAME_TABLE;
const char kSelectRuleRows[] = "SELECT * FROM unique_table WHERE " TABLORA_SAME_TABLE;
const char kDeleteIndexRow[] =
    "DELETE FROM index_table where " TABLORA_SAME_TABLE " AND index_name = ?";
const char kDeleteRuleRow[] =
    "DELETE FROM unique_table where " TABLORA_SAME_TABLE " AND unique_name = ?";
const char kDeleteTableIndexRows[] = "DELETE FROM index_table Where " TABLORA_SAME_TABLE;
const char kDeleteTableRuleRows[] = "DELETE FROM unique_table Where " TABLORA_SAME_TABLE;
const char kInsertIndexRow[] = "INSERT INTO index_table Values (?,?,?)";
const char kInsertRuleRow[] = "INSERT INTO unique_table Values (?,?,?,?)";

// ---- the functions of tablora._catalogue ---------------------------------------------

namespace {

PyObject* prepare(PyObject* module, const Arguments<1>& args) {
  Call call(module, args[0]);
  return none_unless_failed(call.open_cursor() && prepare_catalogue(call));
}

PyObject* rule_positions(PyObject* module, const Arguments<2>& args) {
  const auto [conn, table] = args;
  Call call(module, conn);
  const std::optional<TableNames> names = TableNames::of(table);
  return names && call.open_cursor() ? read_rule_positions(call, *names).release() : nullptr;
}

PyObject* staging_name(PyObject*, const Arguments<1>& args) {
  const std::optional<TableNames> names = TableNames::of(args[0]);
  return names ? str(names->staging()).release() : nullptr;
}

PyObject* index_name(PyObject*, const Arguments<2>& args) {
  const std::optional<TableNames> names = TableNames::of(args[0]);
  std::string sql_name;
  return names && names->index(args[1], sql_name) ? str(sql_name).release() : nullptr;
}

}  // namespace

const Declaration kCatalogueModuleFunctions[4] = {
    {"prepare", {"conn"}, prepare,
     "Create the catalogue tables when they are missing, and commit."},
    {"rule_positions", {"conn", "table"}, rule_positions,
     "The table's unique rules: rule name -> column positions, in catalogue order."},
    {"staging_name", {"table"}, staging_name, "The name of the table's staging twin."},
    {"index_name", {"table", "name"}, index_name, "The SQL name of a registered index."},
};

}  // namespace tablora
