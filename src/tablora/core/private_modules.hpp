// The package's private modules made by the extension: tablora._catalogue,
// tablora._merge and tablora._read, each of functions bound to the extension
// module, and tablora._surface, the names of the module's own functions;
// each importable as a submodule of the package, outside the module's own
// declared surface. Their functions are declared by the units that hold
// them; this is where they become modules.
#pragma once

#include <Python.h>

namespace tablora {

// Makes every private module for the extension module `module`, whose own
// functions are `functions` (null entry last), and registers each in
// sys.modules and as an attribute of the package; false with the error set.
bool add_private_modules(PyObject* module, const PyMethodDef* functions);

}  // namespace tablora
