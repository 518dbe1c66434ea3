// The compact set of row ids; see row_id_set.hpp.
#include "tables/row_id_set.hpp"

#include <algorithm>

namespace tablora {

bool RowIdSet::Block::add(uint16_t low) {
  if (!bits.empty()) {
    uint64_t& word = bits[low >> 6];
    const uint64_t bit = uint64_t{1} << (low & 63);
    const bool added = (word & bit) == 0;
    word |= bit;
    return added;
  }
  auto at = std::lower_bound(sorted.begin(), sorted.end(), low);
  if (at != sorted.end() && *at == low) return false;
  sorted.insert(at, low);
  if (sorted.size() > kListLimit) {
    bits.assign(kBlockSize / 64, 0);
    for (uint16_t member : sorted) bits[member >> 6] |= uint64_t{1} << (member & 63);
    std::vector<uint16_t>().swap(sorted);
  }
  return true;
}

void RowIdSet::Block::list(std::vector<uint16_t>& out) const {
  if (bits.empty()) {
    out = sorted;
    return;
  }
  out.clear();
  for (size_t w = 0; w < bits.size(); ++w)
    for (uint64_t word = bits[w]; word != 0; word &= word - 1)
      out.push_back(static_cast<uint16_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(word))));
}

void RowIdSet::add(long long id) {
  // Floor division, so negative ids fall in blocks of their own.
  const long long block = id >= 0 ? id / kBlockSize : -((-(id + 1)) / kBlockSize) - 1;
  const auto low = static_cast<uint16_t>(id - block * kBlockSize);
  if (blocks_[block].add(low)) ++size_;
}

}  // namespace tablora
