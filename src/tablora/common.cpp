// Shared helpers: argument parsing, text forms, statements, commit rule.
#include "common.hpp"

#include <algorithm>
#include <vector>

namespace tablora {

namespace {

void report_missing(const Signature& sig, const std::vector<const char*>& missing) {
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == missing.size()) list += "and ";
    list += "'";
    list += missing[i];
    list += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
               sig.function, static_cast<Py_ssize_t>(missing.size()),
               missing.size() == 1 ? "" : "s", list.c_str());
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
  const Py_ssize_t total = static_cast<Py_ssize_t>(sig.names.size());
  if (nargs > total) {
    if (sig.required == total) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                   sig.function, total, total == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zd to %zd positional arguments but %zd %s given",
                   sig.function, sig.required, total, nargs, nargs == 1 ? "was" : "were");
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    Py_ssize_t i = 0;
    for (const char* name : sig.names) {
      if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
        slot = i;
        break;
      }
      ++i;
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   sig.function, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.function,
                   key);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  std::vector<const char*> missing;
  Py_ssize_t i = 0;
  for (const char* name : sig.names) {
    if (i < sig.required && out[i] == nullptr) missing.push_back(name);
    ++i;
  }
  if (!missing.empty()) {
    report_missing(sig, missing);
    return false;
  }
  return true;
}

Ref text_form(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  return Ref(PyObject_Format(value, state_of(the_module()).empty_format.get()));
}

bool append_text(std::string& out, PyObject* value) {
  Ref text = text_form(value);
  if (!text) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return false;
  out.append(utf8, static_cast<size_t>(size));
  return true;
}

Ref compose(std::initializer_list<Piece> pieces) {
  std::string sql;
  for (const Piece& piece : pieces) {
    if (piece.value != nullptr) {
      if (!append_text(sql, piece.value)) return Ref();
    } else {
      sql.append(piece.literal);
    }
  }
  return str(sql);
}

