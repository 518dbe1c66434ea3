// The module's state: resolved once when the module executes.
#include "base/state.hpp"

namespace tablora {

namespace {

bool intern(Ref& slot, const char* text) {
  slot = Ref(PyUnicode_InternFromString(text));
  return static_cast<bool>(slot);
}

}  // namespace

bool State::init() {
  Ref builtins(PyImport_ImportModule("builtins"));
  if (!builtins) return false;
  print = Ref(PyObject_GetAttrString(builtins.get(), "print"));
  if (!print) return false;
  false_none = Ref(PyTuple_Pack(2, Py_False, Py_None));
  if (!false_none) return false;
  return intern(s_cursor, "cursor") && intern(s_execute, "execute") &&
         intern(s_executemany, "executemany") && intern(s_fetchall, "fetchall") &&
         intern(s_commit, "commit") && intern(s_close, "close") &&
         intern(s_connect, "connect") && intern(s_db_dict, "DB_dict") &&
         intern(s_sqlite3, "sqlite3") && intern(s_tablora_state, "tablora_state") &&
         intern(s_name, "name") && intern(s_address, "address") &&
         intern(s_table, "table") &&
         intern(s_cols, "cols");
}

bool State::alive() const {
  if (s_cursor) return true;
  PyErr_SetString(PyExc_RuntimeError, "the tablora module has been unloaded");
  return false;
}

int State::traverse(visitproc visit, void* arg) {
  Py_VISIT(print.get());
  Py_VISIT(db_type.get());
  Py_VISIT(rows_type.get());
  return 0;
}

}  // namespace tablora
