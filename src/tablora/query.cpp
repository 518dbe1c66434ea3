// Reading both tiers at once. find returns the candidate rows that are the
// newest of the rows linked to them by equal values under a unique rule;
// _check_newest_unique decides that for one row with its own lookups.
//
// Rows are linked when they hold SQL-equal, non-NULL values in every column
// of some rule; a row is the newest of its linked rows exactly when it is the
// newest row of its connected component, a staged row being newer than any
// main row. find builds those components for all its candidates at once:
// staged rows are grouped in memory, main rows are fetched a batch of value
// tuples per statement (or not at all when the main pass already read the
// whole table), and a union-find keeps the newest row of every component.
#include "common.hpp"

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

namespace tablora {

namespace {

// ---- rules and keys -------------------------------------------------------------

struct Rule {
  std::vector<Py_ssize_t> members;  // positions in a full row (row id first)
  std::vector<Ref> columns;         // column names, in the rule's order
};

// Rule positions count from the end of the column list when negative; the
// value sits one further in a full row, behind the row id.
bool prepare_rules(PyObject* uniques, PyObject* cols, std::vector<Rule>& rules) {
  const Py_ssize_t width = PyObject_Size(cols);
  if (width < 0) return false;
  Ref items(PyMapping_Items(uniques));
  if (!items) return false;
  for (Py_ssize_t r = 0; r < PyList_GET_SIZE(items.get()); ++r) {
    PyObject* positions = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), r), 1);
    Rule rule;
    const bool read = for_each_item(positions, [&](PyObject* number) {
      Ref column(PyObject_GetItem(cols, number));
      if (!column) return false;
      const Py_ssize_t k = PyNumber_AsSsize_t(number, PyExc_IndexError);
      if (k == -1 && PyErr_Occurred()) return false;
      rule.members.push_back((k < 0 ? k + width : k) + 1);
      rule.columns.push_back(std::move(column));
      return true;
    });
    if (!read) return false;
    rules.push_back(std::move(rule));
  }
  return true;
}

// The row's values under the rule; `linkable` is false when one is NULL.
Ref key_of(PyObject* row, const Rule& rule, bool* linkable) {
  Ref key(PyTuple_New(static_cast<Py_ssize_t>(rule.members.size())));
  if (!key) return key;
  *linkable = !rule.members.empty();
  for (size_t i = 0; i < rule.members.size(); ++i) {
    Value value(row, rule.members[i]);
    if (value.get() == nullptr) return Ref();
    if (value.get() == Py_None) *linkable = false;
    PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value.get()));
  }
  return key;
}

// "c1 = ? AND c2 = ? " for the rule's columns.
bool append_equalities(std::string& out, const Rule& rule) {
  for (size_t i = 0; i < rule.columns.size(); ++i) {
    if (i > 0) out += "AND ";
    if (!append_text(out, rule.columns[i].get())) return false;
    out += " = ? ";
  }
  return true;
}

// ---- shared pieces of both functions ---------------------------------------------

// "rowid" and ",<column>" for every column, in table order.
bool build_total_select(PyObject* cols, std::string& out, const char* qualifier = "") {
  out = qualifier;
  out += "rowid";
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
    out += ",";
    out += qualifier;
    if (!append_identifier(out, PyList_GET_ITEM(cols, i))) return false;
  }
  return true;
}

// A row reference: tier 1 staged, tier 0 main; larger pairs are newer.
struct RowRef {
  int tier;
  long long id;
  bool newer_than(const RowRef& other) const {
    return tier != other.tier ? tier > other.tier : id > other.id;
  }
  bool operator==(const RowRef& other) const { return tier == other.tier && id == other.id; }
};

bool row_id_of(PyObject* row, long long* id) {
  Value value(row, 0);
  if (value.get() == nullptr) return false;
  *id = PyLong_AsLongLong(value.get());
  return !(*id == -1 && PyErr_Occurred());
}

// ---- find: components of all candidates ------------------------------------------

// Rows of both tiers joined into components through shared rule tuples. A
// row enters the graph once (by tier and row id). Equal tuples under a rule
// (host equality) form a group; groups without NULL link their members,
// which are chained and united at once. Groups whose main members are not
// all known yet are looked up in batches.
class Components {
 public:
  Components(const std::vector<Rule>& rules, PyObject* cursor, std::string table,
             std::string main_select)
      : width_(rules.size()), cursor_(cursor), table_(std::move(table)),
        main_select_(std::move(main_select)), groups_(rules.size()), pending_(rules.size()) {
    for (const Rule& rule : rules) {
      indexes_.emplace_back(rule.members);
      columns_.push_back(&rule.columns);
    }
  }

