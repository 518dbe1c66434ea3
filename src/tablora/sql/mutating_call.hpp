// One call of a module-level function that changes the database: its cursor
// opened, the table it names formatted once, and its work committed at the
// end as its `comm` asks.
#pragma once

#include "sql/driver.hpp"
#include "sql/table_names.hpp"

#include <optional>

namespace tablora {

class MutatingCall : public Call {
 public:
  MutatingCall(PyObject* module, PyObject* conn, PyObject* comm)
      : Call(module, conn), comm_(comm) {}

  // Opens the cursor; false with the error set.
  bool open() { return open_cursor(); }
  // Opens the cursor and formats `table` once, for table(); false with the
  // error set.
  bool open(PyObject* table) {
    if (!open_cursor()) return false;
    table_ = TableNames::of(table);
    return table_.has_value();
  }
  // The names of the table given to open().
  const TableNames& table() const { return *table_; }

  // The function's result: None when the work succeeded (`ok`) and the
  // commit `comm` asks for succeeded too; nullptr with the error set.
  PyObject* finish(bool ok) { return none_unless_failed(ok && commit_if_asked(comm_)); }

 private:
  PyObject* comm_;
  std::optional<TableNames> table_;
};

}  // namespace tablora
