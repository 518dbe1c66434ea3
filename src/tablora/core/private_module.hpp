// The package's private modules made by the extension (tablora._catalogue and
// the entries the everyday layer uses): functions bound to the extension
// module, importable as submodules of the package, outside the module's own
// declared surface.
#pragma once

#include <Python.h>

namespace tablora {

// Makes the module `qualified_name` ("tablora._name") with the functions of
// `defs` (null entry last), bound to `module`, and registers it in
// sys.modules and as an attribute of the package. The new module goes to
// `made` when given (a borrowed reference). False with the error set.
bool add_private_module(PyObject* module, const char* qualified_name, PyMethodDef* defs,
                        PyObject** made = nullptr);

}  // namespace tablora
