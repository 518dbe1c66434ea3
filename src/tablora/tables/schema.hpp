// Managed tables: the module-level functions that create a table with its
// staging twin, indexes and rules, and drop it all.
#pragma once

#include "base/declaration.hpp"

namespace tablora {

extern const Declaration kCreateTable;
extern const Declaration kDropTable;

}  // namespace tablora
