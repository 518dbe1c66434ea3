// Rows grouped by their values at some members, compared in place: Value
// reads one member of a fetched row, TupleIndex groups rows by tuples of
// members without making key objects.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <vector>

namespace tablora {

// A value of a fetched row: borrowed from a tuple row, owned otherwise.
class Value {
 public:
  Value(PyObject* row, Py_ssize_t i) {
    if (PyTuple_CheckExact(row) && i < PyTuple_GET_SIZE(row)) {
      p_ = PyTuple_GET_ITEM(row, i);
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

// Groups rows by their values at some members, under the host's equality
// and hash (1 == 1.0, None == None, text never equals a number), comparing
// in place in the rows: no key objects are made. Rows are borrowed and must
// outlive the index.
class TupleIndex {
 public:
  explicit TupleIndex(std::vector<Py_ssize_t> members) : members_(std::move(members)) {}
  void reserve(size_t rows);
  // The group of the row's tuple, numbered from 0 in order of first sight;
  // -1 with the error set. `fresh` tells a new group, `has_null` a None.
  int group_of(PyObject* row, bool* fresh, bool* has_null);
  // The row that first showed a group's tuple.
  PyObject* first_row(int group) const { return firsts_[group]; }
  const std::vector<Py_ssize_t>& members() const { return members_; }
  size_t size() const { return firsts_.size(); }

 private:
  struct Slot {  // 8 bytes: the table is the index's main cost
    uint32_t hash = 0;
    int group = -1;
  };
  int same_tuple(PyObject* a, PyObject* b) const;
  void grow();

  std::vector<Py_ssize_t> members_;
  std::vector<Slot> slots_ = std::vector<Slot>(16);
  std::vector<PyObject*> firsts_;
};

}  // namespace tablora