Ref str(std::string_view utf8) {
  return Ref(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
  return tuple;
}

bool append_identifier(std::string& out, PyObject* name) {
  std::string text;
  if (!append_text(text, name)) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  bool plain = !text.empty() && letter(text[0]);
  for (char c : text) plain = plain && (letter(c) || (c >= '0' && c <= '9'));
  if (plain) {
    out += text;
    return true;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return true;
}

Ref open_cursor(PyObject* conn) {
  PyObject* argv[] = {conn};
  return Ref(PyObject_VectorcallMethod(state_of(the_module()).s_cursor.get(), argv,
                                       1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref execute(PyObject* cursor, PyObject* sql, PyObject* params) {
  PyObject* argv[] = {cursor, sql, params};
  return Ref(PyObject_VectorcallMethod(state_of(the_module()).s_execute.get(), argv,
                                       (params ? 3 : 2) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr));
}

PyObject* row_parameters(PyObject* row) {
  if (PyTuple_CheckExact(row) || PyList_CheckExact(row)) return Py_NewRef(row);
  return PySequence_Tuple(row);
}

namespace {

bool execute_chunk(PyObject* cursor, PyObject* sql, PyObject* chunk) {
  PyObject* argv[] = {cursor, sql, chunk};
  return static_cast<bool>(Ref(PyObject_VectorcallMethod(
      state_of(the_module()).s_executemany.get(), argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
      nullptr)));
}

// A list or tuple whose rows are all bound as they are.
bool binds_as_it_is(PyObject* rows) {
  if (!PyList_CheckExact(rows) && !PyTuple_CheckExact(rows)) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows);
  PyObject** items = PySequence_Fast_ITEMS(rows);
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!PyTuple_CheckExact(items[i]) && !PyList_CheckExact(items[i])) return false;
  return true;
}

}  // namespace

bool execute_many(PyObject* cursor, PyObject* sql, PyObject* rows,
                  PyObject* (*make_row)(PyObject*)) {
  if (make_row == row_parameters && binds_as_it_is(rows)) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows);
    if (count <= kChunkRows && PyList_CheckExact(rows)) return execute_chunk(cursor, sql, rows);
    for (Py_ssize_t start = 0; start < count; start += kChunkRows) {
      if (start > 0 && PyErr_CheckSignals() < 0) return false;
      Ref slice(PySequence_GetSlice(rows, start, std::min(count, start + kChunkRows)));
      if (!slice) return false;
      Ref chunk = PyList_CheckExact(slice.get()) ? std::move(slice)
                                                  : Ref(PySequence_List(slice.get()));
      if (!chunk || !execute_chunk(cursor, sql, chunk.get())) return false;
    }
    return true;
  }
  Ref iterator(PyObject_GetIter(rows));
  if (!iterator) return false;
  bool first = true;
  while (true) {
    if (!first && PyErr_CheckSignals() < 0) return false;
    first = false;
    Ref chunk(PyList_New(0));
    if (!chunk) return false;
    bool ended = false;
    while (PyList_GET_SIZE(chunk.get()) < kChunkRows) {
      Ref item(PyIter_Next(iterator.get()));
      if (!item) {
        ended = true;
        break;
      }
      Ref row(make_row(item.get()));
      if (!row || PyList_Append(chunk.get(), row.get()) < 0) {
        ended = true;
        break;
      }
    }
    if (PyErr_Occurred()) {
      // The rows before the one that failed are sent first.
      SavedError failure;
      if (PyList_GET_SIZE(chunk.get()) > 0 && !execute_chunk(cursor, sql, chunk.get()))
        return false;
      failure.restore();
      return false;
    }
    if (PyList_GET_SIZE(chunk.get()) > 0 && !execute_chunk(cursor, sql, chunk.get()))
      return false;
    if (ended) return true;
  }
}

Ref fetch_all(PyObject* cursor, PyObject* sql, PyObject* params) {
  Ref result = execute(cursor, sql, params);
  if (!result) return result;
  PyObject* argv[] = {cursor};
  return Ref(PyObject_VectorcallMethod(state_of(the_module()).s_fetchall.get(), argv,
                                       1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

uint64_t mix(uint64_t h) {  // splitmix64 finaliser
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

}  // namespace

void TupleIndex::reserve(size_t rows) {
  size_t capacity = slots_.size();
  while (capacity < rows * 2) capacity <<= 1;
  if (capacity > slots_.size()) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.group < 0) continue;
      size_t i = slot.hash & mask;
      while (slots_[i].group >= 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }
}

void TupleIndex::grow() { reserve(slots_.size()); }

int TupleIndex::same_tuple(PyObject* a, PyObject* b) const {
  for (Py_ssize_t member : members_) {
    Value x(a, member), y(b, member);
    if (x.get() == nullptr || y.get() == nullptr) return -1;
    const int equal = x.get() == y.get() ? 1 : PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
    if (equal != 1) return equal;
  }
  return 1;
}

int TupleIndex::group_of(PyObject* row, bool* fresh, bool* has_null) {
  uint64_t hash = 0x9e3779b97f4a7c15ULL;
  *has_null = false;
  for (Py_ssize_t member : members_) {
    Value v(row, member);
    if (v.get() == nullptr) return -1;
    *has_null = *has_null || v.get() == Py_None;
    const Py_hash_t h = PyObject_Hash(v.get());
    if (h == -1 && PyErr_Occurred()) return -1;
    hash = mix(hash ^ static_cast<uint64_t>(h));
  }
  if ((firsts_.size() + 1) * 2 > slots_.size()) grow();
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.group < 0) {
      slot = {hash, static_cast<int>(firsts_.size())};
      firsts_.push_back(row);
      *fresh = true;
      return slot.group;
    }
    if (slot.hash != hash) continue;
    const int equal = same_tuple(firsts_[slot.group], row);
    if (equal < 0) return -1;
    if (equal) {
      *fresh = false;
      return slot.group;
    }
  }
}

namespace {

// getattr(obj, name), or an empty Ref without an error when it is missing.
Ref optional_attribute(PyObject* obj, const char* name) {
  Ref value(PyObject_GetAttrString(obj, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return value;
}

}  // namespace

namespace {

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

bool send(PyObject* cursor, const char* sql) {
  Ref text = str(sql);
  return text && execute(cursor, text.get());
}

}  // namespace

bool begin_before_schema_change(PyObject* conn, PyObject* cursor) {
  Ref level = level_to_begin(conn);
  if (!level) return !PyErr_Occurred();
  Ref begin = compose({"BEGIN ", level.get()});
  return begin && execute(cursor, begin.get());
}

bool begin_write_transaction(PyObject* conn, PyObject* cursor, bool* began) {
  *began = false;
  Ref level = level_to_begin(conn);
  if (!level) return !PyErr_Occurred();
  *began = send(cursor, "BEGIN IMMEDIATE");
  return *began;
}

void roll_back_keeping_error(PyObject* conn) {
  SavedError failure;
  if (!Ref(PyObject_CallMethod(conn, "rollback", nullptr))) PyErr_Clear();
  failure.restore();
}

bool ReadSnapshot::open() {
  bool unknown = false;
  const int in_transaction = transaction_open(conn_, &unknown);
  if (in_transaction < 0) return false;
  if (in_transaction > 0) return true;  // the caller's transaction is the snapshot
  if (!send(cursor_, "SAVEPOINT tablora_find")) return false;
  opened_ = true;
  return true;
}

bool ReadSnapshot::close(bool ok) {
  if (!opened_) return ok;
  opened_ = false;
  if (ok) return send(cursor_, "RELEASE tablora_find");
  SavedError failure;
  if (!send(cursor_, "RELEASE tablora_find")) PyErr_Clear();
  failure.restore();
  return false;
}

bool commit_if_asked(PyObject* conn, PyObject* comm) {
  const int asked = PyObject_RichCompareBool(comm, Py_True, Py_EQ);
  if (asked <= 0) return asked == 0;
  if (PyErr_CheckSignals() < 0) return false;
  PyObject* argv[] = {conn};
  Ref done(PyObject_VectorcallMethod(state_of(the_module()).s_commit.get(), argv,
                                     1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return static_cast<bool>(done);
}

bool call_sibling(PyObject* module, const char* name,
                  std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
  Ref function(PyObject_GetAttrString(module, name));
  if (!function) return false;
  Ref kwnames(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
  if (!kwnames) return false;
  std::vector<PyObject*> values;
  Py_ssize_t i = 0;
  for (const auto& [key, value] : kwargs) {
    PyObject* interned = PyUnicode_InternFromString(key);
    if (interned == nullptr) return false;
    PyTuple_SET_ITEM(kwnames.get(), i++, interned);
    values.push_back(value);
  }
  Ref result(PyObject_Vectorcall(function.get(), values.data(), 0, kwnames.get()));
  return static_cast<bool>(result);
}

}  // namespace tablora
