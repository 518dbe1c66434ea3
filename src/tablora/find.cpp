// find: the candidate rows of both tiers that are the newest of the rows
// linked to them by equal values under a unique rule.
//
// Rows are linked when they hold SQL-equal, non-NULL values in every column
// of some rule; a row is the newest of its linked rows exactly when it is the
// newest row of its connected component, a staged row being newer than any
// main row. find builds those components for all its candidates at once:
// rows are grouped in memory, main rows outside the passes are fetched a
// batch of value tuples per statement (or not at all when the main pass read
// the whole table), and a link graph keeps the newest row of every component.
// The passes are read a chunk at a time; each candidate is kept as fetched
// and let go once its verdict is in the result.
#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalogue.hpp"
#include "driver.hpp"
#include "fetch_stream.hpp"
#include "functions.hpp"
#include "link_graph.hpp"
#include "text.hpp"
#include "tuple_index.hpp"

namespace tablora {

namespace {

// Parameters per lookup statement: within what every engine binds (a dqlite
// statement takes at most 255).
constexpr size_t kBatch = 250;

bool row_id_of(PyObject* row, long long* id) {
  Value value(row, 0);
  if (value.get() == nullptr) return false;
  *id = PyLong_AsLongLong(value.get());
  return !(*id == -1 && PyErr_Occurred());
}

// A fetched full row split into its row id and the list of its values: the
// list is what find returns for "*", so a kept candidate costs no copy.
Ref split_row(PyObject* row, long long* id) {
  if (!row_id_of(row, id)) return Ref();
  const Py_ssize_t width = PyObject_Size(row);
  if (width < 0) return Ref();
  Ref values(PyList_New(width > 0 ? width - 1 : 0));
  if (!values) return values;
  for (Py_ssize_t i = 1; i < width; ++i) {
    Value value(row, i);
    if (value.get() == nullptr) return Ref();
    PyList_SET_ITEM(values.get(), i - 1, Py_NewRef(value.get()));
  }
  return values;
}

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

// Rows placed in the link graph, grouped under every rule by their values
// (host equality, compared in place in the rows' value lists, which must
// outlive this object), with the main rows that link to them looked up in
// batches.
class Linker {
 public:
  // Without `dedupe` every row added is new and the passes read every row
  // of both tables: nothing is looked up or deduplicated.
  Linker(const std::vector<UniqueRule>& rules, bool dedupe, const Call& call,
         std::string table, std::string main_select)
      : rules_(rules), dedupe_(dedupe), main_complete_(!dedupe), graph_(rules.size(), dedupe),
        call_(call), table_(std::move(table)), main_select_(std::move(main_select)) {
    for (const UniqueRule& rule : rules) indexes_.emplace_back(rule.positions);
  }

  LinkGraph& graph() { return graph_; }
  size_t main_rows() const { return main_.size(); }
  // Every main row is in the graph already: nothing to look up.
  void set_main_complete() { main_complete_ = true; }

  // Adds a row's values under its reference; a row whose reference is known
  // is not added again. -1 with the error set.
  int add(PyObject* row, int tier, long long id) {
    if (dedupe_) {
      auto [slot, fresh] = (tier ? staged_ : main_).try_emplace(id, -1);
      if (!fresh && slot->second >= 0) return slot->second;
      const int n = place(row, tier, id);
      slot->second = n;
      return n;
    }
    return place(row, tier, id);
  }

  // Completes the components of the given rows.
  bool complete(const std::vector<int>& starts) {
    if (main_complete_) return true;
    for (int n : starts) graph_.want(n);
    std::vector<std::vector<int>> asked;
    while (graph_.next_lookups(asked)) {
      std::vector<long long> unknown;
      for (size_t r = 0; r < asked.size(); ++r)
        if (!asked[r].empty() && !look_up(r, asked[r], unknown)) return false;
      if (!fetch_rows(unknown)) return false;  // new rows link themselves
      graph_.resolved(asked);
    }
    return true;
  }

 private:
  int place(PyObject* row, int tier, long long id) {
    const int n = graph_.add(tier, id);
    for (size_t r = 0; r < indexes_.size(); ++r) {
      bool fresh = false, has_null = false;
      const int g = indexes_[r].group_of(row, &fresh, &has_null);
      if (g < 0) return -1;
      graph_.place(n, r, g, fresh, !has_null && !rules_[r].columns.empty());
    }
    return n;
  }

