// The catalogue tables, the SQL name of a registered index, and the readers
// of a table's columns and unique rules.
#include "catalogue.hpp"

#include "text.hpp"

namespace tablora {

const char kCreateIndexTable[] =
    "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)";
const char kCreateUniqueTable[] =
    "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)";

Ref sql_index_name(PyObject* table, PyObject* name) { return compose({table, "_", name}); }

Ref create_index_statement(PyObject* sql_name, PyObject* table, PyObject* columns) {
  return compose({"CREATE INDEX if not exists ", sql_name, " ON ", table, " (", columns, ")"});
}

Ref read_columns(Call& call, PyObject* table) {
  Ref sql = compose({"PRAGMA table_info(", table, ")"});
  if (!sql) return Ref();
  Ref rows = call.fetch_all(sql.get());
  if (!rows) return Ref();
  Ref names(PyList_New(0));
  if (!names) return Ref();
  const bool read = for_each_item(rows.get(), [&](PyObject* row) {
    Ref column(PySequence_GetItem(row, 1));
    return column && PyList_Append(names.get(), column.get()) == 0;
  });
  return read ? std::move(names) : Ref();
}

Ref read_rule_positions(Call& call, PyObject* table) {
  Ref params = text_parameters({table});
  if (!params) return Ref();
  Ref rows = call.fetch_all("SELECT * FROM unique_table WHERE table_name = ?", params.get());
  if (!rows) return Ref();
  Ref rules(PyDict_New());
  if (!rules) return Ref();
  Ref comma(PyUnicode_FromString(","));
  if (!comma) return Ref();
  const bool read = for_each_item(rows.get(), [&](PyObject* row) {
    Ref rule_name(PySequence_GetItem(row, 1));
    if (!rule_name) return false;
    Ref col_num(PySequence_GetItem(row, 3));
    if (!col_num) return false;
    // col_num.split(",") and int() of every piece, as the host does them.
    Ref pieces(PyObject_CallMethod(col_num.get(), "split", "O", comma.get()));
    if (!pieces) return false;
    Ref positions(PySequence_List(pieces.get()));
    if (!positions) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions.get()); ++i) {
      PyObject* number = PyNumber_Long(PyList_GET_ITEM(positions.get(), i));
      if (number == nullptr) return false;
      PyList_SetItem(positions.get(), i, number);
    }
    return PyDict_SetItem(rules.get(), rule_name.get(), positions.get()) == 0;
  });
  return read ? std::move(rules) : Ref();
}

bool unique_rules_from(PyObject* positions_by_rule, PyObject* columns,
                       std::vector<UniqueRule>& rules) {
  const Py_ssize_t width = PyObject_Size(columns);
  if (width < 0) return false;
  Ref items(PyMapping_Items(positions_by_rule));
  if (!items) return false;
  return for_each_item(items.get(), [&](PyObject* item) {
    UniqueRule rule;
    rule.name = Ref(PySequence_GetItem(item, 0));
    if (!rule.name) return false;
    Ref positions(PySequence_GetItem(item, 1));
    if (!positions) return false;
    const bool read = for_each_item(positions.get(), [&](PyObject* number) {
      Py_ssize_t at = PyNumber_AsSsize_t(number, PyExc_IndexError);
      if (at == -1 && PyErr_Occurred()) return false;
      if (at < 0) at += width;
      if (at < 0 || at >= width) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
      }
      Ref column(PySequence_GetItem(columns, at));
      if (!column) return false;
      rule.positions.push_back(at);
      rule.columns.push_back(std::move(column));
      return true;
    });
    if (!read) return false;
    rules.push_back(std::move(rule));
    return true;
  });
}

bool read_unique_rules(Call& call, PyObject* table, PyObject* columns,
                       std::vector<UniqueRule>& rules) {
  Ref positions_by_rule = read_rule_positions(call, table);
  return positions_by_rule && unique_rules_from(positions_by_rule.get(), columns, rules);
}

}  // namespace tablora
