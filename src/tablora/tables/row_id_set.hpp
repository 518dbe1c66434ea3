// A set of row ids in little memory: ids are grouped in blocks of 65,536
// consecutive values, a block holding its ids as a short sorted list, or as
// a bitmap once that is smaller. Row ids that SQLite hands out lie close
// together, so a million of them take about 128 KiB where a plain list
// takes 8 MiB. Pure C++, no Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace tablora {

class RowIdSet {
 public:
  void add(long long id);
  bool empty() const { return blocks_.empty(); }
  // The number of distinct ids: what a merge reports it replaced or inserted.
  long long size() const { return size_; }

  // Calls visit(id) for every id, ascending or descending, until it returns
  // false; false when a visit did.
  template <class Visit>
  bool for_each(bool descending, Visit&& visit) const {
    std::vector<uint16_t> members;
    auto walk = [&](long long block, const Block& b) {
      b.list(members);
      const long long base = block * kBlockSize;
      if (descending) {
        for (size_t i = members.size(); i-- > 0;)
          if (!visit(base + members[i])) return false;
      } else {
        for (uint16_t low : members)
          if (!visit(base + low)) return false;
      }
      return true;
    };
    if (descending) {
      for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it)
        if (!walk(it->first, it->second)) return false;
    } else {
      for (const auto& [block, b] : blocks_)
        if (!walk(block, b)) return false;
    }
    return true;
  }

 private:
  static constexpr long long kBlockSize = 1 << 16;
  // A sorted list of more than this many 16-bit members is larger than the
  // block's bitmap (65,536 bits = 4,096 members of 16 bits).
  static constexpr size_t kListLimit = 4096;

  struct Block {
    std::vector<uint16_t> sorted;  // while the block is small
    std::vector<uint64_t> bits;    // once it is not
    // Adds one member, once; false when it was there already.
    bool add(uint16_t low);
    // The members, ascending, into `out`.
    void list(std::vector<uint16_t>& out) const;
  };

  std::map<long long, Block> blocks_;
  long long size_ = 0;
};

}  // namespace tablora
