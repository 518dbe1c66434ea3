// Registered indexes: the module-level functions that record an index, drop
// one, and drop and rebuild all of a table's around a bulk write.
#pragma once

#include "base/declaration.hpp"

namespace tablora {

extern const Declaration kInsertIndex;
extern const Declaration kDropIndex;
extern const Declaration kActiveTableIndex;
extern const Declaration kDropTableIndex;

}  // namespace tablora