  void reserve(size_t rows) {
    for (TupleIndex& index : indexes_) index.reserve(rows);
    refs_.reserve(rows);
    node_group_.reserve(rows * width_);
  }

  // Every main row is in the graph already: nothing to look up.
  void set_main_complete() { main_complete_ = true; }

  // Adds a fetched full row (row id first); with `dedupe` a row whose
  // reference is known is not added again. The row must outlive this object.
  int add(PyObject* row, int tier, bool dedupe) {
    long long id;
    if (!row_id_of(row, &id)) return -1;
    const int n = static_cast<int>(refs_.size());
    if (dedupe) {
      auto [slot, fresh] = (tier ? staged_ : main_).try_emplace(id, n);
      if (!fresh) return slot->second;
    }
    refs_.push_back({tier, id});
    best_.push_back({tier, id});
    parent_.push_back(n);
    explored_.push_back(0);
    for (size_t r = 0; r < width_; ++r) {
      bool fresh = false, has_null = false;
      const int g = indexes_[r].group_of(row, &fresh, &has_null);
      if (g < 0) return -1;
      if (fresh) groups_[r].push_back({-1, kOpen, !has_null && !columns_[r]->empty(), false});
      node_group_.push_back(g);
      next_.push_back(-1);
      if (groups_[r][g].linkable) link(n, r, g);
    }
    return n;
  }

  // Completes the components of the given rows.
  bool explore(const std::vector<int>& starts) {
    if (main_complete_) return true;
    for (int n : starts) queue_.push_back(n);
    while (true) {
      while (!queue_.empty()) {
        const int n = queue_.front();
        queue_.pop_front();
        if (explored_[n]) continue;
        explored_[n] = 1;
        for (size_t r = 0; r < width_; ++r) {
          Group& group = groups_[r][group_at(n, r)];
          if (!group.linkable || group.state != kOpen) continue;
          group.state = kPending;
          pending_[r].push_back(group_at(n, r));
        }
      }
      bool any = false;
      for (size_t r = 0; r < width_; ++r) {
        if (pending_[r].empty()) continue;
        any = true;
        if (!look_up(r)) return false;
      }
      if (!any) return true;
    }
  }

  bool is_newest(int n) { return best_[root(n)] == refs_[n]; }
  size_t main_rows() const { return main_.size(); }

  // Whether a returned row holds one of n's tuples (host equality, NULLs
  // equal); recording marks n's tuples as held.
  bool repeats_returned(int n) const {
    for (size_t r = 0; r < width_; ++r)
      if (groups_[r][group_at(n, r)].returned) return true;
    return false;
  }
  void record_returned(int n) {
    for (size_t r = 0; r < width_; ++r) groups_[r][group_at(n, r)].returned = true;
  }

 private:
  enum : char { kOpen, kPending, kResolved };
  static constexpr size_t kBatch = 500;  // tuples or row ids per statement
  struct Group {
    int head;        // chain of linked members
    char state;
    bool linkable;   // no NULL in the tuple
    bool returned;   // a returned row holds this tuple
  };

  int group_at(int n, size_t r) const { return node_group_[n * width_ + r]; }

  void link(int n, size_t r, int g) {
    Group& group = groups_[r][g];
    if (group.head >= 0) unite(group.head, n);
    next_[n * width_ + r] = group.head;
    group.head = n;
  }

  int root(int n) {
    while (parent_[n] != n) {
      parent_[n] = parent_[parent_[n]];
      n = parent_[n];
    }
    return n;
  }

  void unite(int a, int b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (best_[a].newer_than(best_[b])) std::swap(a, b);
    parent_[a] = b;  // b's best is the newer one
  }

  // Main rows holding the pending tuples of rule r: their row ids a batch
  // of tuples per statement (the rule's index answers alone), then the rows
  // not in the graph yet, a batch of row ids per statement.
  bool look_up(size_t r) {
    const std::vector<Ref>& columns = *columns_[r];
    std::vector<int> asked;
    asked.swap(pending_[r]);
    const size_t batch = std::max<size_t>(1, std::min<size_t>(kBatch, 30000 / columns.size()));
    std::vector<long long> unknown;
    for (size_t start = 0; start < asked.size(); start += batch) {
      const size_t count = std::min(batch, asked.size() - start);
      std::string sql = "SELECT m.rowid FROM ";
      sql += table_;
      if (!append_lookup(sql, columns, count)) return false;
      Ref params(PyList_New(0));
      if (!params) return false;
      for (size_t i = 0; i < count; ++i) {
        PyObject* row = indexes_[r].first_row(asked[start + i]);
        for (Py_ssize_t member : indexes_[r].members()) {
          Value v(row, member);
          if (v.get() == nullptr || PyList_Append(params.get(), v.get()) < 0) return false;
        }
      }
      Ref bound(PyList_AsTuple(params.get()));
      if (!bound || !fetch_ids(sql, bound.get(), unknown)) return false;
    }
    if (!fetch_rows(unknown)) return false;  // new rows link themselves
    for (int g : asked) {
      groups_[r][g].state = kResolved;
      for (int m = groups_[r][g].head; m >= 0; m = next_[m * width_ + r])
        if (!explored_[m]) queue_.push_back(m);
    }
    return true;
  }

