// Transitional umbrella for rows.cpp and query.cpp: every helper header,
// and the helpers in the form those units call them (legacy.hpp). Other
// units include what they use.
#pragma once

#include "catalogue.hpp"
#include "driver.hpp"
#include "functions.hpp"
#include "legacy.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "text.hpp"
#include "tuple_index.hpp"
