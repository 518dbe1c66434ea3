// Reading a result a bounded chunk at a time: cursor.fetchmany(n) until it
// comes back empty, with pending signals checked between chunks.
#pragma once

#include "sql/driver.hpp"

namespace tablora {

// Rows fetched per fetchmany call.
constexpr Py_ssize_t kFetchRows = 4096;

// Runs sql (with params, when given) on a cursor of its own and calls
// visit(row) for every row, in order, until visit returns false; false when
// the statement, a fetch, a signal or a visit failed (error set). A cursor
// of its own because some drivers return nothing more from a cursor once it
// has used fetchmany, and because the caller's cursor stays free meanwhile.
template <class Visit>
bool for_each_fetched(const Call& call, PyObject* sql, PyObject* params, Visit&& visit) {
  Call reader(call.module(), call.conn());
  if (!reader.open_cursor() || !reader.execute(sql, params)) return false;
  PyObject* cursor = reader.cursor();
  Ref size(PyLong_FromSsize_t(kFetchRows));
  if (!size) return false;
  Ref name(PyUnicode_InternFromString("fetchmany"));
  if (!name) return false;
  while (true) {
    PyObject* argv[] = {cursor, size.get()};
    Ref chunk(PyObject_VectorcallMethod(name.get(), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
    if (!chunk) return false;
    Ref rows(PySequence_Fast(chunk.get(), "fetchmany() must return a sequence"));
    if (!rows) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows.get());
    if (count == 0) return true;
    for (Py_ssize_t i = 0; i < count; ++i)
      if (!visit(PySequence_Fast_GET_ITEM(rows.get(), i))) return false;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

}  // namespace tablora