  // Runs a row-id query; appends the ids not in the graph (once each).
  bool fetch_ids(const std::string& sql, PyObject* params, std::vector<long long>& unknown) {
    Ref text = str(sql);
    if (!text) return false;
    Ref rows = fetch_all(cursor_, text.get(), params);
    return rows && for_each_item(rows.get(), [&](PyObject* row) {
             long long id;
             if (!row_id_of(row, &id)) return false;
             if (main_.try_emplace(id, -1).second) unknown.push_back(id);
             return true;
           });
  }

  bool fetch_rows(const std::vector<long long>& ids) {
    for (size_t start = 0; start < ids.size(); start += kBatch) {
      const size_t count = std::min(kBatch, ids.size() - start);
      std::string sql = main_select_ + " AS m WHERE m.rowid IN (?";
      for (size_t i = 1; i < count; ++i) sql += ",?";
      sql += ")";
      Ref params(PyTuple_New(static_cast<Py_ssize_t>(count)));
      if (!params) return false;
      for (size_t i = 0; i < count; ++i) {
        PyObject* id = PyLong_FromLongLong(ids[start + i]);
        if (id == nullptr) return false;
        PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i), id);
      }
      Ref text = str(sql);
      if (!text) return false;
      Ref rows = fetch_all(cursor_, text.get(), params.get());
      if (!rows) return false;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        long long id;
        if (!row_id_of(row, &id)) return false;
        const int n = add(row, 0, false);
        if (n < 0) return false;
        main_[id] = n;
      }
      kept_.push_back(std::move(rows));  // the graph refers to these rows
    }
    return true;
  }

  static bool append_lookup(std::string& sql, const std::vector<Ref>& columns, size_t count) {
    if (columns.size() == 1) {
      sql += " AS m WHERE m.";
      if (!append_identifier(sql, columns[0].get())) return false;
      sql += " IN (?";
      for (size_t i = 1; i < count; ++i) sql += ",?";
      sql += ")";
      return true;
    }
    // Tuples joined through the rule's index; a row-value IN would scan.
    std::string tuple = "(?";
    for (size_t c = 1; c < columns.size(); ++c) tuple += ",?";
    tuple += ")";
    sql += " AS m JOIN (VALUES " + tuple;
    for (size_t i = 1; i < count; ++i) sql += "," + tuple;
    sql += ") AS k ON ";
    for (size_t c = 0; c < columns.size(); ++c) {
      sql += c ? " AND m." : "m.";
      if (!append_identifier(sql, columns[c].get())) return false;
      sql += " = k.column" + std::to_string(c + 1);
    }
    return true;
  }

  const size_t width_;  // rules per node
  PyObject* cursor_;
  std::string table_;        // text form of the table name
  std::string main_select_;  // "SELECT m.rowid,m.<column>... FROM <table>"
  bool main_complete_ = false;
  // per node
  std::vector<RowRef> refs_, best_;  // best_ is meaningful at roots
  std::vector<int> parent_;
  std::vector<char> explored_;
  // per node and rule, at n * width_ + r
  std::vector<int> node_group_, next_;
  // per rule
  std::vector<TupleIndex> indexes_;
  std::vector<const std::vector<Ref>*> columns_;
  std::vector<std::vector<Group>> groups_;
  std::vector<std::vector<int>> pending_;
  std::unordered_map<long long, int> staged_, main_;
  std::vector<Ref> kept_;  // lookup results
  std::deque<int> queue_;
};

// ---- find -------------------------------------------------------------------------

bool is_blank(PyObject* text) {
  if (!PyUnicode_Check(text)) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, i))) return false;
  return true;
}

