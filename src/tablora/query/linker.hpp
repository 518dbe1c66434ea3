// The rows find has read, placed in a link graph: grouped under every rule by
// their values (host equality, texts under the columns' collations, compared
// in place in the rows' value lists), with the main rows that link to
// candidates looked up in batches.
#pragma once

#include <unordered_map>
#include <vector>

#include "query/link_graph.hpp"
#include "query/main_row_lookup.hpp"
#include "query/shared_keys.hpp"
#include "query/tuple_index.hpp"
#include "sql/driver.hpp"
#include "sql/row.hpp"
#include "sql/table_names.hpp"
#include "sql/unique_rules.hpp"

namespace tablora {

// Rows placed in the link graph, grouped under every rule by their values
// (host equality, texts under the columns' collations as TupleIndex folds
// them, compared in place in the rows' value lists, which must outlive this
// object), with the main rows that link to them looked up in batches: SQL
// compares those under the columns' own collations.
class Linker {
 public:
  // With `partial_read` the passes read some rows of both tables: a row may
  // be added twice, and the rows linked to them are looked up. Without it
  // they read every row: each row added is new and nothing is looked up.
  // Main rows are looked up through `lookup`, which must outlive this object.
  Linker(const std::vector<UniqueRule>& rules, bool partial_read, const Call& call,
         const MainRowLookup& lookup)
      : rules_(rules), partial_read_(partial_read), main_complete_(!partial_read),
        graph_(rules.size(), partial_read),
        call_(call), lookup_(lookup) {
    for (const UniqueRule& rule : rules) indexes_.emplace_back(rule.positions, rule.collations);
  }

  LinkGraph& graph() { return graph_; }
  size_t main_rows() const { return main_.size(); }
  // Every main row is in the graph already: nothing to look up.
  void set_main_complete() { main_complete_ = true; }
  // Whether every staged row is added before complete() (the default), or
  // complete() finds the staged rows it needs by statements on the staging
  // table: each reads that table whole, for all rules at once, which costs
  // less than reading its rows when the rows to complete are few.
  void set_staged_complete(bool complete) { staged_complete_ = complete; }

  // Adds a row's values under its reference; a row whose reference is known
  // is not added again. -1 with the error set.
  int add(PyObject* row, int tier, long long id);

  // Brings the groups a fetched row (row id first) will join into the cache,
  // a few rows ahead of add(). False with the error set.
  bool prefetch(PyObject* fetched) const {
    for (const TupleIndex& index : indexes_)
      if (!index.prefetch(fetched, 1)) return false;
    return true;
  }

  // The same for a row's value list.
  bool prefetch_values(PyObject* values) const {
    for (const TupleIndex& index : indexes_)
      if (!index.prefetch(values, 0)) return false;
    return true;
  }

  // Records the hash of the row's key under every rule in `keys`, without
  // placing the row: a row that shares no key needs no node. False with the
  // error set.
  bool note_keys(PyObject* row, SharedKeys& keys) const;

  // Completes the components of the given rows.
  bool complete(const std::vector<int>& starts);

  // Calls visit(id) for the row id of every main row in the graph.
  template <class Visit>
  void for_each_main_row(Visit&& visit) const {
    for (const auto& [id, node] : main_)
      if (node >= 0) visit(id);
  }

  // The node of a row in the graph, or -1 when the row is not in it.
  int node_of(int tier, long long id) const {
    const std::unordered_map<long long, int>& nodes = tier ? staged_ : main_;
    const auto found = nodes.find(id);
    return found == nodes.end() ? -1 : found->second;
  }

 private:
  int place(PyObject* row, int tier, long long id);

  // Row ids of the main rows holding the given groups' values under rule r,
  // a batch of tuples per statement (the rule's index answers alone); the
  // ids not in the graph yet go to `unknown`, once each.
  bool look_up(size_t r, const std::vector<int>& groups, std::vector<long long>& unknown);
  bool fetch_rows(const std::vector<long long>& ids);
  // The staged rows holding the given groups' values (per rule), placed
  // unless known already.
  bool look_up_staged(const std::vector<std::vector<int>>& groups);
  bool place_staged(const std::string& sql, PyObject* params);

  const std::vector<UniqueRule>& rules_;
  const bool partial_read_;
  bool main_complete_;
  bool staged_complete_ = true;
  std::vector<TupleIndex> indexes_;
  LinkGraph graph_;
  const Call& call_;
  const MainRowLookup& lookup_;
  std::unordered_map<long long, int> staged_, main_;  // row id -> node, -1: known, not added
  std::vector<Ref> kept_;                             // rows read only to link
};

// For every column of `cols` under a collation only SQLite knows, the class
// of each of its values in both tiers, as the first value read of the class
// (so a value never read stands for itself and equals only what equals it
// exactly), the classes numbered by SQLite in one statement:
// "SELECT <c>, dense_rank() OVER (ORDER BY <c> COLLATE <name>) FROM (SELECT
// <c> FROM <staging> UNION ALL SELECT <c> FROM <main>)". The dicts go to
// `owned`, which must outlive every use of `collations`, which borrow them.
// False with the error set.
bool read_collation_classes(const Call& call, const TableNames& table, PyObject* cols,
                            std::vector<Collation>& collations, std::vector<Ref>& owned);

}  // namespace tablora
