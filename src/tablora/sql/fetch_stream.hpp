// Reading a result a bounded chunk at a time: cursor.fetchmany(n) until it
// comes back empty, with pending signals checked between chunks. FetchCursor
// hands the chunks out on demand, to a reader that returns between them;
// for_each_fetched visits every row at once.
#pragma once

#include "sql/driver.hpp"

namespace tablora {

// Rows fetched per fetchmany call.
constexpr Py_ssize_t kFetchRows = 4096;

// A statement's result on a cursor of its own: some drivers return nothing
// more from a cursor once it has used fetchmany, and the caller's cursor
// stays free meanwhile.
class FetchCursor {
 public:
  // Runs sql (with params, when given); false with the error set.
  bool open(const Call& call, PyObject* sql, PyObject* params) {
    Call reader(call.module(), call.conn());
    if (!reader.open_cursor() || !reader.execute(sql, params)) return false;
    cursor_ = Ref::borrow(reader.cursor());
    size_ = Ref(PyLong_FromSsize_t(kFetchRows));
    name_ = Ref(PyUnicode_InternFromString("fetchmany"));
    return size_ && name_;
  }
  bool is_open() const { return static_cast<bool>(cursor_); }
  // The next chunk of rows as a fast sequence, empty at the end; empty with
  // the error set.
  Ref next_chunk() {
    PyObject* argv[] = {cursor_.get(), size_.get()};
    Ref chunk(PyObject_VectorcallMethod(name_.get(), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
    if (!chunk) return chunk;
    return Ref(PySequence_Fast(chunk.get(), "fetchmany() must return a sequence"));
  }
  // cursor.close(), which ends the statement's read before its result is
  // exhausted; false with the error set.
  bool close() {
    Ref cursor = std::move(cursor_);
    return !cursor || Ref(PyObject_CallMethod(cursor.get(), "close", nullptr));
  }

 private:
  Ref cursor_, size_, name_;
};

// Runs sql (with params, when given) on a cursor of its own and calls
// visit(row) for every row, in order, until visit returns false; false when
// the statement, a fetch, a signal or a visit failed (error set).
template <class Visit>
bool for_each_fetched(const Call& call, PyObject* sql, PyObject* params, Visit&& visit) {
  FetchCursor cursor;
  if (!cursor.open(call, sql, params)) return false;
  while (true) {
    Ref rows = cursor.next_chunk();
    if (!rows) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows.get());
    if (count == 0) return true;
    for (Py_ssize_t i = 0; i < count; ++i)
      if (!visit(PySequence_Fast_GET_ITEM(rows.get(), i))) return false;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

}  // namespace tablora
