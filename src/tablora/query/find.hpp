// find: the module-level function that reads the newest rows of both tiers.
#pragma once

#include "base/declaration.hpp"

namespace tablora {

extern const Declaration kFind;

}  // namespace tablora
