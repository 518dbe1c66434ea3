// A function as Python sees it, declared once: its name, its parameters and
// its docstring, with the body that receives the bound arguments. The
// PyMethodDef entry, its __text_signature__ and the argument binding all
// follow from the declaration. Each unit declares the functions whose bodies
// it holds; the module binds them (core/module.cpp).
//
// The wording of every docstring, and of every statement the functions send,
// is public contract as it stands, misspellings included ("drooping",
// "selcted", the parameter eqivalent_set, "DELETE From"): callers read and
// match them, so they are kept, not corrected.
#pragma once

#include "base/arguments.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace tablora {

// A body: `self` (the module, for the library's functions and DB's methods
// alike) and the arguments bound in the declaration's order.
template <size_t N>
using Body = PyObject* (*)(PyObject* self, const Arguments<N>& args);

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

class Declaration {
 public:
  // A module-level function: name($module, /, parameters).
  template <size_t N>
  Declaration(const char* name, const Parameter (&parameters)[N], Body<N> body,
              const char* doc = "")
      : Declaration(name, name, "$module, /, ", parameters, N, erase(body), doc) {}

  // A method of a class: `owner` names it in argument errors
  // ("DB.__init__"); the text signature is name(parameters).
  template <size_t N>
  static Declaration method(const char* owner, const char* name,
                            const Parameter (&parameters)[N], Body<N> body) {
    return Declaration(name, std::string(owner) + "." + name, "", parameters, N, erase(body), "");
  }

  const char* name() const { return name_.c_str(); }
  // 1 when the module-level name of this declaration is still its own
  // function, bound to `module`; 0 when a caller has replaced it, -1 with
  // the error set.
  int is_bound_in(PyObject* module) const;
  // Binds the arguments and runs the body.
  PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) const;
  PyMethodDef method_def(FastCall entry) const;

 private:
  static constexpr size_t kMostParameters = 8;
  using Erased = std::function<PyObject*(PyObject*, PyObject* const*)>;

  Declaration(std::string name, std::string function, const char* bound, const Parameter* first,
              size_t count, Erased body, const char* doc);

  template <size_t N>
  static Erased erase(Body<N> body) {
    static_assert(N <= kMostParameters);
    return [body](PyObject* self, PyObject* const* bound) {
      Arguments<N> args;
      std::copy_n(bound, N, args.begin());
      return body(self, args);
    };
  }

  std::string name_;
  Parameters parameters_;
  std::string doc_;  // the text signature, then the docstring
  Erased body_;
};

// A row of a table of declarations: the declarations themselves, or
// pointers to those that other units declare.
inline const Declaration& row(const Declaration& declaration) { return declaration; }
inline const Declaration& row(const Declaration* declaration) { return *declaration; }

// The METH_FASTCALL | METH_KEYWORDS entry point of row I of a table.
template <const auto& Table, size_t I>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return row(Table[I]).call(self, args, nargs, kwnames);
}

// The method table of a table of declarations, null entry last. Built once:
// the functions made from it keep pointing into it.
template <const auto& Table>
PyMethodDef* method_table() {
  static auto defs = []<size_t... I>(std::index_sequence<I...>) {
    return std::array<PyMethodDef, sizeof...(I) + 1>{row(Table[I]).method_def(entry<Table, I>)...,
                                                     PyMethodDef{nullptr, nullptr, 0, nullptr}};
  }(std::make_index_sequence<std::size(Table)>{});
  return defs.data();
}

}  // namespace tablora
