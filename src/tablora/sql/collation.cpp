// The built-in collations in memory; see collation.hpp.
#include "sql/collation.hpp"

#include "sql/sql_names.hpp"

namespace tablora {

namespace {

// The length SQLite compares: RTRIM leaves out the trailing spaces.
Py_ssize_t compared_length(PyObject* text, Collation::Kind kind) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (kind == Collation::kRTrim)
    while (n > 0 && PyUnicode_READ_CHAR(text, n - 1) == ' ') --n;
  return n;
}

// NOCASE folds ASCII letters only, as SQLite's own table does.
Py_UCS4 fold(Py_UCS4 c, Collation::Kind kind) {
  return kind == Collation::kNoCase && c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

}  // namespace

Collation Collation::named(std::string_view name) {
  Collation collation;
  collation.name = name;
  if (same_sql_name(name, "NOCASE")) collation.kind = kNoCase;
  else if (same_sql_name(name, "RTRIM")) collation.kind = kRTrim;
  else if (!name.empty() && !same_sql_name(name, "BINARY")) collation.kind = kOther;
  return collation;
}

bool collated_equal(PyObject* a, PyObject* b, Collation::Kind kind) {
  const Py_ssize_t n = compared_length(a, kind);
  if (compared_length(b, kind) != n) return false;
  const int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
  const void *da = PyUnicode_DATA(a), *db = PyUnicode_DATA(b);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (fold(PyUnicode_READ(ka, da, i), kind) != fold(PyUnicode_READ(kb, db, i), kind))
      return false;
  return true;
}

uint64_t collated_hash(PyObject* text, Collation::Kind kind) {
  const Py_ssize_t n = compared_length(text, kind);
  const int k = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a over the folded characters
  for (Py_ssize_t i = 0; i < n; ++i) {
    h ^= fold(PyUnicode_READ(k, data, i), kind);
    h *= 0x100000001b3ULL;
  }
  return h;
}

}  // namespace tablora
