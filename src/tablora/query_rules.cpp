// Unique rules for the readers; see query_rules.hpp.
#include "query_rules.hpp"

namespace tablora {

bool prepare_rules(PyObject* uniques, PyObject* cols, std::vector<Rule>& rules) {
  const Py_ssize_t width = PyObject_Size(cols);
  if (width < 0) return false;
  Ref items(PyMapping_Items(uniques));
  if (!items) return false;
  for (Py_ssize_t r = 0; r < PyList_GET_SIZE(items.get()); ++r) {
    PyObject* positions = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), r), 1);
    Rule rule;
    const bool read = for_each_item(positions, [&](PyObject* number) {
      Ref column(PyObject_GetItem(cols, number));
      if (!column) return false;
      const Py_ssize_t k = PyNumber_AsSsize_t(number, PyExc_IndexError);
      if (k == -1 && PyErr_Occurred()) return false;
      // The value sits one further in a full row, behind the row id.
      rule.members.push_back((k < 0 ? k + width : k) + 1);
      rule.columns.push_back(std::move(column));
      return true;
    });
    if (!read) return false;
    rules.push_back(std::move(rule));
  }
  return true;
}

}  // namespace tablora
