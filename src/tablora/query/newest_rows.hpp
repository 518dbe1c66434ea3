// The streamed newest-wins read: the function and the iterator type of the
// private module tablora._read (made into that module by
// core/private_modules.cpp), whose newest_rows hands out the rows find would
// return, a chunk at a time, from one read snapshot held while its iterator
// is open.
#pragma once

#include "base/declaration.hpp"

namespace tablora {

// The functions of tablora._read; typed by _read.pyi.
extern const Declaration kReadModuleFunctions[1];
// The iterator newest_rows returns, tablora._read.NewestRows; made with the
// module and kept in State::rows_type.
extern PyType_Spec kNewestRowsSpec;

}  // namespace tablora
