// Rows grouped by their values at some members, compared in place, without
// making key objects.
#pragma once

#include "sql/collation.hpp"
#include "sql/row.hpp"

#include <cstdint>
#include <vector>

namespace tablora {

// Groups rows by their values at some members, under the host's equality
// and hash (1 == 1.0, None == None, text never equals a number), texts
// compared as the member's collation compares them (NOCASE, RTRIM; under
// any other collation a value stands for its class, when the classes were
// read, else as BINARY), in place in the rows: no key objects are made.
// Rows are borrowed and must outlive the index.
class TupleIndex {
 public:
  // `collations`, one per member, or none for BINARY throughout.
  explicit TupleIndex(std::vector<Py_ssize_t> members,
                      const std::vector<Collation>& collations = {});
  void reserve(size_t rows);
  // The group of the row's tuple, numbered from 0 in order of first sight;
  // -1 with the error set. `fresh` tells a new group, `has_null` a None.
  int group_of(PyObject* row, bool* fresh, bool* has_null);
  // Brings the slot of a row's tuple into the cache ahead of group_of; the
  // row's members lie `shift` further on. False with the error set.
  bool prefetch(PyObject* row, Py_ssize_t shift) const;
  // The 64-bit hash of a row's tuple, which equal tuples share (the
  // members lie `shift` further on); `has_null` tells a None. False with the
  // error set.
  bool key_hash(PyObject* row, Py_ssize_t shift, uint64_t* hash, bool* has_null) const;
  // The row that first showed a group's tuple.
  PyObject* first_row(int group) const { return firsts_[group]; }
  const std::vector<Py_ssize_t>& members() const { return members_; }

 private:
  struct Slot {  // 8 bytes: the table is the index's main cost
    uint32_t hash = 0;
    int group = -1;
  };
  int same_tuple(PyObject* a, PyObject* b) const;
  void grow();
  // The value member i of the row compares by: the value standing for its
  // class under a collation only SQLite knows, else the value itself.
  // Nullptr with the error set.
  PyObject* compared(const Value& value, size_t i) const;

  std::vector<Py_ssize_t> members_;
  std::vector<Collation::Kind> folds_;  // per member; kBinary for one that does not fold
  std::vector<PyObject*> classes_;      // per member; Collation::classes
  std::vector<Slot> slots_ = std::vector<Slot>(16);
  std::vector<PyObject*> firsts_;
};

}  // namespace tablora
