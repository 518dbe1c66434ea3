// TupleIndex: open addressing over the hashes of the members' values.
#include "query/tuple_index.hpp"

#include <cstring>

namespace tablora {

namespace {

uint64_t mix(uint64_t h) {  // splitmix64 finaliser
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

// A text's hash over its characters as stored: equal texts are stored
// alike (in the narrowest kind their characters fit), so they hash alike.
// Cheaper than the host's keyed hash of a fresh text, which nothing here
// needs: the hash never leaves this process.
uint64_t text_hash(PyObject* text) {
  const auto* at = static_cast<const unsigned char*>(PyUnicode_DATA(text));
  size_t left = static_cast<size_t>(PyUnicode_GET_LENGTH(text)) * PyUnicode_KIND(text);
  // The length spread over every bit: a tail alone may equal another
  // length's tail but for its lowest bits.
  uint64_t h = (0x243f6a8885a308d3ULL ^ left) * 0xbf58476d1ce4e5b9ULL;
  for (; left >= 8; at += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, at, 8);
    h = (h ^ word) * 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 29;
  }
  // The last 0 to 7 bytes, where most key texts end, in at most two loads
  // that may overlap: the length is in the hash already.
  uint64_t tail = 0;
  if (left >= 4) {
    uint32_t first, last;
    std::memcpy(&first, at, 4);
    std::memcpy(&last, at + left - 4, 4);
    tail = uint64_t{first} << 32 | last;
  } else if (left > 0) {
    tail = uint64_t{at[0]} << 16 | uint64_t{at[left / 2]} << 8 | at[left - 1];
  }
  return h ^ tail;
}

}  // namespace

TupleIndex::TupleIndex(std::vector<Py_ssize_t> members, const std::vector<Collation>& collations)
    : members_(std::move(members)),
      folds_(members_.size(), Collation::kBinary),
      classes_(members_.size(), nullptr) {
  for (size_t i = 0; i < collations.size() && i < folds_.size(); ++i) {
    if (collations[i].folds()) folds_[i] = collations[i].kind;
    classes_[i] = collations[i].classes;
  }
}

PyObject* TupleIndex::compared(const Value& value, size_t i) const {
  if (classes_[i] == nullptr || value.get() == nullptr) return value.get();
  PyObject* first = PyDict_GetItemWithError(classes_[i], value.get());
  if (first != nullptr || PyErr_Occurred()) return first;
  return value.get();  // a value the classes did not see stands for itself
}

// Slots in use stay below three quarters of the table.
void TupleIndex::reserve(size_t rows) {
  size_t capacity = slots_.size();
  while (capacity * 3 < rows * 4) capacity <<= 1;
  if (capacity > slots_.size()) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.group < 0) continue;
      size_t i = slot.hash & mask;
      while (slots_[i].group >= 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }
}

void TupleIndex::grow() { reserve(slots_.size()); }  // doubles the table

int TupleIndex::same_tuple(PyObject* a, PyObject* b) const {
  for (size_t i = 0; i < members_.size(); ++i) {
    const Value x_value(a, members_[i]), y_value(b, members_[i]);
    PyObject* x = compared(x_value, i);
    PyObject* y = x ? compared(y_value, i) : nullptr;
    if (x == nullptr || y == nullptr) return -1;
    if (x == y) continue;
    const int equal = folds_[i] != Collation::kBinary && PyUnicode_Check(x) && PyUnicode_Check(y)
                          ? collated_equal(x, y, folds_[i])
                          : PyObject_RichCompareBool(x, y, Py_EQ);
    if (equal != 1) return equal;
  }
  return 1;
}

bool TupleIndex::key_hash(PyObject* row, Py_ssize_t shift, uint64_t* hash,
                          bool* has_null) const {
  uint64_t full = 0x9e3779b97f4a7c15ULL;
  *has_null = false;
  for (size_t i = 0; i < members_.size(); ++i) {
    const Value value(row, members_[i] + shift);
    PyObject* v = compared(value, i);
    if (v == nullptr) return false;
    *has_null = *has_null || value.get() == Py_None;
    // A text never equals a value of another type: its hash need not agree
    // with theirs, nor with the host's.
    if (PyUnicode_Check(v)) {
      full = mix(full ^ (folds_[i] != Collation::kBinary ? collated_hash(v, folds_[i])
                                                         : text_hash(v)));
      continue;
    }
    const Py_hash_t h = PyObject_Hash(v);
    if (h == -1 && PyErr_Occurred()) return false;
    full = mix(full ^ static_cast<uint64_t>(h));
  }
  *hash = full;
  return true;
}

bool TupleIndex::prefetch(PyObject* row, Py_ssize_t shift) const {
  uint64_t hash;
  bool has_null;
  if (!key_hash(row, shift, &hash, &has_null)) return false;
  __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  return true;
}

int TupleIndex::group_of(PyObject* row, bool* fresh, bool* has_null) {
  uint64_t full;
  if (!key_hash(row, 0, &full, has_null)) return -1;
  const uint32_t hash = static_cast<uint32_t>(full);
  if ((firsts_.size() + 1) * 4 > slots_.size() * 3) grow();
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.group < 0) {
      slot = {hash, static_cast<int>(firsts_.size())};
      firsts_.push_back(row);
      *fresh = true;
      return slot.group;
    }
    if (slot.hash != hash) continue;
    const int equal = same_tuple(firsts_[slot.group], row);
    if (equal < 0) return -1;
    if (equal) {
      *fresh = false;
      return slot.group;
    }
  }
}

}  // namespace tablora
