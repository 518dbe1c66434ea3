// The rows of both tiers linked into components through shared rule values,
// in memory and without Python objects: the caller numbers the groups of
// equal values under every rule (TupleIndex does that) and says which groups
// link their members (no NULL in the values). A row is the newest of its
// linked rows exactly when it is the newest row of its component, a staged
// row (tier 1) being newer than any main row (tier 0) and, within a tier,
// the larger row id the newer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tablora {

// The tier of a row: a staged row is newer than any main row.
enum Tier : int { kMain = 0, kStaged = 1 };

class LinkGraph {
 public:
  // With `partial_read` the graph starts from some of the rows and is
  // completed through the exploration below; without it, it holds every row
  // from the start, and members are not chained for an exploration.
  LinkGraph(size_t rules, bool partial_read)
      : rules_(rules), partial_read_(partial_read), groups_(rules), pending_(rules) {}

  size_t nodes() const { return id_.size(); }

  // A new node for the row (tier, id); place it under every rule next.
  int add(int tier, long long id);
  // Places node n in group g of rule r; `fresh` announces a new group, whose
  // members are linked when `linkable`.
  void place(int n, size_t r, int g, bool fresh, bool linkable);

  bool is_newest(int n) { return best_[root(n)] == n; }

  // Whether a returned row holds one of n's linkable groups; recording marks
  // n's linkable groups as held (a group with a NULL is held by no row).
  bool repeats_returned(int n) const;
  void record_returned(int n);
  // The verdict on a candidate, asked in the order rows are handed out (find
  // and newest_rows alike): returned when it is the newest of its component
  // and repeats no returned row, and then recorded.
  bool returns(int n) {
    if (repeats_returned(n) || !is_newest(n)) return false;
    record_returned(n);
    return true;
  }

  // Exploration of components whose main rows are not all known: `want`
  // queues rows; `next_lookups` hands out, per rule, the linkable groups of
  // the queued rows not asked about yet (false when there are none);
  // `resolved` marks them asked and queues the rows added meanwhile.
  void want(int n) { queue_.push_back(n); }
  bool next_lookups(std::vector<std::vector<int>>& per_rule);
  void resolved(const std::vector<std::vector<int>>& per_rule);

 private:
  // Groups of one rule, in two arrays to keep them small: the chain of
  // linked members and the group's flags.
  enum : uint8_t { kLinkable = 1, kReturned = 2, kPending = 4, kResolved = 8 };
  struct Groups {
    std::vector<int> head;  // newest member added, -1 for none
    std::vector<uint8_t> flags;
  };

  bool newer(int a, int b) const {
    return tier_[a] != tier_[b] ? tier_[a] > tier_[b] : id_[a] > id_[b];
  }
  int group_at(int n, size_t r) const { return node_group_[static_cast<size_t>(n) * rules_ + r]; }
  int root(int n);
  void unite(int a, int b);

  const size_t rules_;
  const bool partial_read_;
  // per node
  std::vector<long long> id_;
  std::vector<uint8_t> tier_, explored_;  // explored_ only after a partial read
  std::vector<int> parent_, best_;  // best_: the newest node, meaningful at roots
  // per node and rule, at n * rules_ + r; next_ only after a partial read
  std::vector<int> node_group_, next_;
  // per rule
  std::vector<Groups> groups_;
  std::vector<std::vector<int>> pending_;
  std::deque<int> queue_;
};

}  // namespace tablora