// Positions in a full row of the selected columns, in the order of `select`.
bool selected_members(PyObject* select, PyObject* cols, std::vector<Py_ssize_t>& members) {
  Ref star(PyUnicode_FromString("*"));
  if (!star) return false;
  const int all = PyObject_RichCompareBool(select, star.get(), Py_EQ);
  if (all < 0) return false;
  if (all) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) members.push_back(i + 1);
    return true;
  }
  Ref pieces(PyObject_CallMethod(select, "split", "s", ","));
  if (!pieces) return false;
  return for_each_item(pieces.get(), [&](PyObject* piece) {
    const Py_ssize_t at = PySequence_Index(cols, piece);
    if (at < 0) return false;
    members.push_back(at + 1);
    return true;
  });
}

Ref selected_values(PyObject* row, const std::vector<Py_ssize_t>& members) {
  Ref values(PyList_New(static_cast<Py_ssize_t>(members.size())));
  if (!values) return values;
  for (size_t i = 0; i < members.size(); ++i) {
    Value value(row, members[i]);
    if (value.get() == nullptr) return Ref();
    PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value.get()));
  }
  return values;
}

// One integer from a one-row, one-column result.
bool scalar(PyObject* cursor, PyObject* sql, long long* out) {
  Ref rows = fetch_all(cursor, sql);
  if (!rows) return false;
  Ref row(PySequence_GetItem(rows.get(), 0));
  if (!row) return false;
  Ref value(PySequence_GetItem(row.get(), 0));
  if (!value) return false;
  *out = value.get() == Py_None ? 0 : PyLong_AsLongLong(value.get());
  return !(*out == -1 && PyErr_Occurred());
}

// Whether the main pass read every row of the main table. Counting is only
// worth it when the pass read a good part of the table.
bool main_pass_is_whole(PyObject* cursor, PyObject* table, size_t distinct_rows, bool* whole) {
  *whole = false;
  if (distinct_rows == 0) return true;
  Ref highest = compose({"SELECT max(rowid) FROM ", table});
  long long top = 0;
  if (!highest || !scalar(cursor, highest.get(), &top)) return false;
  if (static_cast<long long>(distinct_rows) * 4 < top) return true;
  Ref counting = compose({"SELECT count(*) FROM ", table});
  long long count = 0;
  if (!counting || !scalar(cursor, counting.get(), &count)) return false;
  *whole = count == static_cast<long long>(distinct_rows);
  return true;
}

struct Pass {
  Ref rows;
  std::vector<int> nodes;
};

}  // namespace

namespace {

// Pending signals every this many rows of a loop over fetched rows.
constexpr Py_ssize_t kSignalEvery = 4096;

bool signal_due(Py_ssize_t i) { return i % kSignalEvery == kSignalEvery - 1 && PyErr_CheckSignals() < 0; }

Ref find_rows(PyObject* cursor_object, PyObject* select, PyObject* table, PyObject* conditions) {
  Ref cursor = Ref::borrow(cursor_object);
  Ref cols = read_columns(cursor.get(), table);
  if (!cols) return Ref();
  std::string total_select;
  if (!build_total_select(cols.get(), total_select)) return Ref();
  Ref uniques = read_unique_rules(cursor.get(), table);
  if (!uniques) return Ref();
  std::vector<Py_ssize_t> shown;
  if (!selected_members(select, cols.get(), shown)) return Ref();

  Ref total = str(total_select);
  if (!total) return Ref();
  Pass passes[2];  // staged, then main
  Ref staged_sql = compose({"SELECT ", total.get(), " FROM temp_", table, " ", conditions});
  if (!staged_sql) return Ref();
  passes[0].rows = fetch_all(cursor.get(), staged_sql.get());
  if (!passes[0].rows) return Ref();
  std::vector<Rule> rules;
  if (PyObject_Size(passes[0].rows.get()) > 0 && !prepare_rules(uniques.get(), cols.get(), rules))
    return Ref();
  Ref main_sql = compose({"SELECT ", total.get(), " FROM ", table, " ", conditions});
  if (!main_sql) return Ref();
  passes[1].rows = fetch_all(cursor.get(), main_sql.get());
  if (!passes[1].rows) return Ref();
  if (rules.empty() && PyObject_Size(passes[1].rows.get()) > 0 &&
      !prepare_rules(uniques.get(), cols.get(), rules))
    return Ref();

  std::string main_select;
  if (!build_total_select(cols.get(), main_select, "m.")) return Ref();
  Ref main_from = compose({"SELECT ", main_select.c_str(), " FROM ", table});
  if (!main_from) return Ref();
  const char* main_from_text = PyUnicode_AsUTF8(main_from.get());
  std::string table_text;
  if (main_from_text == nullptr || !append_text(table_text, table)) return Ref();
  Components components(rules, cursor.get(), table_text, main_from_text);
  if (!rules.empty()) {
    // Every staged row can link candidates, whatever the conditions select.
    // Blank conditions read every row of both tables, once each.
    const bool blank = is_blank(conditions);
    Ref all_staged;
    if (blank) {
      all_staged = Ref::borrow(passes[0].rows.get());
    } else {
      Ref sql = compose({"SELECT ", total.get(), " FROM temp_", table});
      if (!sql) return Ref();
      all_staged = fetch_all(cursor.get(), sql.get());
    }
    if (!all_staged) return Ref();
    components.reserve(static_cast<size_t>(PyList_GET_SIZE(all_staged.get()) +
                                           PyList_GET_SIZE(passes[1].rows.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all_staged.get()); ++i) {
      if (signal_due(i)) return Ref();
      const int n = components.add(PyList_GET_ITEM(all_staged.get(), i), 1, !blank);
      if (n < 0) return Ref();
      if (blank) passes[0].nodes.push_back(n);
    }
    if (!blank) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(passes[0].rows.get()); ++i) {
        if (signal_due(i)) return Ref();
        const int n = components.add(PyList_GET_ITEM(passes[0].rows.get(), i), 1, true);
        if (n < 0) return Ref();
        passes[0].nodes.push_back(n);
      }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(passes[1].rows.get()); ++i) {
      if (signal_due(i)) return Ref();
      const int n = components.add(PyList_GET_ITEM(passes[1].rows.get(), i), 0, !blank);
      if (n < 0) return Ref();
      passes[1].nodes.push_back(n);
    }
    bool whole = blank;
    if (!blank &&
        !main_pass_is_whole(cursor.get(), table, components.main_rows(), &whole))
      return Ref();
    if (whole) components.set_main_complete();
    if (!components.explore(passes[0].nodes) || !components.explore(passes[1].nodes))
      return Ref();
  }

