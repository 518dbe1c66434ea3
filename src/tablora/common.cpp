// Shared helpers: argument parsing, text forms, statements, commit rule.
#include "common.hpp"

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

Ref list_of(std::initializer_list<PyObject*> items) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
  return list;
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

Ref execute_many(PyObject* cursor, PyObject* sql, PyObject* rows) {
  PyObject* argv[] = {cursor, sql, rows};
  return Ref(PyObject_VectorcallMethod(state_of(the_module()).s_executemany.get(), argv,
                                       3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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

bool begin_before_schema_change(PyObject* conn, PyObject* cursor) {
  Ref open = optional_attribute(conn, "in_transaction");
  if (!open) return !PyErr_Occurred();
  const int in_transaction = PyObject_IsTrue(open.get());
  if (in_transaction != 0) return in_transaction > 0;
  // The driver's explicit transaction modes manage transactions themselves.
  Ref autocommit = optional_attribute(conn, "autocommit");
  if (PyErr_Occurred()) return false;
  if (autocommit) {
    const long mode = PyLong_AsLong(autocommit.get());
    if (mode == -1 && PyErr_Occurred()) return false;
    if (mode != -1) return true;  // -1: the driver's legacy transaction control
  }
  Ref isolation = optional_attribute(conn, "isolation_level");
  if (!isolation) return !PyErr_Occurred();
  if (isolation.get() == Py_None) return true;  // autocommit in legacy mode
  Ref begin = compose({"BEGIN ", isolation.get()});
  return begin && execute(cursor, begin.get());
}

bool commit_if_asked(PyObject* conn, PyObject* comm) {
  const int asked = PyObject_RichCompareBool(comm, Py_True, Py_EQ);
  if (asked <= 0) return asked == 0;
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