  // Row ids of the main rows holding the given groups' values under rule r,
  // a batch of tuples per statement (the rule's index answers alone); the
  // ids not in the graph yet go to `unknown`, once each.
  bool look_up(size_t r, const std::vector<int>& groups, std::vector<long long>& unknown) {
    const std::vector<Ref>& columns = rules_[r].columns;
    const size_t batch = std::max<size_t>(1, kBatch / columns.size());
    for (size_t start = 0; start < groups.size(); start += batch) {
      const size_t count = std::min(batch, groups.size() - start);
      std::string sql = "SELECT m.rowid FROM " + table_;
      if (!append_lookup(sql, columns, count)) return false;
      Ref params(PyTuple_New(static_cast<Py_ssize_t>(count * columns.size())));
      if (!params) return false;
      Py_ssize_t k = 0;
      for (size_t i = 0; i < count; ++i) {
        PyObject* row = indexes_[r].first_row(groups[start + i]);
        for (Py_ssize_t member : indexes_[r].members()) {
          Value v(row, member);
          if (v.get() == nullptr) return false;
          PyTuple_SET_ITEM(params.get(), k++, Py_NewRef(v.get()));
        }
      }
      Ref text = str(sql);
      if (!text) return false;
      const bool read = for_each_fetched(call_, text.get(), params.get(), [&](PyObject* row) {
        long long id;
        if (!row_id_of(row, &id)) return false;
        if (main_.try_emplace(id, -1).second) unknown.push_back(id);
        return true;
      });
      if (!read) return false;
    }
    return true;
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
      const bool read = for_each_fetched(call_, text.get(), params.get(), [&](PyObject* fetched) {
        long long id;
        Ref row = split_row(fetched, &id);
        if (!row) return false;
        kept_.push_back(Ref::borrow(row.get()));  // the graph compares in place in it
        const int n = place(row.get(), 0, id);
        if (n < 0) return false;
        main_[id] = n;
        return true;
      });
      if (!read) return false;
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

  const std::vector<UniqueRule>& rules_;
  const bool dedupe_;
  bool main_complete_;
  std::vector<TupleIndex> indexes_;
  LinkGraph graph_;
  const Call& call_;
  std::string table_;        // text form of the table name
  std::string main_select_;  // "SELECT m.rowid,m.<column>... FROM <table>"
  std::unordered_map<long long, int> staged_, main_;  // row id -> node, -1: known, not added
  std::vector<Ref> kept_;                             // rows read only to link
};

// Pending signals are checked every 4096 rows of a loop.
bool signal_due(size_t i) { return (i & 4095) == 4095 && PyErr_CheckSignals() < 0; }

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

// The selected values of a row's value list: the list itself when every
// column is selected in table order.
Ref selected_values(Ref row, const std::vector<Py_ssize_t>& members) {
  const Py_ssize_t width = PyList_GET_SIZE(row.get());
  bool whole = static_cast<Py_ssize_t>(members.size()) == width;
  for (size_t i = 0; whole && i < members.size(); ++i)
    whole = members[i] == static_cast<Py_ssize_t>(i) + 1;
  if (whole) return row;
  Ref values(PyList_New(static_cast<Py_ssize_t>(members.size())));
  if (!values) return values;
  for (size_t i = 0; i < members.size(); ++i) {
    PyObject* value = PyList_GET_ITEM(row.get(), members[i] - 1);
    PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value));
  }
  return values;
}

// One integer from a one-row, one-column result; NULL reads as 0.
bool scalar(Call& call, PyObject* sql, long long* out) {
  Ref rows = call.fetch_all(sql);
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
bool main_pass_is_whole(Call& call, PyObject* table, size_t distinct_rows, bool* whole) {
  *whole = false;
  if (distinct_rows == 0) return true;
  Ref highest = compose({"SELECT max(rowid) FROM ", table});
  long long top = 0;
  if (!highest || !scalar(call, highest.get(), &top)) return false;
  if (static_cast<long long>(distinct_rows) * 4 < top) return true;
  Ref counting = compose({"SELECT count(*) FROM ", table});
  long long count = 0;
  if (!counting || !scalar(call, counting.get(), &count)) return false;
  *whole = count == static_cast<long long>(distinct_rows);
  return true;
}

// The rows one pass read, as value lists, and their nodes in the graph: in
// read order from `first` on, unless rows were deduplicated.
struct Pass {
  std::vector<Ref> rows;
  std::vector<int> nodes;
  int first = 0;
  int node(size_t i) const { return nodes.empty() ? first + static_cast<int>(i) : nodes[i]; }
};

// What the passes need: the rules and the graph are made at the first row of
// either pass, so that a table with no rows never trips over its rules.
struct Reading {
  const Call& call;
  PyObject* positions;  // rule name -> column positions, as the catalogue holds them
  PyObject* cols;
  bool dedupe;
  std::string table_text, main_select;
  std::vector<UniqueRule> rules;
  std::optional<Linker> linker;

  bool add(Pass& pass, PyObject* fetched, int tier) {
    if (!linker) {
      if (!unique_rules_from(positions, cols, rules)) return false;
      linker.emplace(rules, dedupe, call, table_text, main_select);
      pass.first = 0;
    }
    long long id;
    Ref row = split_row(fetched, &id);
    if (!row) return false;
    if (!rules.empty()) {
      const int n = linker->add(row.get(), tier, id);
      if (n < 0) return false;
      if (dedupe) pass.nodes.push_back(n);
    }
    pass.rows.push_back(std::move(row));
    return true;
  }

  bool read(PyObject* sql, Pass& pass, int tier) {
    if (linker) pass.first = static_cast<int>(linker->graph().nodes());
    return for_each_fetched(call, sql, nullptr, [&](PyObject* row) { return add(pass, row, tier); });
  }
};

Ref find_rows(Call& call, PyObject* select, PyObject* table, PyObject* conditions) {
  Ref cols = read_columns(call, table);
  if (!cols) return Ref();
  std::string total_select;
  if (!build_total_select(cols.get(), total_select)) return Ref();
  Ref uniques = read_rule_positions(call, table);
  if (!uniques) return Ref();
  std::vector<Py_ssize_t> shown;
  if (!selected_members(select, cols.get(), shown)) return Ref();

  // Every staged row can link candidates, whatever the conditions select.
  // Blank conditions read every row of both tables, once each.
  Reading reading{call, uniques.get(), cols.get(), !is_blank(conditions), {}, {}, {}, {}};
  if (!append_text(reading.table_text, table)) return Ref();
  std::string main_select;
  if (!build_total_select(cols.get(), main_select, "m.")) return Ref();
  Ref main_from = compose({"SELECT ", main_select.c_str(), " FROM ", table});
  if (!main_from) return Ref();
  const char* main_from_text = PyUnicode_AsUTF8(main_from.get());
  if (main_from_text == nullptr) return Ref();
  reading.main_select = main_from_text;

  Ref total = str(total_select);
  if (!total) return Ref();
  Pass passes[2];  // staged, then main
  Ref staged_sql = compose({"SELECT ", total.get(), " FROM temp_", table, " ", conditions});
  if (!staged_sql || !reading.read(staged_sql.get(), passes[0], 1)) return Ref();
  Ref main_sql = compose({"SELECT ", total.get(), " FROM ", table, " ", conditions});
  if (!main_sql || !reading.read(main_sql.get(), passes[1], 0)) return Ref();

  const bool linked = reading.linker && !reading.rules.empty();
  std::vector<Ref> all_staged;  // rows read only to link, kept for the graph
  if (linked && reading.dedupe) {
    Linker& linker = *reading.linker;
    Ref sql = compose({"SELECT ", total.get(), " FROM temp_", table});
    if (!sql) return Ref();
    const bool read = for_each_fetched(call, sql.get(), nullptr, [&](PyObject* fetched) {
      long long id;
      Ref row = split_row(fetched, &id);
      if (!row) return false;
      all_staged.push_back(Ref::borrow(row.get()));
      return linker.add(row.get(), 1, id) >= 0;
    });
    if (!read) return Ref();
    bool whole = false;
    if (!main_pass_is_whole(call, table, linker.main_rows(), &whole)) return Ref();
    if (whole) linker.set_main_complete();
    if (!linker.complete(passes[0].nodes) || !linker.complete(passes[1].nodes)) return Ref();
  }

  // In read order: a row whose values under some rule belong to a row already
  // returned is dropped; otherwise it is returned when it is the newest of
  // its component, and only then are its values recorded. Each row is let go
  // once judged.
  Ref docs(PyList_New(0));
  if (!docs) return Ref();
  for (Pass& pass : passes) {
    for (size_t i = 0; i < pass.rows.size(); ++i) {
      if (signal_due(i)) return Ref();
      Ref row = std::move(pass.rows[i]);
      if (linked) {
        LinkGraph& graph = reading.linker->graph();
        const int n = pass.node(i);
        if (graph.repeats_returned(n) || !graph.is_newest(n)) continue;
        graph.record_returned(n);
      }
      Ref values = selected_values(std::move(row), shown);
      if (!values || PyList_Append(docs.get(), values.get()) < 0) return Ref();
    }
  }
  return docs;
}

}  // namespace

PyObject* find(PyObject* module, const Arguments<4>& args) {
  const auto [conn, select, table, conditions] = args;

  Call call(module, conn);
  if (!call.open_cursor()) return nullptr;
  // Every read below sees one state of the database, so rows read by
  // different statements can be matched by row id.
  Snapshot snapshot(call);
  if (!snapshot.open()) return nullptr;
  // The collector is paused while the candidates pile up: they are lists of
  // plain values, which form no cycle, and each collection would walk all
  // of them again.
  const int collecting = PyGC_Disable();
  Ref docs = find_rows(call, select, table, conditions);
  if (collecting) PyGC_Enable();
  if (!snapshot.close(static_cast<bool>(docs))) return nullptr;
  return docs.release();
}

}  // namespace tablora
