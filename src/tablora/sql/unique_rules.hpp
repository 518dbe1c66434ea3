// A table's unique rules: as unique_table records them (rule name -> column
// positions), and ready for use against a column list.
#pragma once

#include "sql/collation.hpp"
#include "sql/driver.hpp"
#include "sql/table_names.hpp"

#include <vector>

namespace tablora {

// The table's unique rules as unique_table records them, in catalogue
// order: dict rule name -> list of column positions parsed from col_num.
Ref read_rule_positions(Call& call, const TableNames& table);

// A unique rule ready for use: the positions of its columns in the column
// list (0 for the first column), their names and, when known, their
// collations, in the rule's order.
struct UniqueRule {
  Ref name;
  std::vector<Py_ssize_t> positions;
  std::vector<Ref> columns;
  std::vector<Collation> collations;  // empty when not read: BINARY
};
// The rules of a mapping rule name -> iterable of positions, against the
// column list, with the collations of `column_collations` (one per column)
// when given. A negative position counts from the end; one out of range
// raises IndexError "tuple index out of range". False with the error set.
bool unique_rules_from(PyObject* positions_by_rule, PyObject* columns,
                       std::vector<UniqueRule>& rules,
                       const std::vector<Collation>* column_collations = nullptr);

}  // namespace tablora
