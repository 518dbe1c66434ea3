// The package's private modules made by the extension; see
// private_modules.hpp.
#include "core/private_modules.hpp"

#include <cstring>

#include "base/declaration.hpp"
#include "base/state.hpp"
#include "query/newest_rows.hpp"
#include "sql/catalogue.hpp"
#include "sql/driver.hpp"
#include "sql/text.hpp"
#include "tables/merge.hpp"

namespace tablora {

namespace {

// Makes the module `qualified_name` ("tablora._name") with the functions of
// `defs` (null entry last), bound to `module`, and registers it in
// sys.modules and as an attribute of the package. The new module goes to
// `made` when given (a borrowed reference). False with the error set.
bool add_private_module(PyObject* module, const char* qualified_name, PyMethodDef* defs,
                        PyObject** made = nullptr) {
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

// tablora._catalogue, with TABLES: the two CREATE TABLE statements, in order.
bool add_catalogue_module(PyObject* module) {
  PyObject* made = nullptr;
  if (!add_private_module(module, "tablora._catalogue",
                          method_table<kCatalogueModuleFunctions>(), &made))
    return false;
  Ref index_table = str(kCreateIndexTable), unique_table = str(kCreateUniqueTable);
  Ref tables =
      index_table && unique_table ? tuple_of({index_table.get(), unique_table.get()}) : Ref();
  return tables && PyModule_AddObjectRef(made, "TABLES", tables.get()) == 0;
}

// tablora._read, with its iterator type NewestRows.
bool add_read_module(PyObject* module) {
  PyObject* made = nullptr;
  if (!add_private_module(module, "tablora._read", method_table<kReadModuleFunctions>(), &made))
    return false;
  State& state = state_of(module);
  state.rows_type = Ref(PyType_FromModuleAndSpec(module, &kNewestRowsSpec, nullptr));
  return state.rows_type && PyModule_AddObjectRef(made, "NewestRows", state.rows_type.get()) == 0;
}

// tablora._surface, with FUNCTIONS: the names of the module's functions in
// binding order, as declared, which the surface's checks count from.
bool add_surface_module(PyObject* module, const PyMethodDef* functions) {
  static PyMethodDef none[] = {{nullptr, nullptr, 0, nullptr}};
  PyObject* made = nullptr;
  if (!add_private_module(module, "tablora._surface", none, &made)) return false;
  Ref names(PyList_New(0));
  if (!names) return false;
  for (const PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
    Ref name(PyUnicode_FromString(def->ml_name));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return false;
  }
  Ref tuple(PyList_AsTuple(names.get()));
  return tuple && PyModule_AddObjectRef(made, "FUNCTIONS", tuple.get()) == 0;
}

}  // namespace

bool add_private_modules(PyObject* module, const PyMethodDef* functions) {
  return add_catalogue_module(module) &&
         add_private_module(module, "tablora._merge", method_table<kMergeModuleFunctions>()) &&
         add_read_module(module) && add_surface_module(module, functions);
}

}  // namespace tablora
