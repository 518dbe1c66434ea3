// Transitional: the helpers as rows.cpp and query.cpp still call them, on a
// bare connection or cursor, with the module found through the_module()
// instead of being passed along. Each forwards to a Call. Only those two
// units include this header (through common.hpp); once their helpers take a
// Call, this header, the_module() and common.hpp go.
#pragma once

#include "catalogue.hpp"
#include "driver.hpp"

namespace tablora {

// The module object while it is loaded (defined in module.cpp).
PyObject* the_module();

inline Ref open_cursor(PyObject* conn) {
  Call call(the_module(), conn);
  return call.open_cursor() ? call.take_cursor() : Ref();
}
inline bool execute(PyObject* cursor, PyObject* sql, PyObject* params = nullptr) {
  return Call(the_module(), nullptr, cursor).execute(sql, params);
}
inline Ref fetch_all(PyObject* cursor, PyObject* sql, PyObject* params = nullptr) {
  return Call(the_module(), nullptr, cursor).fetch_all(sql, params);
}
inline bool execute_many(PyObject* cursor, PyObject* sql, PyObject* rows,
                         PyObject* (*make_row)(PyObject*) = row_parameters) {
  return Call(the_module(), nullptr, cursor).execute_many(sql, rows, make_row);
}
inline bool begin_write_transaction(PyObject* conn, PyObject* cursor, bool* began) {
  return Call(the_module(), conn, cursor).begin_write_transaction(began);
}
inline void roll_back_keeping_error(PyObject* conn) {
  Call(the_module(), conn).roll_back_keeping_error();
}
inline bool commit_if_asked(PyObject* conn, PyObject* comm) {
  return Call(the_module(), conn).commit_if_asked(comm);
}
inline Ref read_columns(PyObject* cursor, PyObject* table) {
  Call call(the_module(), nullptr, cursor);
  return read_columns(call, table);
}
inline Ref read_unique_rules(PyObject* cursor, PyObject* table) {
  Call call(the_module(), nullptr, cursor);
  return read_rule_positions(call, table);
}

class ReadSnapshot {
 public:
  ReadSnapshot(PyObject* conn, PyObject* cursor)
      : call_(the_module(), conn, cursor), snapshot_(call_) {}
  bool open() { return snapshot_.open(); }
  bool close(bool ok) { return snapshot_.close(ok); }

 private:
  Call call_;
  Snapshot snapshot_;
};

}  // namespace tablora
