// Union-find over rows linked by shared rule values; see link_graph.hpp.
#include "query/link_graph.hpp"

#include <utility>

namespace tablora {

int LinkGraph::add(int tier, long long id) {
  const int n = static_cast<int>(id_.size());
  id_.push_back(id);
  tier_.push_back(static_cast<uint8_t>(tier));
  parent_.push_back(n);
  best_.push_back(n);
  node_group_.resize(node_group_.size() + rules_, -1);
  if (partial_read_) {
    explored_.push_back(0);
    next_.resize(next_.size() + rules_, -1);
  }
  return n;
}

void LinkGraph::place(int n, size_t r, int g, bool fresh, bool linkable) {
  Groups& groups = groups_[r];
  if (fresh) {
    groups.head.push_back(-1);
    groups.flags.push_back(linkable ? kLinkable : 0);
  }
  const size_t slot = static_cast<size_t>(n) * rules_ + r;
  node_group_[slot] = g;
  if (!(groups.flags[g] & kLinkable)) return;
  if (groups.head[g] >= 0) unite(groups.head[g], n);
  if (partial_read_) next_[slot] = groups.head[g];
  groups.head[g] = n;
}

int LinkGraph::root(int n) {
  while (parent_[n] != n) {
    parent_[n] = parent_[parent_[n]];
    n = parent_[n];
  }
  return n;
}

void LinkGraph::unite(int a, int b) {
  a = root(a);
  b = root(b);
  if (a == b) return;
  if (newer(best_[a], best_[b])) std::swap(a, b);
  parent_[a] = b;  // b holds the newer best
}

bool LinkGraph::repeats_returned(int n) const {
  for (size_t r = 0; r < rules_; ++r)
    if (groups_[r].flags[group_at(n, r)] & kReturned) return true;
  return false;
}

// Values with a NULL are no key: rows holding them are no versions of one
// row, so a returned row does not hold them for the others.
void LinkGraph::record_returned(int n) {
  for (size_t r = 0; r < rules_; ++r) {
    uint8_t& flags = groups_[r].flags[group_at(n, r)];
    if (flags & kLinkable) flags |= kReturned;
  }
}

bool LinkGraph::next_lookups(std::vector<std::vector<int>>& per_rule) {
  while (!queue_.empty()) {
    const int n = queue_.front();
    queue_.pop_front();
    if (explored_[n]) continue;
    explored_[n] = 1;
    for (size_t r = 0; r < rules_; ++r) {
      const int g = group_at(n, r);
      uint8_t& flags = groups_[r].flags[g];
      if (!(flags & kLinkable) || (flags & (kPending | kResolved))) continue;
      flags |= kPending;
      pending_[r].push_back(g);
    }
  }
  per_rule.assign(rules_, {});
  bool any = false;
  for (size_t r = 0; r < rules_; ++r) {
    any = any || !pending_[r].empty();
    per_rule[r].swap(pending_[r]);
  }
  return any;
}

void LinkGraph::resolved(const std::vector<std::vector<int>>& per_rule) {
  for (size_t r = 0; r < per_rule.size(); ++r) {
    for (int g : per_rule[r]) {
      groups_[r].flags[g] |= kResolved;
      for (int m = groups_[r].head[g]; m >= 0; m = next_[static_cast<size_t>(m) * rules_ + r])
        if (!explored_[m]) queue_.push_back(m);
    }
  }
}

}  // namespace tablora
