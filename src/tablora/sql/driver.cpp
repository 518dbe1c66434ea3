// Statements through the driver: the cursor, execute, executemany in
// chunks, fetchall, the commit rule and sibling calls.
#include "sql/driver.hpp"

#include "sql/text.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace tablora {

namespace {

// self.<name>(args...) through the interned method name. The vector is
// writable: the offset flag lets the callee borrow its first slot.
template <class... Args>
Ref call_method(PyObject* name, PyObject* self, Args... args) {
  PyObject* vector[] = {self, args...};
  const size_t count = 1 + sizeof...(Args);
  return Ref(PyObject_VectorcallMethod(name, vector, count | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr));
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

// Adds a note (PEP 678) to the raised exception.
void add_note(const std::string& note) {
#if PY_VERSION_HEX >= 0x030C0000
  Ref error(PyErr_GetRaisedException());
  if (!Ref(PyObject_CallMethod(error.get(), "add_note", "s", note.c_str()))) PyErr_Clear();
  PyErr_SetRaisedException(error.release());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (!Ref(PyObject_CallMethod(value, "add_note", "s", note.c_str()))) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
#endif
}

}  // namespace

PyObject* row_parameters(PyObject* row) {
  if (PyTuple_CheckExact(row) || PyList_CheckExact(row)) return Py_NewRef(row);
  return PySequence_Tuple(row);
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
  return tuple;
}

Ref text_parameters(std::initializer_list<PyObject*> names) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return tuple;
  Py_ssize_t i = 0;
  for (PyObject* name : names) {
    Ref text = text_form(name);
    if (!text) return Ref();
    PyTuple_SET_ITEM(tuple.get(), i++, text.release());
  }
  return tuple;
}

bool Call::open_cursor() {
  cursor_ = call_method(state_.s_cursor.get(), conn_);
  return static_cast<bool>(cursor_);
}

bool Call::execute(PyObject* sql, PyObject* params) {
  Ref result = params ? call_method(state_.s_execute.get(), cursor_.get(), sql, params)
                      : call_method(state_.s_execute.get(), cursor_.get(), sql);
  return static_cast<bool>(result);
}

bool Call::execute(std::string_view sql, PyObject* params) {
  Ref text = str(sql);
  return text && execute(text.get(), params);
}

Ref Call::fetch_all(PyObject* sql, PyObject* params) {
  if (!execute(sql, params)) return Ref();
  return call_method(state_.s_fetchall.get(), cursor_.get());
}

bool Call::fetch_integers(PyObject* sql, std::initializer_list<long long*> out) {
  Ref rows = fetch_all(sql);
  if (!rows) return false;
  Ref row(PySequence_GetItem(rows.get(), 0));
  if (!row) return false;
  Py_ssize_t i = 0;
  for (long long* target : out) {
    Ref value(PySequence_GetItem(row.get(), i++));
    if (!value) return false;
    *target = value.get() == Py_None ? 0 : PyLong_AsLongLong(value.get());
    if (*target == -1 && PyErr_Occurred()) return false;
  }
  return true;
}

bool Call::fetch_integers(std::string_view sql, std::initializer_list<long long*> out) {
  Ref text = str(sql);
  return text && fetch_integers(text.get(), out);
}

bool Call::rows_changed(long long* out) {
  Ref count(PyObject_GetAttrString(cursor_.get(), "rowcount"));
  if (!count) return false;
  *out = PyLong_AsLongLong(count.get());
  return !(*out == -1 && PyErr_Occurred());
}

Ref Call::fetch_all(std::string_view sql, PyObject* params) {
  Ref text = str(sql);
  return text ? fetch_all(text.get(), params) : Ref();
}

bool Call::execute_chunk(PyObject* sql, PyObject* chunk) {
  return static_cast<bool>(call_method(state_.s_executemany.get(), cursor_.get(), sql, chunk));
}

bool Call::execute_many(PyObject* sql, PyObject* rows, PyObject* (*make_row)(PyObject*)) {
  if (make_row == row_parameters && binds_as_it_is(rows)) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows);
    if (count <= kChunkRows && PyList_CheckExact(rows)) return execute_chunk(sql, rows);
    for (Py_ssize_t start = 0; start < count; start += kChunkRows) {
      if (start > 0 && PyErr_CheckSignals() < 0) return false;
      Ref slice(PySequence_GetSlice(rows, start, std::min(count, start + kChunkRows)));
      if (!slice) return false;
      Ref chunk = PyList_CheckExact(slice.get()) ? std::move(slice)
                                                  : Ref(PySequence_List(slice.get()));
      if (!chunk || !execute_chunk(sql, chunk.get())) return false;
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
      if (PyList_GET_SIZE(chunk.get()) > 0 && !execute_chunk(sql, chunk.get())) return false;
      failure.restore();
      return false;
    }
    if (PyList_GET_SIZE(chunk.get()) > 0 && !execute_chunk(sql, chunk.get())) return false;
    if (ended) return true;
  }
}

bool Call::commit_if_asked(PyObject* comm) {
  const int asked = PyObject_RichCompareBool(comm, Py_True, Py_EQ);
  if (asked <= 0) return asked == 0;
  bool committed = false;
  return commit(&committed);
}

bool Call::commit(bool* committed) {
  *committed = false;
  if (PyErr_CheckSignals() < 0) return false;
  if (!call_method(state_.s_commit.get(), conn_)) return false;
  *committed = true;
  // A signal that arrived during the commit would otherwise be raised by
  // the caller's next instruction, as if the call had failed.
  if (PyErr_CheckSignals() == 0) return true;
  std::string note = "tablora.";
  note += state_.running ? state_.running : "call";
  note += " committed its work before this exception was raised: do not repeat the call";
  add_note(note);
  return false;
}

bool Call::call_sibling(const Declaration& sibling, std::initializer_list<Keyword> arguments) {
  Ref function(PyObject_GetAttrString(module_, sibling.name()));
  if (!function) return false;
  std::vector<Keyword> keywords{{"conn", conn_}};
  keywords.insert(keywords.end(), arguments);
  keywords.emplace_back("comm", Py_False);
  Ref kwnames(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
  if (!kwnames) return false;
  std::vector<PyObject*> values;
  Py_ssize_t i = 0;
  for (const auto& [key, value] : keywords) {
    PyObject* interned = PyUnicode_InternFromString(key);
    if (interned == nullptr) return false;
    PyTuple_SET_ITEM(kwnames.get(), i++, interned);
    values.push_back(value);
  }
  Ref result(PyObject_Vectorcall(function.get(), values.data(), 0, kwnames.get()));
  return static_cast<bool>(result);
}

}  // namespace tablora
