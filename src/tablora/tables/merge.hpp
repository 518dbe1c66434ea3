// The staging merge: the module-level temp_to_main, and the counted merge
// of the package's own code, tablora._merge.merge (made into that module by
// core/private_modules.cpp).
#pragma once

#include "base/declaration.hpp"

namespace tablora {

extern const Declaration kTempToMain;
// The functions of tablora._merge; typed by _merge.pyi.
extern const Declaration kMergeModuleFunctions[1];

}  // namespace tablora
