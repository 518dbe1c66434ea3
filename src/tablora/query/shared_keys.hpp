// Which rows hold a rule's key that another row holds too, told from the
// keys' 64-bit hashes alone. Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tablora {

// Rows numbered from 0 in the order they are added, each with one hash per
// rule (or no key under a rule, for a key with a NULL). Equal keys hash
// alike, so a row marked alone holds under every rule a key no other row
// holds and links to nothing; a row marked shared may merely share a hash
// and is compared exactly by the caller. The hashes are grouped by sorting
// them in a few sequential passes: a hash table the size of the whole
// table would wait on memory at every row.
class SharedKeys {
 public:
  explicit SharedKeys(size_t rules) : hashes_(rules) {}

  // The next row's hash under rule r; every rule is given for every row.
  void add(size_t r, uint64_t hash, bool keyed) { hashes_[r].push_back(keyed ? hash | 1 : 0); }
  size_t rows() const { return hashes_.empty() ? 0 : hashes_[0].size(); }

  // Per row, 1 when some rule's hash of it is another row's too. The hashes
  // are used up.
  std::vector<uint8_t> shared();

 private:
  std::vector<std::vector<uint64_t>> hashes_;  // per rule, per row; 0: no key
};

}  // namespace tablora
