// Rows as the merge and find fetch them: the row id first, then the values;
// Value reads one member in place, and append_row_columns writes the column
// list that fetches such a row.
#pragma once

#include "base/ref.hpp"

#include <string>

namespace tablora {

// A value of a fetched row: borrowed from a tuple row or a value list (find's
// rows, which nothing changes while they are read), owned otherwise.
class Value {
 public:
  Value(PyObject* row, Py_ssize_t i) {
    if (PyTuple_CheckExact(row) && i < PyTuple_GET_SIZE(row)) {
      p_ = PyTuple_GET_ITEM(row, i);
    } else if (PyList_CheckExact(row) && i >= 0 && i < PyList_GET_SIZE(row)) {
      p_ = PyList_GET_ITEM(row, i);
    } else {
      owned_ = Ref(PySequence_GetItem(row, i));
      p_ = owned_.get();
    }
  }
  PyObject* get() const { return p_; }

 private:
  PyObject* p_ = nullptr;
  Ref owned_;
};

// The row id in member 0 of a fetched row; false with the error set.
bool row_id_of(PyObject* row, long long* id);
// A fetched full row (row id first) split into its row id and the list of
// its values: the list is what find returns for "*", so a kept candidate
// costs no copy. Empty with the error set.
Ref split_row(PyObject* row, long long* id);

// Leaves a handed-out row (a list or a tuple, subclasses without an
// instance dict included) out of the cycle collector when none of its
// values is tracked by it (texts, numbers, bytes, None: what drivers
// fetch), as the host leaves such tuples once it sees them: a read of a
// million rows then costs no collection that visits every row again. A row
// list later made to refer to itself is then not collected.
void untrack_plain_row(PyObject* row);

// "rowid" and ",<column>" for every column of `cols` (a list), each prefixed
// by `qualifier`: a full row, row id first. False with the error set.
bool append_row_columns(std::string& out, PyObject* cols, const char* qualifier = "");

}  // namespace tablora
