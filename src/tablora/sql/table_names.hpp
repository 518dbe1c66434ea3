// A managed table's names, formatted once per call: the main table, its
// staging twin and the SQL names of its registered indexes.
#pragma once

#include "sql/driver.hpp"

#include <optional>
#include <string>

namespace tablora {

// The names of one managed table: the main table as format(table, "") gives
// it, its staging twin "temp_" + main, and the SQL name of each registered
// index, main + "_" + the index's name.
class TableNames {
 public:
  // format(table, "") once; nothing with the error set.
  static std::optional<TableNames> of(PyObject* table);

  // The caller's object, for messages and for sibling calls.
  PyObject* given() const { return given_; }
  // The text form as a str: what catalogue statements bind as a parameter.
  PyObject* text() const { return text_.get(); }
  // (text,): the parameters of a catalogue statement by table. Empty with
  // the error set.
  Ref parameters() const { return tuple_of({text_.get()}); }
  const std::string& main() const { return main_; }
  const std::string& staging() const { return staging_; }
  // The SQL name of the registered index `name`; false with the error set.
  bool index(PyObject* name, std::string& out) const;

 private:
  PyObject* given_ = nullptr;
  Ref text_;
  std::string main_, staging_;
};

}  // namespace tablora
