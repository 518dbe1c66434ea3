// Which rows hold a rule's key that another row holds too, told from the
// keys' hashes alone. Pure C++.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tablora {

// Rows numbered from 0 in the order they are added, each with one hash per
// rule (or no key under a rule, for a key with a NULL). Equal keys hash
// alike, so a row marked alone holds under every rule a key no other row
// holds and links to nothing; a row marked shared may merely share a hash
// and is compared exactly by the caller. Each hash goes at once into one of
// 256 partitions by its top bits, and each partition is then searched for
// repeats in a table that fits the cache: a table the size of the whole
// table would wait on memory at every row.
class SharedKeys {
 public:
  explicit SharedKeys(size_t rules) : partitions_(rules) {}

  // The next row's hash under rule r; every rule is given for every row, in
  // rule order.
  void add(size_t r, uint64_t hash, bool keyed) {
    if (keyed) {
      // The hash's top 32 bits, never 0, above the row's number.
      const uint64_t packed = ((hash >> 32) | 1) << 32 | static_cast<uint32_t>(rows_);
      partitions_[r][hash >> 56].push_back(packed);
    }
    if (r + 1 == partitions_.size()) ++rows_;
  }
  size_t rows() const { return rows_; }

  // Per row, 1 when some rule's hash of it is another row's too. The hashes
  // are used up.
  std::vector<uint8_t> shared();

 private:
  using Partitions = std::array<std::vector<uint64_t>, 256>;
  std::vector<Partitions> partitions_;  // per rule
  size_t rows_ = 0;
};

}  // namespace tablora
