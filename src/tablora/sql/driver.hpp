// One call of a library function as it reaches the DB-API driver: the
// module and its state, the caller's connection and one cursor on it.
// Statements, executemany in bounded chunks, the commit rule, the start of
// the transactions the library opens and calls of sibling functions all go
// through a Call, the one object a helper takes.
#pragma once

#include "base/declaration.hpp"
#include "base/state.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

namespace tablora {

// Rows handed to executemany at most this many at a time.
constexpr Py_ssize_t kChunkRows = 8192;
// The parameters of one row: a tuple or list as it is, anything else the
// tuple of its values; nullptr with the error set.
PyObject* row_parameters(PyObject* row);
// A new tuple of the given objects (borrowed in, owned by the tuple): the
// form of statement parameters every DB-API driver accepts.
Ref tuple_of(std::initializer_list<PyObject*> items);
// The tuple of the names' text forms: names bound as parameters, so a quote
// in a name cannot reach the SQL. Empty with the error set.
Ref text_parameters(std::initializer_list<PyObject*> names);

// A keyword argument of a sibling call.
using Keyword = std::pair<const char*, PyObject*>;

// A mutating function's result: None when it succeeded, else nullptr with
// the error set.
inline PyObject* none_unless_failed(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

class Call {
 public:
  Call(PyObject* module, PyObject* conn)
      : state_(state_of(module)), module_(module), conn_(conn) {}

  PyObject* module() const { return module_; }
  PyObject* conn() const { return conn_; }
  PyObject* cursor() const { return cursor_.get(); }

  // conn.cursor(), through which every statement below goes; false with the
  // error set.
  bool open_cursor();
  // cursor.execute(sql) or cursor.execute(sql, params); false with the
  // error set.
  bool execute(PyObject* sql, PyObject* params = nullptr);
  bool execute(std::string_view sql, PyObject* params = nullptr);
  // cursor.execute(...).fetchall()
  Ref fetch_all(PyObject* sql, PyObject* params = nullptr);
  Ref fetch_all(std::string_view sql, PyObject* params = nullptr);
  // The integers of the first row of sql's result, in order; NULL reads as
  // 0. False with the error set.
  bool fetch_integers(PyObject* sql, std::initializer_list<long long*> out);
  bool fetch_integers(std::string_view sql, std::initializer_list<long long*> out);
  // The cursor's rowcount after an INSERT, UPDATE or DELETE: the rows that
  // statement changed. False with the error set.
  bool rows_changed(long long* out);
  // cursor.executemany(sql, chunk) for consecutive chunks of the rows, each
  // a list of at most kChunkRows rows made by make_row (a new reference, or
  // nullptr with the error set). Pending signals are checked between
  // chunks. When a row cannot be made, the rows before it are still sent and
  // then the error is raised, as a lazy iterator would have it.
  bool execute_many(PyObject* sql, PyObject* rows,
                    PyObject* (*make_row)(PyObject*) = row_parameters);

  // Commits conn only when comm == True, and only when no signal is
  // pending: a Ctrl-C that arrived during the call is raised before the
  // commit. One that arrives during the commit itself is raised at once,
  // with a note that names the call and says its work was committed, so
  // that nobody repeats it. False with the error set.
  bool commit_if_asked(PyObject* comm);
  // The commit of commit_if_asked, asked for; `committed` tells whether
  // conn.commit() returned, also when a signal is raised after it.
  bool commit(bool* committed);
  // Calls the module-level function of `sibling`'s name as it is at the
  // time of the call (a caller may have replaced it), with conn, then
  // `arguments`, then comm=False, all as keywords: the caller commits once,
  // at its end. False with the error set.
  bool call_sibling(const Declaration& sibling, std::initializer_list<Keyword> arguments = {});

  // ---- the connection's transaction (transactions.cpp) ----
  // Opens the connection's transaction before a schema statement, as the
  // driver itself does before INSERT, UPDATE and DELETE; false with the
  // error set. Without it the driver commits a CREATE or DROP at once, so
  // neither comm=False nor a failure could leave it uncommitted.
  // Connections in autocommit mode, and objects that do not tell, are left
  // as they are.
  bool begin_before_schema_change();
  // conn.rollback() while an error is set, keeping that error: to end a
  // transaction the call opened itself and that failed.
  void roll_back_keeping_error();
  // Sends sql while an error is set, keeping that error; a failure of sql
  // itself is dropped.
  void execute_keeping_error(std::string_view sql);

 private:
  bool execute_chunk(PyObject* sql, PyObject* chunk);

  const State& state_;
  PyObject* module_;
  PyObject* conn_;
  Ref cursor_;
};

}  // namespace tablora
