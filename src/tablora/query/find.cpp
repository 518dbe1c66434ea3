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
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query/find.hpp"
#include "query/link_graph.hpp"
#include "query/linker.hpp"
#include "query/main_row_lookup.hpp"
#include "sql/collation.hpp"
#include "sql/columns.hpp"
#include "sql/driver.hpp"
#include "sql/fetch_stream.hpp"
#include "sql/row.hpp"
#include "sql/sql_names.hpp"
#include "sql/table_names.hpp"
#include "sql/text.hpp"
#include "sql/transactions.hpp"
#include "sql/unique_rules.hpp"

namespace tablora {

namespace {

// Pending signals are checked every 4096 rows of a loop.
bool signal_due(size_t i) { return (i & 4095) == 4095 && PyErr_CheckSignals() < 0; }

bool is_blank(PyObject* text) {
  if (!PyUnicode_Check(text)) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, i))) return false;
  return true;
}

// The condition of a tail that is a plain WHERE clause, parenthesised to
// stand alone, which a read can narrow to ranges of row ids; "" for a blank
// tail. Any other tail (ORDER BY, LIMIT, GROUP BY, a compound SELECT, an
// alias or join, a comment left open) is nullopt: its order or its rows
// would change if read in ranges. Those words anywhere, even quoted, count:
// a tail read whole is still read right.
std::optional<std::string> plain_condition(std::string_view tail) {
  static constexpr std::string_view kClauses[] = {"ORDER", "LIMIT",     "GROUP",  "HAVING",
                                                  "WINDOW", "UNION", "INTERSECT", "EXCEPT"};
  const size_t start = tail.find_first_not_of(" \t\n\r\f\v");
  if (start == std::string_view::npos) return std::string();
  if (tail.find("/*") != std::string_view::npos) return std::nullopt;
  auto is_word_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80);
  };
  bool first = true;
  for (size_t at = start; at < tail.size();) {
    if (!is_word_char(tail[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < tail.size() && is_word_char(tail[end])) ++end;
    const std::string_view word = tail.substr(at, end - at);
    if (first && (at != start || !same_sql_name(word, "WHERE"))) return std::nullopt;
    for (std::string_view clause : kClauses)
      if (same_sql_name(word, clause)) return std::nullopt;
    first = false;
    at = end;
  }
  if (first) return std::nullopt;  // no word at all
  std::string condition = "(";
  condition.append(tail.substr(start + 5));
  return condition += "\n)";  // a comment at its end stays inside
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
bool main_pass_is_whole(Call& call, const TableNames& table, size_t distinct_rows, bool* whole) {
  *whole = false;
  if (distinct_rows == 0) return true;
  long long top = 0;
  if (!call.fetch_integers("SELECT max(rowid) FROM " + table.main(), {&top})) return false;
  if (static_cast<long long>(distinct_rows) * 4 < top) return true;
  long long count = 0;
  if (!call.fetch_integers("SELECT count(*) FROM " + table.main(), {&count})) return false;
  *whole = count == static_cast<long long>(distinct_rows);
  return true;
}

// The rows one pass read, as value lists, and their nodes in the graph (-1
// for a row outside it, which links to nothing): placed as read after a
// partial read; reading every row, placed only when they share a key hash,
// `ids` holding the row ids until then.
struct Pass {
  std::vector<Ref> rows;
  std::vector<int> nodes;
  std::vector<long long> ids;
};

// Reads the passes of both tiers into the link graph. The rules and the
// linker are made at the first row of either pass, so that a table with no
// rows never trips over its rules.
class PassReader {
  static constexpr Py_ssize_t kAhead = 8;

 public:
  // `positions`: rule name -> column positions, as the catalogue holds them.
  // With `partial_read` the passes read some rows of both tables;
  // without it, every row.
  // `collations`: one per column, or none when the table has no rules.
  PassReader(const Call& call, PyObject* positions, PyObject* cols,
             const std::vector<Collation>& collations, bool partial_read,
             const MainRowLookup& lookup)
      : call_(call), positions_(positions), cols_(cols), collations_(collations),
        partial_read_(partial_read), lookup_(lookup), keys_(0) {}

  // Adds every row `rows` reads to `pass`.
  bool read(const RowsRead& rows_read, Pass& pass, Tier tier) {
    FetchCursor cursor;
    if (!cursor.open(call_, rows_read, nullptr)) return false;
    while (true) {
      Ref rows = cursor.next_chunk();
      if (!rows) return false;
      const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows.get());
      if (count == 0) return true;
      PyObject** items = PySequence_Fast_ITEMS(rows.get());
      for (Py_ssize_t i = 0; i < count; ++i) {
        // The groups a row joins lie anywhere in tables larger than the
        // caches: asked for a few rows ahead, they have arrived when needed.
        if (linker_ && !rules_.empty() && partial_read_ && i + kAhead < count &&
            !linker_->prefetch(items[i + kAhead]))
          return false;
        if (!add(pass, items[i], tier)) return false;
      }
      if (PyErr_CheckSignals() < 0) return false;
    }
  }

  // The linker, once a row was read; nullptr before.
  Linker* linker() { return linker_ ? &*linker_ : nullptr; }
  // Whether rows can link at all: some row was read and the table has rules.
  bool links() const { return linker_ && !rules_.empty(); }

  // Reading every row of both tiers, the passes only noted their rows'
  // keys: the rows sharing a key hash with another row go into the graph
  // now, each under its node in its pass; the others link to nothing.
  bool place_shared(Pass& staged, Pass& main) {
    if (!links() || partial_read_) return true;
    const std::vector<uint8_t> shared = keys_.shared();
    size_t at = 0;  // rows were numbered across both passes, staged first
    for (const auto& [pass, tier] : {std::pair{&staged, kStaged}, std::pair{&main, kMain}}) {
      std::vector<size_t> placed;
      for (size_t i = 0; i < pass->rows.size(); ++i, ++at)
        if (shared[at]) placed.push_back(i);
      pass->nodes.assign(pass->rows.size(), -1);
      for (size_t k = 0; k < placed.size(); ++k) {
        if (!prefetch_ahead(*pass, placed, k)) return false;
        const size_t i = placed[k];
        pass->nodes[i] = linker_->add(pass->rows[i].get(), tier, pass->ids[i]);
        if (pass->nodes[i] < 0) return false;
      }
      std::vector<long long>().swap(pass->ids);
    }
    return true;
  }

 private:
  // The rows placed after the passes were read long before: each pointer a
  // row leads to waits on memory. They are asked for ahead, one level
  // deeper the nearer a row's turn: its list, its values, its values'
  // characters, its groups' slots.
  bool prefetch_ahead(const Pass& pass, const std::vector<size_t>& placed, size_t k) const {
    auto row = [&](size_t ahead) {
      return k + ahead < placed.size() ? pass.rows[placed[k + ahead]].get() : nullptr;
    };
    if (PyObject* list = row(12)) __builtin_prefetch(list);
    if (PyObject* list = row(8)) __builtin_prefetch(PySequence_Fast_ITEMS(list));
    if (PyObject* list = row(4)) {
      for (Py_ssize_t v = 0; v < PyList_GET_SIZE(list); ++v)
        __builtin_prefetch(PyList_GET_ITEM(list, v));
    }
    PyObject* list = row(2);
    return !list || linker_->prefetch_values(list);
  }

  bool add(Pass& pass, PyObject* fetched, Tier tier) {
    if (!linker_) {
      if (!unique_rules_from(positions_, cols_, rules_, &collations_)) return false;
      linker_.emplace(rules_, partial_read_, call_, lookup_);
      keys_ = SharedKeys(partial_read_ ? 0 : rules_.size());
    }
    long long id;
    Ref row = split_row(fetched, &id);
    if (!row) return false;
    untrack_plain_row(row.get());  // while its values are in the cache
    if (!rules_.empty()) {
      if (!partial_read_ && !linker_->note_keys(row.get(), keys_)) return false;
      // Reading every row, rows wait until their keys are known to be
      // shared, most being alone.
      if (partial_read_) {
        const int n = linker_->add(row.get(), tier, id);
        if (n < 0) return false;
        pass.nodes.push_back(n);
      } else {
        pass.ids.push_back(id);
      }
    }
    pass.rows.push_back(std::move(row));
    return true;
  }

  const Call& call_;
  PyObject* positions_;
  PyObject* cols_;
  const std::vector<Collation>& collations_;
  const bool partial_read_;
  const MainRowLookup& lookup_;
  std::vector<UniqueRule> rules_;
  std::optional<Linker> linker_;
  SharedKeys keys_;  // reading every row: both tiers' key hashes
};

// Whether the candidates are few next to the staged rows: then their staged
// links are found by statements on the staging table, each of which SQLite
// reads whole at a fraction of what reading every staged row here costs.
bool few_candidates(Call& call, const TableNames& table, size_t candidates, bool* few) {
  constexpr size_t kMostFew = 256;
  *few = false;
  if (candidates > kMostFew) return true;
  long long top = 0;  // the staged rows' count, near enough: row ids restart after a merge
  if (!call.fetch_integers("SELECT max(rowid) FROM " + table.staging(), {&top})) return false;
  *few = static_cast<long long>(candidates) * 64 < top;
  return true;
}

// Adds every staged row to the linker, to link candidates whatever the
// conditions select; `kept` holds them for the graph, which compares in place.
bool link_all_staged(const Call& call, const RowsRead& sql, Linker& linker,
                     std::vector<Ref>& kept) {
  return for_each_fetched(call, sql, nullptr, [&](PyObject* fetched) {
    long long id;
    Ref row = split_row(fetched, &id);
    if (!row) return false;
    kept.push_back(Ref::borrow(row.get()));
    return linker.add(row.get(), kStaged, id) >= 0;
  });
}

Ref find_rows(Call& call, PyObject* select, PyObject* table_given, PyObject* conditions) {
  const std::optional<TableNames> table = TableNames::of(table_given);
  if (!table) return Ref();
  Ref cols = read_columns(call, table->main(), table->given());
  if (!cols) return Ref();
  std::string full_row;
  if (!append_row_columns(full_row, cols.get())) return Ref();
  Ref uniques = read_rule_positions(call, *table);
  if (!uniques) return Ref();
  std::vector<Collation> collations;
  std::vector<Ref> classes;  // what collations only SQLite knows make equal
  if (PyDict_GET_SIZE(uniques.get()) > 0 &&
      (!read_column_collations(call, *table, cols.get(), collations) ||
       !read_collation_classes(call, *table, cols.get(), collations, classes)))
    return Ref();
  std::vector<Py_ssize_t> shown;
  if (!selected_members(select, cols.get(), shown)) return Ref();
  MainRowLookup lookup;
  if (!lookup.prepare(*table, cols.get())) return Ref();
  std::string where = " ";
  if (!append_text(where, conditions)) return Ref();
  long long per_request = 0;
  if (!read_rows_per_request(call.conn(), &per_request)) return Ref();
  const std::optional<std::string> condition = plain_condition(where);
  // A tail that is not a plain WHERE clause is read as given, in one statement.
  auto read_of = [&](const std::string& tier) {
    const std::string select = "SELECT " + full_row + " FROM " + tier;
    return condition ? RowsRead{select, *condition, per_request} : RowsRead{select + where, "", 0};
  };

  // Every staged row can link candidates, whatever the conditions select.
  // Blank conditions read every row of both tables, once each; any others
  // make a partial read.
  const bool partial_read = !is_blank(conditions);
  PassReader reader(call, uniques.get(), cols.get(), collations, partial_read, lookup);
  Pass staged, main;
  if (!reader.read(read_of(table->staging()), staged, kStaged) ||
      !reader.read(read_of(table->main()), main, kMain) || !reader.place_shared(staged, main))
    return Ref();

  const bool linked = reader.links();
  std::vector<Ref> all_staged;  // rows read only to link, kept for the graph
  if (linked && partial_read) {
    Linker& linker = *reader.linker();
    bool selective = false;
    if (!few_candidates(call, *table, staged.rows.size() + main.rows.size(), &selective))
      return Ref();
    if (selective) {
      linker.set_staged_complete(false);
    } else {
      const RowsRead every_staged{"SELECT " + full_row + " FROM " + table->staging(), "",
                                  per_request};
      if (!link_all_staged(call, every_staged, linker, all_staged)) return Ref();
    }
    bool whole = false;
    if (!main_pass_is_whole(call, *table, linker.main_rows(), &whole)) return Ref();
    if (whole) linker.set_main_complete();
    // Both tiers' candidates at once: each round of lookups asks for all
    // their values together.
    std::vector<int> candidates(staged.nodes);
    candidates.insert(candidates.end(), main.nodes.begin(), main.nodes.end());
    if (!linker.complete(candidates)) return Ref();
  }

  // In read order, staged rows first: a row whose values under some rule
  // belong to a row already returned is dropped; otherwise it is returned
  // when it is the newest of its component, and only then are its values
  // recorded. The verdicts come first, so that the result is made at its
  // size at once; then each row is let go or handed to it.
  std::vector<uint8_t> returned;
  returned.reserve(staged.rows.size() + main.rows.size());
  Py_ssize_t count = 0;
  for (Pass* pass : {&staged, &main}) {
    for (size_t i = 0; i < pass->rows.size(); ++i) {
      if (signal_due(i)) return Ref();
      // A row outside the graph links to nothing: it is the newest of its own.
      const int n = linked ? pass->nodes[i] : -1;
      returned.push_back(n < 0 || reader.linker()->graph().returns(n));
      count += returned.back();
    }
  }
  Ref result(PyList_New(count));
  if (!result) return Ref();
  Py_ssize_t at = 0;
  const uint8_t* verdict = returned.data();
  for (Pass* pass : {&staged, &main}) {
    for (Ref& row : pass->rows) {
      if (!*verdict++) {
        row = Ref();
        continue;
      }
      const PyObject* whole = row.get();
      Ref values = selected_values(std::move(row), shown);
      if (!values) return Ref();
      if (values.get() != whole) untrack_plain_row(values.get());
      PyList_SET_ITEM(result.get(), at++, values.release());
    }
  }
  return result;
}


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
  Ref result = find_rows(call, select, table, conditions);
  if (collecting) PyGC_Enable();
  if (!snapshot.close(static_cast<bool>(result))) return nullptr;
  return result.release();
}

}  // namespace

const Declaration kFind{
    "find", {"conn", "select", "table", "conditions"}, find,
    "Find rows from temp and main tables.\n\n"
    "select: '*' or 'name,age'\n"
    "table: 'persons'\n"
    "conditions: '''where (id, city) = (1093, 'Tehran')\n"
    "               order by age desc'''\n"
    "Staged rows come first; a row is returned only when no row linked to it\n"
    "by equal values under a unique rule is newer."};

}  // namespace tablora
