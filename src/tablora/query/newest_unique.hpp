// _check_newest_unique: the module-level function that judges one row by its
// own lookups.
#pragma once

#include "base/declaration.hpp"

namespace tablora {

extern const Declaration kCheckNewestUnique;

}  // namespace tablora
