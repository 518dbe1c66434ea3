// Declarations: the docstring with its text signature, and the call.
#include "base/declaration.hpp"

#include "base/state.hpp"

#include <utility>

namespace tablora {

Declaration::Declaration(std::string name, std::string function, const char* bound,
                         const Parameter* first, size_t count, Erased body, const char* doc)
    : name_(std::move(name)),
      parameters_(std::move(function), first, count),
      body_(std::move(body)) {
  // The interpreter reads "name(...)\n--\n\n" as __text_signature__.
  doc_ = name_ + "(" + bound + parameters_.text() + ")\n--\n\n" + doc;
}

PyObject* Declaration::call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) const {
  PyObject* bound[kMostParameters];
  if (!parameters_.bind(args, nargs, kwnames, bound)) return nullptr;
  State& state = state_of(self);
  const char* outer = std::exchange(state.running, name_.c_str());
  PyObject* result = body_(self, bound);
  state.running = outer;
  return result;
}

PyMethodDef Declaration::method_def(FastCall entry) const {
  return {name_.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry)),
          METH_FASTCALL | METH_KEYWORDS, doc_.c_str()};
}

int Declaration::is_bound_in(PyObject* module) const {
  Ref function(PyObject_GetAttrString(module, name()));
  if (!function) return -1;
  if (!PyCFunction_Check(function.get()) || PyCFunction_GET_SELF(function.get()) != module)
    return 0;
  // Only the method tables made from this declaration point at its name.
  return reinterpret_cast<PyCFunctionObject*>(function.get())->m_ml->ml_name == name();
}

}  // namespace tablora
