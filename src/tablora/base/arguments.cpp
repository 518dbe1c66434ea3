// Binding a fast call's arguments as the interpreter binds a Python
// function's, with its wording of every error.
#include "base/arguments.hpp"

namespace tablora {

namespace {

// The empty tuple, borrowed: the interpreter keeps one for its lifetime.
PyObject* empty_tuple() {
  static PyObject* empty = PyTuple_New(0);
  return empty;
}

}  // namespace

Parameters::Parameters(std::string function, const Parameter* first, size_t count)
    : function_(std::move(function)), list_(first, first + count) {
  for (const Parameter& parameter : list_) required_ += parameter.optional ? 0 : 1;
}

std::string Parameters::text() const {
  std::string text;
  for (const Parameter& parameter : list_) {
    if (!text.empty()) text += ", ";
    text += parameter.written;
  }
  return text;
}

Py_ssize_t Parameters::position_of(PyObject* keyword) const {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (utf8 == nullptr) {  // a keyword that is no text names no parameter
    PyErr_Clear();
    return -1;
  }
  const std::string_view key(utf8, static_cast<size_t>(size));
  for (size_t i = 0; i < list_.size(); ++i)
    if (list_[i].name == key) return static_cast<Py_ssize_t>(i);
  return -1;
}

void Parameters::report_missing(const std::vector<std::string_view>& missing) const {
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == missing.size()) list += "and ";
    list += "'";
    list += missing[i];
    list += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
               function_.c_str(), static_cast<Py_ssize_t>(missing.size()),
               missing.size() == 1 ? "" : "s", list.c_str());
}

bool Parameters::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** out) const {
  const char* function = function_.c_str();
  const Py_ssize_t total = static_cast<Py_ssize_t>(list_.size());
  if (nargs > total) {
    if (required_ == total) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                   function, total, total == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zd to %zd positional arguments but %zd %s given", function,
                   required_, total, nargs, nargs == 1 ? "was" : "were");
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t slot = position_of(key);
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                   key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, key);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  std::vector<std::string_view> missing;
  for (Py_ssize_t i = 0; i < required_; ++i)
    if (out[i] == nullptr) missing.push_back(list_[i].name);
  if (!missing.empty()) {
    report_missing(missing);
    return false;
  }
  for (Py_ssize_t i = required_; i < total; ++i) {
    if (out[i] != nullptr) continue;
    switch (list_[i].fallback) {
      case Default::kNoneValue:
        out[i] = Py_None;
        break;
      case Default::kEmptyTuple:
        out[i] = empty_tuple();
        if (out[i] == nullptr) return false;
        break;
      default:
        out[i] = Py_True;
    }
  }
  return true;
}

}  // namespace tablora
