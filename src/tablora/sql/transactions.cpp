// The transactions the library opens itself: before schema statements (the
// Call's own), for the whole of a merge, and the read snapshot of a reader.
#include "sql/transactions.hpp"

#include "sql/text.hpp"

namespace tablora {

namespace {

// getattr(obj, name), or an empty Ref without an error when it is missing.
Ref optional_attribute(PyObject* obj, const char* name) {
  Ref value(PyObject_GetAttrString(obj, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return value;
}

// 1 when a transaction is open, 0 when not, -1 with the error set; `unknown`
// when the connection does not tell.
int transaction_open(PyObject* conn, bool* unknown) {
  *unknown = false;
  Ref open = optional_attribute(conn, "in_transaction");
  if (!open) {
    *unknown = !PyErr_Occurred();
    return PyErr_Occurred() ? -1 : 0;
  }
  return PyObject_IsTrue(open.get());
}

// The isolation level when the library opens transactions on this
// connection and none is open: the driver's legacy transaction control with
// an isolation level that is not None. An empty Ref otherwise (error set on
// failure).
Ref level_to_begin(PyObject* conn) {
  bool unknown = false;
  const int open = transaction_open(conn, &unknown);
  if (open != 0 || unknown) return Ref();
  // The driver's explicit transaction modes manage transactions themselves.
  Ref autocommit = optional_attribute(conn, "autocommit");
  if (PyErr_Occurred()) return Ref();
  if (autocommit) {
    const long mode = PyLong_AsLong(autocommit.get());
    if (mode == -1 && PyErr_Occurred()) return Ref();
    if (mode != -1) return Ref();  // -1: the driver's legacy transaction control
  }
  Ref isolation = optional_attribute(conn, "isolation_level");
  if (!isolation || isolation.get() == Py_None) return Ref();  // None: autocommit
  return isolation;
}

}  // namespace

bool Call::begin_before_schema_change() {
  Ref level = level_to_begin(conn_);
  if (!level) return !PyErr_Occurred();
  Ref begin = compose({"BEGIN ", level.get()});
  return begin && execute(begin.get());
}

void Call::roll_back_keeping_error() {
  SavedError failure;
  if (!Ref(PyObject_CallMethod(conn_, "rollback", nullptr))) PyErr_Clear();
  failure.restore();
}

void Call::execute_keeping_error(std::string_view sql) {
  SavedError failure;
  if (!execute(sql)) PyErr_Clear();
  failure.restore();
}

bool WriteTransaction::open() {
  bool unknown = false;
  const int open = transaction_open(call_.conn(), &unknown);
  if (open < 0) return false;
  if (unknown) return true;  // a connection that does not tell is left as it is
  Ref level = level_to_begin(call_.conn());
  if (PyErr_Occurred()) return false;
  if (level) {
    began_ = call_.execute("BEGIN IMMEDIATE");
    return began_;
  }
  Ref autocommit = optional_attribute(call_.conn(), "autocommit");
  if (PyErr_Occurred()) return false;
  commit_ends_savepoint_ = open > 0 && autocommit.get() != Py_True;
  savepoint_ = call_.execute("SAVEPOINT tablora_merge");
  return savepoint_;
}

void WriteTransaction::undo_keeping_error() {
  if (began_) {
    call_.roll_back_keeping_error();
  } else if (savepoint_) {
    call_.execute_keeping_error("ROLLBACK TO tablora_merge");
    call_.execute_keeping_error("RELEASE tablora_merge");
  }
  began_ = savepoint_ = false;
}

bool WriteTransaction::end(bool ok, PyObject* comm) {
  const int asked = ok ? PyObject_RichCompareBool(comm, Py_True, Py_EQ) : 0;
  ok = ok && asked >= 0;
  if (ok && savepoint_ && !(asked && commit_ends_savepoint_)) {
    ok = call_.execute("RELEASE tablora_merge");
    if (ok) savepoint_ = false;
  }
  if (ok && asked) {
    bool committed = false;
    ok = call_.commit(&committed);
    // Committed, the work is the database's: a signal raised after the
    // commit leaves nothing to undo.
    if (committed) began_ = savepoint_ = false;
  }
  if (!ok) undo_keeping_error();
  return ok;
}

bool Snapshot::open() {
  bool unknown = false;
  const int in_transaction = transaction_open(call_.conn(), &unknown);
  if (in_transaction < 0) return false;
  if (in_transaction > 0) return true;  // the caller's transaction is the snapshot
  if (!call_.execute("SAVEPOINT tablora_find")) return false;
  opened_ = true;
  return true;
}

bool Snapshot::close(bool ok) {
  if (!opened_) return ok;
  opened_ = false;
  if (ok) return call_.execute("RELEASE tablora_find");
  call_.execute_keeping_error("RELEASE tablora_find");
  return false;
}

}  // namespace tablora
