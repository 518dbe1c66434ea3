// The module's functions: the bodies each unit defines, and the method
// table made from their declarations (functions.cpp).
#pragma once

#include "arguments.hpp"

namespace tablora {

// index_registry.cpp
PyObject* insert_index(PyObject* module, const Arguments<3>& args);
PyObject* drop_index(PyObject* module, const Arguments<4>& args);
PyObject* active_table_index(PyObject* module, const Arguments<3>& args);
PyObject* drop_table_index(PyObject* module, const Arguments<3>& args);
// unique_registry.cpp
PyObject* insert_unique(PyObject* module, const Arguments<6>& args);
PyObject* drop_unique(PyObject* module, const Arguments<4>& args);
// schema.cpp
PyObject* create_table(PyObject* module, const Arguments<6>& args);
PyObject* drop_table(PyObject* module, const Arguments<3>& args);
// rows.cpp
PyObject* insert_temp(PyObject* module, const Arguments<4>& args);
PyObject* delete_row_main(PyObject* module, const Arguments<4>& args);
PyObject* insert_main(PyObject* module, const Arguments<4>& args);
// merge.cpp
PyObject* temp_to_main(PyObject* module, const Arguments<3>& args);
// find.cpp
PyObject* find(PyObject* module, const Arguments<4>& args);
// query.cpp
PyObject* check_newest_unique(PyObject* module, const Arguments<8>& args);

// Every function above, in binding order, for PyModule_AddFunctions.
PyMethodDef* module_functions();
// 1 when the module-level name `name` is still the library's own function,
// 0 when a caller has replaced it, -1 with the error set.
int is_library_function(PyObject* module, const char* name);

}  // namespace tablora
