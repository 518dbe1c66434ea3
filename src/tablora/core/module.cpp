// The module entry: multi-phase initialisation, the one-interpreter rule,
// the module's functions, the DB class and the package's private modules.
#include "base/declaration.hpp"
#include "base/state.hpp"
#include "core/handle.hpp"
#include "core/private_modules.hpp"
#include "query/find.hpp"
#include "query/newest_unique.hpp"
#include "tables/index_registry.hpp"
#include "tables/merge.hpp"
#include "tables/rows.hpp"
#include "tables/schema.hpp"
#include "tables/unique_registry.hpp"

namespace tablora {

namespace {

// The module-level functions, each declared by the unit that holds its body,
// in the order the module binds them (the order dir() and vars() show).
constexpr const Declaration* kFunctions[] = {
    &kInsertIndex,  &kDropIndex,     &kActiveTableIndex, &kDropTableIndex, &kInsertUnique,
    &kDropUnique,   &kCreateTable,   &kInsertTemp,       &kDeleteRowMain,  &kTempToMain,
    &kInsertMain,   &kDropTable,     &kFind,             &kCheckNewestUnique,
};

// The module lives in one interpreter per process and is initialised once.
int64_t owner_interpreter = -1;

int exec_module(PyObject* module);
int traverse_module(PyObject* module, visitproc visit, void* arg);
int clear_module(PyObject* module);
void free_module(void* module);

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Declared as supported so that loading into a second interpreter reaches
    // exec_module, which refuses it with the module's own ImportError and
    // message; declared unsupported, the interpreter would refuse it first,
    // with its own wording.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tablora",
    nullptr,
    sizeof(State),
    nullptr,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

bool import_as(PyObject* module, const char* import_name, const char* attribute) {
  Ref imported(PyImport_ImportModule(import_name));
  return imported && PyModule_AddObjectRef(module, attribute, imported.get()) == 0;
}

int exec_module(PyObject* module) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner_interpreter != -1 && owner_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  if (owner_interpreter != -1) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tablora' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  owner_interpreter = interpreter;

  State* st = new (PyModule_GetState(module)) State();
  if (!st->init()) return -1;
  if (!import_as(module, "tablora.tablora_state", "tablora_state")) return -1;
  if (!import_as(module, "sqlite3", "sqlite3")) return -1;
  st->db_type = make_db_class(module);
  if (!st->db_type || PyModule_AddObjectRef(module, "DB", st->db_type.get()) < 0) return -1;
  PyMethodDef* functions = method_table<kFunctions>();
  if (!add_private_modules(module, functions)) return -1;
  return PyModule_AddFunctions(module, functions);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  State* st = static_cast<State*>(PyModule_GetState(module));
  return st != nullptr ? st->traverse(visit, arg) : 0;
}

int clear_module(PyObject* module) {
  State* st = static_cast<State*>(PyModule_GetState(module));
  if (st != nullptr) st->clear();
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

}  // namespace

}  // namespace tablora

PyMODINIT_FUNC PyInit_tablora(void) { return PyModuleDef_Init(&tablora::module_def); }
