// Helpers shared by every unit of the extension: owned references, argument
// parsing, the text form of a value, statements on a cursor, the commit rule
// and calls of sibling functions through the module's own names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tablora {

// Move-only owner of one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Holds the raised exception aside while clean-up statements run, then
// raises it again.
class SavedError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() : error_(PyErr_GetRaisedException()) {}
  void restore() { PyErr_SetRaisedException(error_.release()); }
#else
  SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  void restore() {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
  }
#endif
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
#if PY_VERSION_HEX < 0x030C0000
  ~SavedError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
#endif

 private:
#if PY_VERSION_HEX >= 0x030C0000
  Ref error_;
#else
  PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
#endif
};

// Per-module state: what initialisation resolves once.
struct State {
  Ref print;           // builtins.print
  Ref db_type;         // the DB class
  Ref false_none;      // the verdict (False, None), one shared object
  Ref empty_format;    // "" for format(value, "")
  Ref s_cursor, s_execute, s_executemany, s_fetchall, s_commit, s_close,
      s_connect, s_db_dict, s_sqlite3, s_tablora_state, s_name, s_address,
      s_autoindex_prefix, s_table, s_cols;
  void clear() { *this = State(); }
};

State& state_of(PyObject* module);
// The module object, for code that is reached without it (methods of DB).
PyObject* the_module();

// ---- arguments -------------------------------------------------------------

// Positional-or-keyword parameters with optional trailing defaults, reported
// with the interpreter's own wording. `out` receives borrowed references.
struct Signature {
  const char* function;
  std::initializer_list<const char*> names;
  Py_ssize_t required;
};
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out);

// ---- values ----------------------------------------------------------------

// format(value, "") as a str object.
Ref text_form(PyObject* value);
// Appends format(value, "") as UTF-8; false with the error set.
bool append_text(std::string& out, PyObject* value);
// A SQL statement text made of literal fragments and text forms of values.
struct Piece {
  Piece(const char* s) : literal(s) {}
  Piece(const std::string& s) : literal(s) {}
  Piece(PyObject* v) : value(v) {}
  std::string_view literal;
  PyObject* value = nullptr;
};
Ref compose(std::initializer_list<Piece> pieces);
Ref str(std::string_view utf8);
// A new tuple of the given objects (borrowed in, owned by the tuple): the
// form of statement parameters every DB-API driver accepts.
Ref tuple_of(std::initializer_list<PyObject*> items);
// Appends format(name, "") as an SQL identifier: as it stands when it is a
// plain identifier ([A-Za-z_][A-Za-z0-9_]*), else in double quotes with inner
// quotes doubled. For names read back from the database, which the caller
// never wrote into a statement.
bool append_identifier(std::string& out, PyObject* name);

// Calls visit(item) for every item of an iterable, in order, until visit
// returns false; false when iteration or a visit failed (error set).
template <class Visit>
bool for_each_item(PyObject* iterable, Visit&& visit) {
  Ref iterator(PyObject_GetIter(iterable));
  if (!iterator) return false;
  while (Ref item{PyIter_Next(iterator.get())})
    if (!visit(item.get())) return false;
  return !PyErr_Occurred();
}

// A value of a fetched row: borrowed from a tuple row, owned otherwise.
class Value {
 public:
  Value(PyObject* row, Py_ssize_t i) {
    if (PyTuple_CheckExact(row) && i < PyTuple_GET_SIZE(row)) {
      p_ = PyTuple_GET_ITEM(row, i);
    } else {
      owned_ = Ref(PySequence_GetItem(row, i));
      p_ = owned_.get();
    }
  }
  PyObject* get() const { return p_; }

 private:
  PyObject* p_ = nullptr;
  Ref owned_;
};

// Groups rows by their values at some members, under the host's equality
// and hash (1 == 1.0, None == None, text never equals a number), comparing
// in place in the rows: no key objects are made. Rows are borrowed and must
// outlive the index.
class TupleIndex {
 public:
  explicit TupleIndex(std::vector<Py_ssize_t> members) : members_(std::move(members)) {}
  void reserve(size_t rows);
  // The group of the row's tuple, numbered from 0 in order of first sight;
  // -1 with the error set. `fresh` tells a new group, `has_null` a None.
  int group_of(PyObject* row, bool* fresh, bool* has_null);
  // The row that first showed a group's tuple.
  PyObject* first_row(int group) const { return firsts_[group]; }
  const std::vector<Py_ssize_t>& members() const { return members_; }
  size_t size() const { return firsts_.size(); }

 private:
  struct Slot {
    uint64_t hash = 0;
    int group = -1;
  };
  int same_tuple(PyObject* a, PyObject* b) const;
  void grow();

  std::vector<Py_ssize_t> members_;
  std::vector<Slot> slots_ = std::vector<Slot>(16);
  std::vector<PyObject*> firsts_;
};

