// _check_newest_unique: whether one row is the newest of the rows linked to
// it by equal values under a unique rule, decided with its own lookups in
// both tiers. find decides the same for all its candidates at once.
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "query/newest_unique.hpp"
#include "query/link_graph.hpp"
#include "sql/driver.hpp"
#include "sql/row.hpp"
#include "sql/table_names.hpp"
#include "sql/text.hpp"
#include "sql/unique_rules.hpp"

namespace tablora {

namespace {

// ---- the key: a row's values under a rule ---------------------------------------------

// The row's values under the rule (behind the row id, member 0 of the row),
// when `asked` (the set of keys of the rule looked up so far) does not hold
// them yet; they join it. Empty without an error when they were asked
// already, with the error set on failure. A key that cannot be hashed is
// looked up every time, the driver judging its values.
Ref next_key(PyObject* row, const UniqueRule& rule, PyObject* asked) {
  Ref key(PyTuple_New(static_cast<Py_ssize_t>(rule.positions.size())));
  if (!key) return key;
  for (size_t i = 0; i < rule.positions.size(); ++i) {
    Value value(row, rule.positions[i] + 1);
    if (value.get() == nullptr) return Ref();
    PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value.get()));
  }
  const int seen = PySet_Contains(asked, key.get());
  if (seen < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Ref();
    PyErr_Clear();
    return key;
  }
  if (seen) return Ref();
  return PySet_Add(asked, key.get()) == 0 ? std::move(key) : Ref();
}

// ---- the lookup: the rows of one tier holding a key ------------------------------------

// "c1 = ? AND c2 = ? " for the rule's columns.
bool append_equalities(std::string& out, const UniqueRule& rule) {
  for (size_t i = 0; i < rule.columns.size(); ++i) {
    if (i > 0) out += "AND ";
    if (!append_text(out, rule.columns[i].get())) return false;
    out += " = ? ";
  }
  return true;
}

// The statements of the lookups, per tier: "SELECT <total_select> FROM
// <tier's table> WHERE c1 = ? AND ...".
class Lookups {
 public:
  bool prepare(PyObject* table, PyObject* total_select) {
    const std::optional<TableNames> names = TableNames::of(table);
    if (!names) return false;
    std::string head = "SELECT ";
    if (!append_text(head, total_select)) return false;
    heads_[kMain] = head + " FROM " + names->main() + " WHERE ";
    heads_[kStaged] = head + " FROM " + names->staging() + " WHERE ";
    return true;
  }
  // The rows of `tier` whose values under the rule are `key`, fetched whole.
  Ref rows(Call& call, Tier tier, const UniqueRule& rule, PyObject* key) const {
    std::string sql = heads_[tier];
    return append_equalities(sql, rule) ? call.fetch_all(sql, key) : Ref();
  }

 private:
  std::string heads_[2];
};

// ---- the verdict: a linked row against the tested one -------------------------------

// eqivalent_set.add(item), for a set or anything with an add method.
bool add_to(PyObject* target, PyObject* item) {
  if (PyAnySet_Check(target)) return PySet_Add(target, item) == 0;
  return static_cast<bool>(Ref(PyObject_CallMethod(target, "add", "O", item)));
}

// Whether the row (tier, id) is newer than the tested row: a higher tier, or
// the same tier and a larger id, as the host compares them. 1, 0, or -1
// with the error set.
int newer_than(PyObject* tier, PyObject* id, PyObject* tested_tier, PyObject* tested_id) {
  const int higher_tier = PyObject_RichCompareBool(tier, tested_tier, Py_GT);
  if (higher_tier != 0) return higher_tier;
  const int same_tier = PyObject_RichCompareBool(tier, tested_tier, Py_EQ);
  if (same_tier <= 0) return same_tier;
  return PyObject_RichCompareBool(id, tested_id, Py_GT);
}

// Judges the rows a lookup of `tier` found: each row not visited yet joins
// `visited`, then either is newer than the tested row (1) or is queued to be
// followed. 0 when none is newer, -1 with the error set.
int judge_found(PyObject* found, Tier tier, PyObject* tested_tier, PyObject* tested_id,
                PyObject* visited, std::deque<Ref>& queue) {
  Ref tier_number(PyLong_FromLong(tier));
  if (!tier_number) return -1;
  int newer = 0;
  const bool judged = for_each_item(found, [&](PyObject* found_row) {
    Ref id(PySequence_GetItem(found_row, 0));
    if (!id) return false;
    Ref reference(PyTuple_Pack(2, tier_number.get(), id.get()));
    if (!reference) return false;
    const int known = PySequence_Contains(visited, reference.get());
    if (known != 0) return known > 0;
    if (!add_to(visited, reference.get())) return false;
    newer = newer_than(tier_number.get(), id.get(), tested_tier, tested_id);
    if (newer != 0) return false;
    queue.push_back(Ref::borrow(found_row));
    return true;
  });
  return newer > 0 ? 1 : judged ? 0 : -1;
}


PyObject* check_newest_unique(PyObject* module,
                              const Arguments<8>& args) {
  const auto [conn, table, rowid, row, uniques, cols, total_select, visited] = args;
  Call call(module, conn);
  if (!call.open_cursor()) return nullptr;
  Ref tested_tier(PySequence_GetItem(rowid, 0));
  if (!tested_tier) return nullptr;
  Ref tested_id(PySequence_GetItem(rowid, 1));
  if (!tested_id) return nullptr;
  std::vector<UniqueRule> rules;
  if (!unique_rules_from(uniques, cols, rules)) return nullptr;
  Lookups lookups;
  if (!lookups.prepare(table, total_select)) return nullptr;

  // Breadth first: every direct link of a row, under every rule, is examined
  // before any is followed, so a newer direct link ends the call at once.
  std::deque<Ref> queue;
  queue.push_back(Ref::borrow(row));
  std::vector<Ref> asked;  // per rule: set of keys already looked up
  for (size_t r = 0; r < rules.size(); ++r) {
    asked.emplace_back(PySet_New(nullptr));
    if (!asked.back()) return nullptr;
  }
  while (!queue.empty()) {
    Ref current = std::move(queue.front());
    queue.pop_front();
    for (size_t r = 0; r < rules.size(); ++r) {
      if (rules[r].positions.empty()) continue;
      Ref key = next_key(current.get(), rules[r], asked[r].get());
      if (!key && PyErr_Occurred()) return nullptr;
      if (!key) continue;
      for (Tier tier : {kStaged, kMain}) {
        Ref found = lookups.rows(call, tier, rules[r], key.get());
        if (!found) return nullptr;
        const int newer =
            judge_found(found.get(), tier, tested_tier.get(), tested_id.get(), visited, queue);
        if (newer < 0) return nullptr;
        if (newer) return Py_NewRef(state_of(module).false_none.get());
      }
    }
  }
  return PyTuple_Pack(2, Py_True, visited);
}

}  // namespace

const Declaration kCheckNewestUnique{
    "_check_newest_unique", {"conn", "table", "rowid", "row", "uniques", "cols", "total_select",
      "eqivalent_set"}, check_newest_unique};

}  // namespace tablora
