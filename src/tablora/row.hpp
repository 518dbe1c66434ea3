// Rows as the merge and find fetch them: the row id first, then the values.
#pragma once

#include "ref.hpp"

namespace tablora {

// The row id in member 0 of a fetched row; false with the error set.
bool row_id_of(PyObject* row, long long* id);
// A fetched full row (row id first) split into its row id and the list of
// its values: the list is what find returns for "*", so a kept candidate
// costs no copy. Empty with the error set.
Ref split_row(PyObject* row, long long* id);

}  // namespace tablora
