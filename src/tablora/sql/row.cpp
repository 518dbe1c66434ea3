// Reading fetched rows; see row.hpp.
#include "sql/row.hpp"

#include "sql/text.hpp"

namespace tablora {

bool row_id_of(PyObject* row, long long* id) {
  Value value(row, 0);
  if (value.get() == nullptr) return false;
  *id = PyLong_AsLongLong(value.get());
  return !(*id == -1 && PyErr_Occurred());
}

Ref split_row(PyObject* row, long long* id) {
  if (!row_id_of(row, id)) return Ref();
  if (PyTuple_CheckExact(row)) {  // as drivers fetch rows: copied without a check per value
    const Py_ssize_t width = PyTuple_GET_SIZE(row);
    Ref values(PyList_New(width - 1));
    if (!values) return values;
    PyObject** from = &PyTuple_GET_ITEM(row, 1);
    PyObject** to = &PyList_GET_ITEM(values.get(), 0);
    for (Py_ssize_t i = 0; i < width - 1; ++i) to[i] = Py_NewRef(from[i]);
    return values;
  }
  const Py_ssize_t width = PyObject_Size(row);
  if (width < 0) return Ref();
  Ref values(PyList_New(width > 0 ? width - 1 : 0));
  if (!values) return values;
  for (Py_ssize_t i = 1; i < width; ++i) {
    Value value(row, i);
    if (value.get() == nullptr) return Ref();
    PyList_SET_ITEM(values.get(), i - 1, Py_NewRef(value.get()));
  }
  return values;
}

void untrack_plain_row(PyObject* row) {
  if (Py_TYPE(row)->tp_dictoffset != 0) return;  // its attributes may refer back
  PyObject** values = PySequence_Fast_ITEMS(row);
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(row); ++i)
    if (PyType_IS_GC(Py_TYPE(values[i])) && PyObject_GC_IsTracked(values[i])) return;
  PyObject_GC_UnTrack(row);
}

bool append_row_columns(std::string& out, PyObject* cols, const char* qualifier) {
  out += qualifier;
  out += "rowid";
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
    out += ",";
    out += qualifier;
    if (!append_identifier(out, PyList_GET_ITEM(cols, i))) return false;
  }
  return true;
}

}  // namespace tablora
