// How SQLite's collations compare the texts of a column: the three built
// into SQLite are reproduced in memory; any other is left to SQLite, which
// tells the classes of equal values.
#pragma once

#include "base/ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tablora {

// A column's collation, by the name it declares (letter case aside).
struct Collation {
  enum Kind : uint8_t {
    kBinary,  // texts equal when their characters are
    kNoCase,  // ASCII letters folded; other characters exactly
    kRTrim,   // trailing spaces (U+0020 only) ignored
    kOther,   // a collation the application registered: only SQLite can compare
  };
  Kind kind = kBinary;
  std::string name;  // as declared, empty when none is
  // For kOther, when read: dict value -> the value that stands for its class
  // of equal values, for every value of the column; borrowed from its
  // reader's owner.
  PyObject* classes = nullptr;

  static Collation named(std::string_view name);
  // Texts compare otherwise than by their characters, in a way known here.
  bool folds() const { return kind == kNoCase || kind == kRTrim; }
};

// Only texts fold: these apply to two str objects, or one, under a
// collation that folds (Collation::folds()).
// Equal under the collation; never fails.
bool collated_equal(PyObject* a, PyObject* b, Collation::Kind kind);
// A hash that equal texts under the collation share; never fails.
uint64_t collated_hash(PyObject* text, Collation::Kind kind);

}  // namespace tablora
