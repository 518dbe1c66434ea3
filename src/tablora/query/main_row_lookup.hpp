// The statements find and newest_rows send to look up rows outside their
// passes: main rows by row id or by values under a rule, staged rows by
// values, a batch each, each through the index that serves it.
#pragma once

#include "sql/table_names.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tablora {

// The statements find sends to look up main rows, a batch at a time, each
// through the index that serves it.
class MainRowLookup {
 public:
  // Parameters per lookup statement: within what every engine binds (a
  // dqlite statement takes at most 255).
  static constexpr size_t kMostParameters = 250;

  // False with the error set.
  bool prepare(const TableNames& table, PyObject* cols);
  // "SELECT m.rowid,m.<column>... FROM <main> AS m WHERE m.rowid IN (?,...)"
  // for `count` row ids.
  std::string rows_by_id(size_t count) const;
  // "SELECT m.rowid FROM <main> AS m ..." of the main rows holding one of
  // `count` value tuples under `columns`: "WHERE m.<c> IN (?,...)" for one
  // column, a join with a VALUES list through the rule's index for several
  // (a row-value IN would scan). False with the error set.
  bool ids_by_values(const std::vector<Ref>& columns, size_t count, std::string& out) const;
  // Columns and the number of value tuples asked under them.
  using Asked = std::pair<const std::vector<Ref>*, size_t>;
  // "SELECT m.rowid,m.<column>... FROM <staging> AS m WHERE ..." of the
  // staged rows holding one of the asked value tuples under any of the
  // column lists: "m.<c> IN (?,...)" for one column, "(m.<c>,...) IN
  // (VALUES (?,...),...)" for several, joined by OR. False with the error
  // set.
  bool staged_by_values(const std::vector<Asked>& asked, std::string& out) const;

 private:
  std::string main_, staging_, full_row_;
};

}  // namespace tablora
