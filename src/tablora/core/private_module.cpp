// The package's private modules made by the extension.
#include "core/private_module.hpp"

#include <cstring>

#include "base/ref.hpp"

namespace tablora {

bool add_private_module(PyObject* module, const char* qualified_name, PyMethodDef* defs,
                        PyObject** made) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref made_module(PyModule_New(qualified_name));
  if (!made_module) return false;
  for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
    Ref function(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function || PyModule_AddObjectRef(made_module.get(), def->ml_name, function.get()) < 0)
      return false;
  }
  // Importable as a submodule of the package from now on.
  const char* attribute = std::strrchr(qualified_name, '.');
  Ref package(PyImport_ImportModule("tablora"));
  if (!package || attribute == nullptr ||
      PyDict_SetItemString(PyImport_GetModuleDict(), qualified_name, made_module.get()) < 0 ||
      PyObject_SetAttrString(package.get(), attribute + 1, made_module.get()) < 0)
    return false;
  if (made) *made = made_module.get();
  return true;
}

}  // namespace tablora
