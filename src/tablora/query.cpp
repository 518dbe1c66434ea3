// _check_newest_unique: whether one row is the newest of the rows linked to
// it by equal values under a unique rule, decided with its own lookups in
// both tiers. find decides the same for all its candidates at once.
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "driver.hpp"
#include "functions.hpp"
#include "link_graph.hpp"
#include "row.hpp"
#include "table_names.hpp"
#include "text.hpp"

namespace tablora {

namespace {

// The row's values under the rule (behind the row id, member 0 of the row);
// `linkable` is false when one is NULL.
Ref key_of(PyObject* row, const UniqueRule& rule, bool* linkable) {
  Ref key(PyTuple_New(static_cast<Py_ssize_t>(rule.positions.size())));
  if (!key) return key;
  *linkable = !rule.positions.empty();
  for (size_t i = 0; i < rule.positions.size(); ++i) {
    Value value(row, rule.positions[i] + 1);
    if (value.get() == nullptr) return Ref();
    if (value.get() == Py_None) *linkable = false;
    PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value.get()));
  }
  return key;
}

// "c1 = ? AND c2 = ? " for the rule's columns.
bool append_equalities(std::string& out, const UniqueRule& rule) {
  for (size_t i = 0; i < rule.columns.size(); ++i) {
    if (i > 0) out += "AND ";
    if (!append_text(out, rule.columns[i].get())) return false;
    out += " = ? ";
  }
  return true;
}

// eqivalent_set.add(item), for a set or anything with an add method.
bool add_to(PyObject* target, PyObject* item) {
  if (PyAnySet_Check(target)) return PySet_Add(target, item) == 0;
  return static_cast<bool>(Ref(PyObject_CallMethod(target, "add", "O", item)));
}

}  // namespace

PyObject* check_newest_unique(PyObject* module, const Arguments<8>& args) {
  const auto [conn, table, rowid, row, uniques, cols, total_select, visited] = args;
  const State& st = state_of(module);

  Call call(module, conn);
  if (!call.open_cursor()) return nullptr;
  Ref tested_tier(PySequence_GetItem(rowid, 0));
  if (!tested_tier) return nullptr;
  Ref tested_id(PySequence_GetItem(rowid, 1));
  if (!tested_id) return nullptr;
  std::vector<UniqueRule> rules;
  if (!unique_rules_from(uniques, cols, rules)) return nullptr;

  const std::optional<TableNames> names = TableNames::of(table);
  if (!names) return nullptr;
  std::string head = "SELECT ";
  if (!append_text(head, total_select)) return nullptr;
  Ref statements[2];  // per tier: "SELECT <total_select> FROM <tier table> WHERE "
  for (Tier tier : {kMain, kStaged}) {
    statements[tier] =
        str(head + " FROM " + (tier == kStaged ? names->staging() : names->main()) + " WHERE ");
    if (!statements[tier]) return nullptr;
  }
  // Breadth first: every direct link of a row, under every rule, is examined
  // before any is followed, so a newer direct link ends the call at once.
  std::deque<Ref> queue;
  queue.push_back(Ref::borrow(row));
  std::vector<Ref> asked;  // per rule: set of tuples already looked up
  for (size_t r = 0; r < rules.size(); ++r) {
    asked.emplace_back(PySet_New(nullptr));
    if (!asked.back()) return nullptr;
  }
  while (!queue.empty()) {
    Ref current = std::move(queue.front());
    queue.pop_front();
    for (size_t r = 0; r < rules.size(); ++r) {
      const UniqueRule& rule = rules[r];
      if (rule.positions.empty()) continue;
      bool linkable = false;
      Ref key = key_of(current.get(), rule, &linkable);
      if (!key) return nullptr;
      const int seen = PySet_Contains(asked[r].get(), key.get());
      if (seen < 0) {  // a value that cannot be hashed: let the driver judge it
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
      } else if (seen) {
        continue;
      } else if (PySet_Add(asked[r].get(), key.get()) < 0) {
        return nullptr;
      }
      std::string where;
      if (!append_equalities(where, rule)) return nullptr;
      PyObject* params = key.get();
      for (int tier : {1, 0}) {
        Ref sql(PyUnicode_FromFormat("%U%s", statements[tier].get(), where.c_str()));
        if (!sql) return nullptr;
        Ref found = call.fetch_all(sql.get(), params);
        if (!found) return nullptr;
        Ref tier_number(PyLong_FromLong(tier));
        if (!tier_number) return nullptr;
        Ref iterator(PyObject_GetIter(found.get()));
        if (!iterator) return nullptr;
        while (Ref res{PyIter_Next(iterator.get())}) {
          Ref id(PySequence_GetItem(res.get(), 0));
          if (!id) return nullptr;
          Ref reference(PyTuple_Pack(2, tier_number.get(), id.get()));
          if (!reference) return nullptr;
          const int known = PySequence_Contains(visited, reference.get());
          if (known < 0) return nullptr;
          if (known) continue;
          if (!add_to(visited, reference.get())) return nullptr;
          const int higher_tier =
              PyObject_RichCompareBool(tier_number.get(), tested_tier.get(), Py_GT);
          if (higher_tier < 0) return nullptr;
          int newer = higher_tier;
          if (!newer) {
            const int same_tier =
                PyObject_RichCompareBool(tier_number.get(), tested_tier.get(), Py_EQ);
            if (same_tier < 0) return nullptr;
            if (same_tier) newer = PyObject_RichCompareBool(id.get(), tested_id.get(), Py_GT);
            if (newer < 0) return nullptr;
          }
          if (newer) return Py_NewRef(st.false_none.get());
          queue.push_back(std::move(res));
        }
        if (PyErr_Occurred()) return nullptr;
      }
    }
  }
  return PyTuple_Pack(2, Py_True, visited);
}

}  // namespace tablora