  // In read order: a row whose tuple under some rule belongs to a row already
  // returned is dropped; otherwise it is returned when it is the newest of
  // its component, and only then are its tuples recorded.
  Ref docs(PyList_New(0));
  if (!docs) return Ref();
  for (const Pass& pass : passes) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pass.rows.get()); ++i) {
      if (signal_due(i)) return Ref();
      PyObject* row = PyList_GET_ITEM(pass.rows.get(), i);
      if (!rules.empty()) {
        const int n = pass.nodes[i];
        if (components.repeats_returned(n) || !components.is_newest(n)) continue;
        components.record_returned(n);
      }
      Ref values = selected_values(row, shown);
      if (!values || PyList_Append(docs.get(), values.get()) < 0) return Ref();
    }
  }
  return docs;
}

}  // namespace

PyObject* find(PyObject*, const Arguments<4>& args) {
  const auto [conn, select, table, conditions] = args;

  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  // Every read below sees one state of the database, so rows read by
  // different statements can be matched by row id.
  ReadSnapshot snapshot(conn, cursor.get());
  if (!snapshot.open()) return nullptr;
  Ref docs = find_rows(cursor.get(), select, table, conditions);
  if (!snapshot.close(static_cast<bool>(docs))) return nullptr;
  return docs.release();
}


// ---- _check_newest_unique ------------------------------------------------------------

namespace {

// eqivalent_set.add(item), for a set or anything with an add method.
bool add_to(PyObject* target, PyObject* item) {
  if (PyAnySet_Check(target)) return PySet_Add(target, item) == 0;
  return static_cast<bool>(Ref(PyObject_CallMethod(target, "add", "O", item)));
}

}  // namespace

PyObject* check_newest_unique(PyObject* module, const Arguments<8>& args) {
  const auto [conn, table, rowid, row, uniques, cols, total_select, visited] = args;
  State& st = state_of(module);

  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  Ref tested_tier(PySequence_GetItem(rowid, 0));
  if (!tested_tier) return nullptr;
  Ref tested_id(PySequence_GetItem(rowid, 1));
  if (!tested_id) return nullptr;
  std::vector<Rule> rules;
  if (!prepare_rules(uniques, cols, rules)) return nullptr;

  Ref statements[2];  // per tier: "SELECT <total_select> FROM <tier table> WHERE "
  for (int tier : {0, 1}) {
    statements[tier] =
        compose({"SELECT ", total_select, tier ? " FROM temp_" : " FROM ", table, " WHERE "});
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
      const Rule& rule = rules[r];
      if (rule.members.empty()) continue;
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
        Ref found = fetch_all(cursor.get(), sql.get(), params);
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
