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
// A new list of the given objects (borrowed in, owned by the list).
Ref list_of(std::initializer_list<PyObject*> items);

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
// cursor.executemany(sql, rows)
Ref execute_many(PyObject* cursor, PyObject* sql, PyObject* rows);
// cursor.execute(...).fetchall()
Ref fetch_all(PyObject* cursor, PyObject* sql, PyObject* params = nullptr);
// Opens the connection's transaction before a schema statement, as the
// driver itself does before INSERT, UPDATE and DELETE; false with the error
// set. Without it the driver commits a CREATE or DROP at once, so neither
// comm=False nor a failure could leave it uncommitted. Connections in
// autocommit mode, and objects that do not tell, are left as they are.
bool begin_before_schema_change(PyObject* conn, PyObject* cursor);
// Commits conn only when comm == True; false with the error set.
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
