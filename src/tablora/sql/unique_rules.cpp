// A table's unique rules; see unique_rules.hpp.
#include "sql/unique_rules.hpp"

#include "sql/catalogue.hpp"

namespace tablora {

Ref read_rule_positions(Call& call, const TableNames& table) {
  Ref params = table.parameters();
  if (!params) return Ref();
  Ref rows = call.fetch_all(kSelectRuleRows, params.get());
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
                       std::vector<UniqueRule>& rules,
                       const std::vector<Collation>* column_collations) {
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
      if (column_collations && static_cast<size_t>(at) < column_collations->size())
        rule.collations.push_back((*column_collations)[static_cast<size_t>(at)]);
      return true;
    });
    if (!read) return false;
    rules.push_back(std::move(rule));
    return true;
  });
}

}  // namespace tablora
