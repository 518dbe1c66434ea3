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
#include <vector>

#include "catalogue.hpp"
#include "driver.hpp"
#include "fetch_stream.hpp"
#include "functions.hpp"
#include "link_graph.hpp"
#include "linker.hpp"
#include "text.hpp"
#include "tuple_index.hpp"

namespace tablora {

namespace {

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

// Whether the main pass read every row of the main table. Counting is only
// worth it when the pass read a good part of the table.
bool main_pass_is_whole(Call& call, PyObject* table, size_t distinct_rows, bool* whole) {
  *whole = false;
  if (distinct_rows == 0) return true;
  Ref highest = compose({"SELECT max(rowid) FROM ", table});
  long long top = 0;
  if (!highest || !call.fetch_integers(highest.get(), {&top})) return false;
  if (static_cast<long long>(distinct_rows) * 4 < top) return true;
  Ref counting = compose({"SELECT count(*) FROM ", table});
  long long count = 0;
  if (!counting || !call.fetch_integers(counting.get(), {&count})) return false;
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
