// The streamed newest-wins read: the private module tablora._read, whose
// newest_rows hands out the rows find would return, a chunk at a time, from
// one read snapshot held while its iterator is open.
#pragma once

#include <Python.h>

namespace tablora {

// Makes tablora._read (newest_rows and its iterator type) for the extension
// module; typed by _read.pyi. False with the error set.
bool add_read_module(PyObject* module);

}  // namespace tablora
