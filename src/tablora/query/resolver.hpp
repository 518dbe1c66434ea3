// The resolver's verdict on one row, by its own lookups in both tiers, for
// the readers that cannot link rows in memory: SQL compares rule columns
// under collations that only SQLite knows. find and newest_rows share it.
#pragma once

#include "query/link_graph.hpp"
#include "sql/driver.hpp"

namespace tablora {

// Whether the row (tier, id) with these values (a sequence, row id not
// included) is the newest of its linked rows, as _check_newest_unique
// decides it. 1, 0, or -1 with the error set.
int newest_by_lookups(const Call& call, PyObject* table, PyObject* uniques, PyObject* cols,
                      PyObject* total_select, Tier tier, long long id, PyObject* values);

}  // namespace tablora
