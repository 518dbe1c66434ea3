// Unique rules as the readers of both tiers use them: the positions of the
// rule's values in a full row (row id first) and the columns' names.
#pragma once

#include <vector>

#include "common.hpp"

namespace tablora {

struct Rule {
  std::vector<Py_ssize_t> members;  // positions in a full row (row id first)
  std::vector<Ref> columns;         // column names, in the rule's order
};

// One Rule per entry of `uniques` (rule name -> column positions), in order.
// Positions count from the end of `cols` when negative. False with the error
// set (the host's index or type error for a position `cols` does not have).
bool prepare_rules(PyObject* uniques, PyObject* cols, std::vector<Rule>& rules);

}  // namespace tablora
