// The database handle DB (handle.cpp).
#pragma once

#include "base/ref.hpp"

namespace tablora {

// The DB class, built during module execution; its methods receive the
// module as their `self`.
Ref make_db_class(PyObject* module);

}  // namespace tablora
