// Unique rules: insert_unique records a rule with its supporting index,
// drop_unique deletes the rule's row.
#include "tables/unique_registry.hpp"
#include "tables/index_registry.hpp"
#include "sql/catalogue.hpp"
#include "sql/driver.hpp"
#include "sql/mutating_call.hpp"

namespace tablora {

namespace {

// Ensures unique_table, then deletes the rule's row (names bound as text).
bool delete_rule_row(Call& call, PyObject* table, PyObject* name) {
  if (!call.begin_before_schema_change() || !call.execute(kCreateUniqueTable)) return false;
  Ref params = text_parameters({table, name});
  return params && call.execute(kDeleteRuleRow, params.get());
}


PyObject* insert_unique(PyObject* module, const Arguments<6>& args) {
  const auto [conn, table, name, cols, cols_num, comm] = args;
  MutatingCall call(module, conn, comm);
  if (!call.open() || !delete_rule_row(call, table, name)) return nullptr;
  Ref row = tuple_of({table, name, cols, cols_num});
  if (!row || !call.execute(kInsertRuleRow, row.get()))
    return nullptr;
  Ref index(PyDict_New());
  if (!index || PyDict_SetItemString(index.get(), "table", table) < 0 ||
      PyDict_SetItemString(index.get(), "name", name) < 0 ||
      PyDict_SetItemString(index.get(), "cols", cols) < 0)
    return nullptr;
  return call.finish(call.call_sibling(kInsertIndex, {{"index", index.get()}}));
}

PyObject* drop_unique(PyObject* module, const Arguments<4>& args) {
  const auto [conn, table, name, comm] = args;
  MutatingCall call(module, conn, comm);
  return call.finish(call.open() && delete_rule_row(call, table, name));
}

}  // namespace

const Declaration kInsertUnique{
    "insert_unique", {"conn", "table", "name", "cols", "cols_num", "comm=True"}, insert_unique,
    "Insert uniques of table, the last one with unique features replaces old ones.\n\n"
    "insert_unique(conn, 'homes', 'unique_0', 'name,address', '0,2')\n"
    "Records the rule in unique_table and registers its supporting index."};

const Declaration kDropUnique{
    "drop_unique", {"conn", "table", "name", "comm=True"}, drop_unique,
    "Delete one unique of table.\n\nThe supporting index stays registered."};

}  // namespace tablora
