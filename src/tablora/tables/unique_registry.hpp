// Unique rules: the module-level functions that record a rule and drop it.
#pragma once

#include "base/declaration.hpp"

namespace tablora {

extern const Declaration kInsertUnique;
extern const Declaration kDropUnique;

}  // namespace tablora
