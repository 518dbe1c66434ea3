// Row storage: the module-level functions that stage rows, insert rows into
// the main table and delete main rows by row id.
#pragma once

#include "base/declaration.hpp"

namespace tablora {

extern const Declaration kInsertTemp;
extern const Declaration kDeleteRowMain;
extern const Declaration kInsertMain;

}  // namespace tablora
