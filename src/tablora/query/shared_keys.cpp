// SharedKeys: hashes packed with their row's number, bucketed by their top
// bits and sorted within each bucket; see shared_keys.hpp.
#include "query/shared_keys.hpp"

#include <algorithm>
#include <bit>

namespace tablora {

std::vector<uint8_t> SharedKeys::shared() {
  const size_t rows = this->rows();
  std::vector<uint8_t> shared(rows, 0);
  if (rows < 2) return shared;
  // The row's number takes the hash's low bits: equal packed tops are equal
  // hashes (up to those bits, which only costs an exact comparison more).
  const unsigned row_bits = static_cast<unsigned>(std::bit_width(rows - 1));
  const uint64_t row_mask = (uint64_t{1} << row_bits) - 1;
  // About 16 rows a bucket: each sorts within the cache.
  const unsigned bucket_bits = std::clamp(row_bits, 5u, 24u) - 4;
  const unsigned shift = 64 - bucket_bits;
  std::vector<uint32_t> starts((size_t{1} << bucket_bits) + 1);
  std::vector<uint64_t> sorted;
  for (std::vector<uint64_t>& hashes : hashes_) {
    size_t kept = 0;
    for (size_t i = 0; i < rows; ++i)
      if (hashes[i] != 0) hashes[kept++] = (hashes[i] & ~row_mask) | i;
    hashes.resize(kept);
    std::fill(starts.begin(), starts.end(), 0);
    for (uint64_t packed : hashes) ++starts[(packed >> shift) + 1];
    for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    sorted.resize(kept);
    {
      std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
      for (uint64_t packed : hashes) sorted[next[packed >> shift]++] = packed;
    }
    std::vector<uint64_t>().swap(hashes);
    for (size_t b = 0; b + 1 < starts.size(); ++b) {
      uint64_t* const first = sorted.data() + starts[b];
      uint64_t* const last = sorted.data() + starts[b + 1];
      std::sort(first, last);
      for (uint64_t* at = first; at + 1 < last; ++at) {
        if ((at[0] ^ at[1]) & ~row_mask) continue;
        shared[at[0] & row_mask] = 1;
        shared[at[1] & row_mask] = 1;
      }
    }
  }
  return shared;
}

}  // namespace tablora