// ---- the connection ----------------------------------------------------------

Ref open_cursor(PyObject* conn);
// cursor.execute(sql) or cursor.execute(sql, params); the result is the cursor.
Ref execute(PyObject* cursor, PyObject* sql, PyObject* params = nullptr);
// Rows handed to executemany at most this many at a time.
constexpr Py_ssize_t kChunkRows = 8192;
// The parameters of one row: a tuple or list as it is, anything else the
// tuple of its values; nullptr with the error set.
PyObject* row_parameters(PyObject* row);
// cursor.executemany(sql, chunk) for consecutive chunks of the rows, each a
// list of at most kChunkRows rows made by make_row (a new reference, or
// nullptr with the error set). Pending signals are checked between chunks.
// When a row cannot be made, the rows before it are still sent and then the
// error is raised, as a lazy iterator would have it.
bool execute_many(PyObject* cursor, PyObject* sql, PyObject* rows,
                  PyObject* (*make_row)(PyObject*) = row_parameters);
// cursor.execute(...).fetchall()
Ref fetch_all(PyObject* cursor, PyObject* sql, PyObject* params = nullptr);
// Opens the connection's transaction before a schema statement, as the
// driver itself does before INSERT, UPDATE and DELETE; false with the error
// set. Without it the driver commits a CREATE or DROP at once, so neither
// comm=False nor a failure could leave it uncommitted. Connections in
// autocommit mode, and objects that do not tell, are left as they are.
bool begin_before_schema_change(PyObject* conn, PyObject* cursor);
// Sends "BEGIN IMMEDIATE" when the library opens transactions on this
// connection (as above) and none is open: a merge then holds the write lock
// from its first read to its commit, so no other writer can change the rows
// it has read. `began` tells whether it was sent.
bool begin_write_transaction(PyObject* conn, PyObject* cursor, bool* began);
// conn.rollback() while an error is set, keeping that error: for a call that
// fails before its first write, to end the transaction it opened itself.
void roll_back_keeping_error(PyObject* conn);
// One read snapshot for a reader that sends several statements: when no
// transaction is open, "SAVEPOINT tablora_find" first and "RELEASE
// tablora_find" at the end, also when the reader failed.
class ReadSnapshot {
 public:
  ReadSnapshot(PyObject* conn, PyObject* cursor) : conn_(conn), cursor_(cursor) {}
  // False with the error set.
  bool open();
  // Releases the snapshot; `ok` tells whether the reader succeeded. A failed
  // reader's error is kept; false when the error is set.
  bool close(bool ok);
  ~ReadSnapshot() { if (opened_) close(false); }

 private:
  PyObject* conn_;
  PyObject* cursor_;
  bool opened_ = false;
};
// Commits conn only when comm == True, and only when no signal is pending:
// a Ctrl-C that arrived during the call is raised before the commit, never
// after it. False with the error set.
bool commit_if_asked(PyObject* conn, PyObject* comm);
// Calls the module-level function `name` at the time of the call with
// keyword arguments only; false with the error set.
bool call_sibling(PyObject* module, const char* name,
                  std::initializer_list<std::pair<const char*, PyObject*>> kwargs);

// ---- the functions of each unit ----------------------------------------------

#define TABLORA_FN(name) \
  PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
TABLORA_FN(insert_index);
TABLORA_FN(drop_index);
TABLORA_FN(active_table_index);
TABLORA_FN(drop_table_index);
TABLORA_FN(insert_unique);
TABLORA_FN(drop_unique);
TABLORA_FN(create_table);
TABLORA_FN(insert_temp);
TABLORA_FN(delete_row_main);
TABLORA_FN(temp_to_main);
TABLORA_FN(insert_main);
TABLORA_FN(drop_table);
TABLORA_FN(find);
TABLORA_FN(check_newest_unique);

// A fast-call function as the PyCFunction that METH_FASTCALL | METH_KEYWORDS
// entries store.
inline PyCFunction as_method(PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

// The DB class, built during module execution.
Ref make_db_class(PyObject* module);

}  // namespace tablora

namespace tablora {

// ---- the catalogue -------------------------------------------------------------

extern const char kCreateIndexTable[];
extern const char kCreateUniqueTable[];
// The SQL name of a registered index: text(table) + "_" + text(name).
Ref sql_index_name(PyObject* table, PyObject* name);
// "CREATE INDEX if not exists <sql name> ON <table> (<columns>)"
Ref create_index_statement(PyObject* sql_name, PyObject* table, PyObject* columns);
// The table's unique rules, in catalogue order: dict rule name -> list of
// column positions parsed from col_num.
Ref read_unique_rules(PyObject* cursor, PyObject* table);
// The main table's column names from "PRAGMA table_info(<table>)".
Ref read_columns(PyObject* cursor, PyObject* table);

}  // namespace tablora
