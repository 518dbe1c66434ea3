// Unique rules: insert_unique records a rule with its supporting index,
// drop_unique deletes the rule's row.
#include "core/functions.hpp"
#include "sql/catalogue.hpp"
#include "sql/driver.hpp"

namespace tablora {

namespace {

// Ensures unique_table, then deletes the rule's row (names bound as text).
bool replace_prelude(Call& call, PyObject* table, PyObject* name) {
  if (!call.begin_before_schema_change() || !call.execute(kCreateUniqueTable)) return false;
  Ref params = text_parameters({table, name});
  return params && call.execute(kDeleteRuleRow, params.get());
}

}  // namespace

PyObject* insert_unique(PyObject* module, const ArgumentsOf<signature::insert_unique>& args) {
  const auto [conn, table, name, cols, cols_num, comm] = args;
  Call call(module, conn);
  if (!call.open_cursor() || !replace_prelude(call, table, name)) return nullptr;
  Ref row = tuple_of({table, name, cols, cols_num});
  if (!row || !call.execute(kInsertRuleRow, row.get()))
    return nullptr;
  Ref index(PyDict_New());
  if (!index || PyDict_SetItemString(index.get(), "table", table) < 0 ||
      PyDict_SetItemString(index.get(), "name", name) < 0 ||
      PyDict_SetItemString(index.get(), "cols", cols) < 0)
    return nullptr;
  return none_unless_failed(call.call_sibling("insert_index", {{"index", index.get()}}) &&
                            call.commit_if_asked(comm));
}

PyObject* drop_unique(PyObject* module, const ArgumentsOf<signature::drop_unique>& args) {
  const auto [conn, table, name, comm] = args;
  Call call(module, conn);
  return none_unless_failed(call.open_cursor() && replace_prelude(call, table, name) &&
                            call.commit_if_asked(comm));
}

}  // namespace tablora
