// The module's state: what initialisation resolves once, reached from the
// module object every function receives.
#pragma once

#include "base/ref.hpp"

namespace tablora {

struct State {
  Ref print;       // builtins.print
  Ref db_type;     // the DB class
  Ref rows_type;   // the iterator tablora._read.newest_rows returns
  Ref false_none;  // the verdict (False, None), one shared object
  // The library function running now (the innermost), for messages.
  const char* running = nullptr;
  // Interned names of the methods and attributes the library uses.
  Ref s_cursor, s_execute, s_executemany, s_fetchall, s_commit, s_close, s_connect, s_db_dict,
      s_sqlite3, s_tablora_state, s_name, s_address, s_table, s_cols;

  // Resolves everything but db_type; false with the error set.
  bool init();
  // False, with RuntimeError set, once the module has been cleared.
  bool alive() const;
  int traverse(visitproc visit, void* arg);
  void clear() { *this = State(); }
};

inline State& state_of(PyObject* module) {
  return *static_cast<State*>(PyModule_GetState(module));
}

}  // namespace tablora
