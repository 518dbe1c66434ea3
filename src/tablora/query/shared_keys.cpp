// SharedKeys: each partition's hashes put into a small open-addressing
// table, a repeat marking both rows; see shared_keys.hpp.
#include "query/shared_keys.hpp"

#include <bit>

namespace tablora {

std::vector<uint8_t> SharedKeys::shared() {
  // Row numbers ride in 32 bits: past them every row is taken as shared,
  // which only costs the caller exact comparisons.
  if (rows_ > UINT32_MAX) return std::vector<uint8_t>(rows_, 1);
  std::vector<uint8_t> shared(rows_, 0);
  std::vector<uint64_t> table;
  for (Partitions& partitions : partitions_) {
    for (std::vector<uint64_t>& partition : partitions) {
      // Half full at most; the slot comes from the hash's low top bits, the
      // partition having used its highest ones.
      const size_t size = std::bit_ceil(partition.size() * 2 + 1);
      const uint64_t mask = size - 1;
      table.assign(size, 0);
      for (uint64_t packed : partition) {
        const uint64_t hash = packed >> 32;
        for (uint64_t at = (hash >> 1) & mask;; at = (at + 1) & mask) {
          if (table[at] == 0) {
            table[at] = packed;
            break;
          }
          if (table[at] >> 32 == hash) {
            shared[static_cast<uint32_t>(table[at])] = 1;
            shared[static_cast<uint32_t>(packed)] = 1;
            break;
          }
        }
      }
      std::vector<uint64_t>().swap(partition);
    }
  }
  return shared;
}

}  // namespace tablora
