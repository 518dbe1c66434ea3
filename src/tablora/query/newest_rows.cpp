// newest_rows: the rows find returns, handed out a chunk at a time.
//
// A row is returned when it is the newest of the rows linked to it, its
// component in find's link graph. How much of the graph is built follows
// what was asked:
// - Settled (a whole read, or an order without a limit): every staged row's
//   key values are read and linked in memory (the other columns read as
//   NULL, so memory follows the keys), with the main rows that hold a
//   staged row's key, found by one statement joining the tiers through the
//   rules' indexes, and the main rows that share a key with another main
//   row, found by one grouping statement per rule. A main row outside the
//   graph then links to nothing and is returned; one inside is judged by
//   the graph.
// - Lazy (a limit, or a condition without an order): each batch of
//   candidates is linked and completed before it is judged, the staged links
//   of the first few found by statements on the staging table; past more
//   candidates every staged key is read, and past many the reader settles.
// With an order, SQLite sorts both tiers together: settled, a limit is
// pushed down with room for every row of the graph, the only rows the
// verdict can remove; lazy, the sorted rows are read a window at a time.
#include "query/newest_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "query/linker.hpp"
#include "query/main_row_lookup.hpp"
#include "sql/collation.hpp"
#include "sql/columns.hpp"
#include "sql/driver.hpp"
#include "sql/fetch_stream.hpp"
#include "sql/row.hpp"
#include "sql/table_names.hpp"
#include "sql/text.hpp"
#include "sql/transactions.hpp"
#include "sql/unique_rules.hpp"

namespace tablora {

namespace {

constexpr long long kNoLimit = -1;
// Candidates judged together in the lazy mode, at least: fewer would cost a
// lookup statement per row.
constexpr Py_ssize_t kLeastLazyBatch = 64;
// Candidates judged lazily before the reader settles instead.
constexpr Py_ssize_t kMostLazyRows = 16384;
// Candidates judged lazily whose staged links are looked up in the staging
// table, before every staged key is read instead.
constexpr Py_ssize_t kMostStagedLookupRows = 256;

// The values of a fetched row from member `from` on, as a tuple: tuples of
// plain values are left alone by the cycle collector.
Ref values_from(PyObject* fetched, Py_ssize_t from) {
  if (PyTuple_CheckExact(fetched))  // as drivers fetch rows; no slice object is made
    return Ref(PyTuple_GetSlice(fetched, from, PyTuple_GET_SIZE(fetched)));
  Ref slice(PySequence_GetSlice(fetched, from, PY_SSIZE_T_MAX));
  if (!slice || PyTuple_CheckExact(slice.get())) return slice;
  return Ref(PySequence_Tuple(slice.get()));
}

// None or an int >= 0; kNoLimit for None. False with the error set.
bool count_argument(PyObject* value, const char* name, long long* out) {
  *out = kNoLimit;
  if (value == Py_None) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be None or an int, not %.100s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  *out = PyLong_AsLongLong(value);
  if (*out == -1 && PyErr_Occurred()) return false;
  if (*out < 0) {
    PyErr_Format(PyExc_ValueError, "%s must be >= 0, not %lld", name, *out);
    return false;
  }
  return true;
}

// None or text; "" for None. False with the error set.
bool text_argument(PyObject* value, const char* name, std::string& out) {
  if (value == Py_None) return true;
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be None or a str, not %.100s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  return append_text(out, value);
}

// The rows one call reads: its snapshot, the graph of the staged rows and
// the statement being streamed.
class NewestRowsReader {
 public:
  NewestRowsReader(PyObject* module, PyObject* conn)
      : module_(Ref::borrow(module)), conn_(Ref::borrow(conn)), call_(module, conn),
        snapshot_(call_) {}

  // Checks the arguments, opens the snapshot, links the staged rows and
  // starts the first statement. False with the error set.
  bool start(PyObject* table, PyObject* select, PyObject* where, PyObject* params,
             PyObject* order_by, PyObject* limit, PyObject* offset);
  // Rows are made as `row_type`, a subclass of tuple, from the next one on.
  // False with the error set.
  bool set_row_type(PyObject* row_type);
  // The next row; empty at the end (no error) or on failure (error set).
  Ref next();
  // Ends the statement and releases the snapshot (once); `ok` tells whether
  // the read succeeded so far. False with the error set.
  bool close(bool ok);
  bool closed() const { return closed_; }
  // close(true) at the caller's asking: the rows judged but not yet handed
  // out go too.
  bool stop() {
    ready_.clear();
    return close(true);
  }

 private:
  enum class Phase { kStaged, kMain, kBoth, kDone };

  bool read_arguments(PyObject* select, PyObject* where, PyObject* params, PyObject* order_by,
                      PyObject* limit, PyObject* offset);
  // Adds the values of a fetched row (from member `first` on) to the graph
  // as (tier, id), keeps them for it and records the node in `nodes`.
  bool add_to_graph(PyObject* fetched, Py_ssize_t first, int tier, long long id,
                    std::vector<int>& nodes);
  bool append_key_columns(std::string& sql, const char* qualifier) const;
  // "m.<c> = <other>.<c>" for each column c of `rule`, joined by AND. False
  // with the error set.
  static bool append_rule_join(std::string& sql, const UniqueRule& rule, const char* other);
  bool link_staged_keys();
  bool link_main_rows_of_staged();
  // Reads main rows (row id, then every column, those outside the rules as
  // NULL) into the graph, each row once. False with the error set.
  bool link_main_rows(const std::string& sql);
  bool settle();
  bool link_repeated_main_keys(const UniqueRule& rule);
  void mark_main_rows_in_graph();
  bool may_be_in_graph(int tier, long long id) const;
  bool open_phase(Phase phase);
  bool judge_next_rows();
  bool hand_out(PyObject* row, Py_ssize_t first_value);
  // The selected values of a fetched row as one handed-out row. Empty with
  // the error set.
  Ref made_row(PyObject* row, Py_ssize_t first_value) const;
  bool is_whole_row() const;
  // The tier and row id of a fetched row in the current phase; false with
  // the error set.
  bool reference_of(PyObject* row, int* tier, long long* id) const;
  // Where a fetched row's values begin: behind the row id, and the tier
  // when both tiers are read together.
  Py_ssize_t first_value() const { return phase_ == Phase::kBoth ? 2 : 1; }

  Ref module_, conn_;
  Call call_;
  Ref uniques_;
  std::vector<Ref> classes_;  // what collations only SQLite knows make equal
  Snapshot snapshot_;
  std::optional<TableNames> table_;
  Ref cols_;
  std::string full_row_;
  std::vector<UniqueRule> rules_;
  MainRowLookup lookup_;
  std::optional<Linker> linker_;
  std::vector<Ref> kept_;  // rows in the graph, which compares in place in them
  std::vector<int> staged_nodes_;
  bool staged_linked_ = false;  // every staged row's keys are in the graph
  bool settled_ = false;
  std::vector<uint64_t> main_bits_;  // main row ids in the settled graph
  bool main_marked_ = false;

  // The request.
  std::vector<Py_ssize_t> shown_;  // positions in the value list
  bool whole_row_ = false;         // every column, in table order
  PyTypeObject* row_type_ = &PyTuple_Type;  // or the caller's subclass, held below
  Ref row_type_owner_;
  std::string condition_, order_by_;  // the condition parenthesised, or empty
  Ref params_, params_twice_;  // nullptr without conditions
  long long limit_ = kNoLimit, offset_ = kNoLimit;
  long long per_request_ = 0;  // the connection's rows per read statement, 0: no ranges

  // The stream.
  Phase phase_ = Phase::kDone;
  FetchCursor cursor_;
  Ref chunk_;
  Py_ssize_t at_ = 0;
  std::deque<Ref> ready_;
  long long skipped_ = 0, handed_ = 0;
  Py_ssize_t lazy_rows_ = 0;  // candidates judged lazily
  // Both tiers sorted together under a limit: the rows read so far, the
  // size of the current window and where it began.
  long long sorted_read_ = 0, window_ = 0, window_start_ = 0;
  bool closed_ = false;
};

bool NewestRowsReader::read_arguments(PyObject* select, PyObject* where, PyObject* params,
                                      PyObject* order_by, PyObject* limit, PyObject* offset) {
  if (!count_argument(limit, "limit", &limit_) || !count_argument(offset, "offset", &offset_))
    return false;
  std::string condition;
  if (!text_argument(where, "where", condition) ||
      !text_argument(order_by, "order_by", order_by_))
    return false;
  if (where != Py_None) {
    condition_ = "(" + condition + "\n)";  // a comment at its end stays inside
    // A mapping binds names wherever they stand; a sequence binds marks in
    // order, so a statement carrying the condition twice takes it twice.
    if (PyDict_Check(params) || (!PyTuple_Check(params) && !PyList_Check(params) &&
                                 PyMapping_Check(params) && !PySequence_Check(params))) {
      params_ = Ref::borrow(params);
      params_twice_ = Ref::borrow(params);
    } else {
      params_ = Ref(PySequence_Tuple(params));
      if (!params_) return false;
      params_twice_ = Ref(PySequence_Concat(params_.get(), params_.get()));
      if (!params_twice_) return false;
    }
  }
  if (select == Py_None) return true;
  if (!PyList_Check(select) && !PyTuple_Check(select)) {
    PyErr_Format(PyExc_TypeError, "select must be None or a list of column positions, not %.100s",
                 Py_TYPE(select)->tp_name);
    return false;
  }
  return for_each_item(select, [&](PyObject* position) {
    if (!PyLong_Check(position) || PyBool_Check(position)) {
      PyErr_Format(PyExc_TypeError, "select must hold column positions (int), not %.100s",
                   Py_TYPE(position)->tp_name);
      return false;
    }
    const Py_ssize_t at = PyLong_AsSsize_t(position);
    if (at == -1 && PyErr_Occurred()) return false;
    shown_.push_back(at);
    return true;
  });
}

bool NewestRowsReader::set_row_type(PyObject* row_type) {
  if (!PyType_Check(row_type) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(row_type), &PyTuple_Type)) {
    PyErr_Format(PyExc_TypeError, "row type must be a subclass of tuple, not %R", row_type);
    return false;
  }
  row_type_owner_ = Ref::borrow(row_type);
  row_type_ = reinterpret_cast<PyTypeObject*>(row_type);
  return true;
}

bool NewestRowsReader::start(PyObject* table, PyObject* select, PyObject* where,
                             PyObject* params, PyObject* order_by, PyObject* limit,
                             PyObject* offset) {
  if (!read_arguments(select, where, params, order_by, limit, offset)) return false;
  table_ = TableNames::of(table);
  if (!table_ || !read_rows_per_request(conn_.get(), &per_request_) || !call_.open_cursor() ||
      !snapshot_.open())
    return false;
  closed_ = false;
  cols_ = read_columns(call_, table_->main(), table_->given());
  if (!cols_) return false;
  const Py_ssize_t width = PyList_GET_SIZE(cols_.get());
  if (width == 0) {
    PyErr_Format(PyExc_ValueError, "no table %R in the database", table_->given());
    return false;
  }
  if (select == Py_None) {
    for (Py_ssize_t i = 0; i < width; ++i) shown_.push_back(i);
  }
  for (Py_ssize_t at : shown_) {
    if (at < 0 || at >= width) {
      PyErr_Format(PyExc_ValueError, "table %R has no column at position %zd (it has %zd)",
                   table_->given(), at, width);
      return false;
    }
  }
  whole_row_ = is_whole_row();
  if (!append_row_columns(full_row_, cols_.get())) return false;
  uniques_ = read_rule_positions(call_, *table_);
  if (!uniques_) return false;
  std::vector<Collation> collations;
  if (PyDict_GET_SIZE(uniques_.get()) > 0 &&
      (!read_column_collations(call_, *table_, cols_.get(), collations) ||
       !read_collation_classes(call_, *table_, cols_.get(), collations, classes_)))
    return false;
  if (!unique_rules_from(uniques_.get(), cols_.get(), rules_, &collations)) return false;
  if (!lookup_.prepare(*table_, cols_.get())) return false;
  if (limit_ == 0) return close(true);
  if (!rules_.empty()) {
    linker_.emplace(rules_, /*partial_read=*/true, call_, lookup_);
    // Lazy where a limit or a condition may keep the candidates few; the
    // first few find their staged links by statements on the staging table.
    const bool lazy = limit_ != kNoLimit || (order_by_.empty() && !condition_.empty());
    linker_->set_staged_complete(false);
    if (!lazy && !settle()) return false;
  }
  return open_phase(order_by_.empty() ? Phase::kStaged : Phase::kBoth);
}

// "rowid" and every column of a row, qualified by `qualifier`, each column
// outside the rules as NULL: the graph compares the keys alone, and memory
// follows them.
bool NewestRowsReader::append_key_columns(std::string& sql, const char* qualifier) const {
  std::vector<bool> key(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), false);
  for (const UniqueRule& rule : rules_)
    for (Py_ssize_t at : rule.positions) key[static_cast<size_t>(at)] = true;
  sql += qualifier;
  sql += "rowid";
  for (size_t i = 0; i < key.size(); ++i) {
    sql += ",";
    if (!key[i]) {
      sql += "NULL";
      continue;
    }
    sql += qualifier;
    if (!append_identifier(sql, PyList_GET_ITEM(cols_.get(), static_cast<Py_ssize_t>(i))))
      return false;
  }
  return true;
}

// Every staged row, its key columns only, into the graph: from now on the
// linker need not look staged rows up.
bool NewestRowsReader::link_staged_keys() {
  if (staged_linked_) return true;
  staged_linked_ = true;
  linker_->set_staged_complete(true);
  std::string sql = "SELECT ";
  if (!append_key_columns(sql, "")) return false;
  const RowsRead keys{sql + " FROM " + table_->staging(), "", per_request_};
  return for_each_fetched(call_, keys, nullptr, [&](PyObject* fetched) {
    long long id;
    return row_id_of(fetched, &id) && add_to_graph(fetched, 1, kStaged, id, staged_nodes_);
  });
}

// The main rows that hold a staged row's key under some rule, their key
// columns only, into the graph: one statement, each rule's index serving
// alone before the rows are read in row-id order, where looking the staged
// keys up a batch at a time would send a statement per batch.
bool NewestRowsReader::link_main_rows_of_staged() {
  std::string sql = "SELECT ";
  if (!append_key_columns(sql, "m.")) return false;
  sql += " FROM " + table_->main() + " AS m WHERE m.rowid IN (";
  const char* joint = "";
  for (const UniqueRule& rule : rules_) {
    if (rule.columns.empty()) continue;
    sql += joint;
    sql += "SELECT m.rowid FROM " + table_->staging() + " AS s JOIN " + table_->main() +
           " AS m ON ";
    if (!append_rule_join(sql, rule, "s")) return false;
    joint = " UNION ALL ";
  }
  return !*joint || link_main_rows(sql + ")");  // nothing to join when no rule has columns
}

bool NewestRowsReader::append_rule_join(std::string& sql, const UniqueRule& rule,
                                        const char* other) {
  for (size_t c = 0; c < rule.columns.size(); ++c) {
    std::string name;
    if (!append_identifier(name, rule.columns[c].get())) return false;
    sql += (c ? " AND m." : "m.") + name + " = " + other + "." + name;
  }
  return true;
}

bool NewestRowsReader::link_main_rows(const std::string& sql) {
  Ref text = str(sql);
  std::vector<int> nodes;
  return text && for_each_fetched(call_, text.get(), nullptr, [&](PyObject* fetched) {
           long long id;
           if (!row_id_of(fetched, &id)) return false;
           return linker_->node_of(kMain, id) >= 0 || add_to_graph(fetched, 1, kMain, id, nodes);
         });
}

bool NewestRowsReader::add_to_graph(PyObject* fetched, Py_ssize_t first, int tier, long long id,
                                    std::vector<int>& nodes) {
  Ref values = values_from(fetched, first);
  if (!values) return false;
  const int n = linker_->add(values.get(), tier, id);
  if (n < 0) return false;
  kept_.push_back(std::move(values));
  nodes.push_back(n);
  return true;
}

// Links every staged row, the main rows that share a key with one, and the
// main rows that share a key with another main row: then every row linked
// to a row in the graph is in it, and a main row outside the graph is
// linked to no row at all. A connection that reads in ranges completes the
// staged rows' components by lookups instead, a batch of keys per
// statement, since one join may return more rows than it allows.
bool NewestRowsReader::settle() {
  if (!link_staged_keys()) return false;
  if (per_request_ > 0) {
    if (!linker_->complete(staged_nodes_)) return false;
  } else {
    if (!link_main_rows_of_staged()) return false;
  }
  std::vector<int>().swap(staged_nodes_);
  for (const UniqueRule& rule : rules_)
    if (!rule.columns.empty() && !link_repeated_main_keys(rule)) return false;
  linker_->set_main_complete();
  settled_ = true;
  mark_main_rows_in_graph();
  return true;
}

// Most main rows a settled read streams are outside the graph; a bit per
// row id tells so at less cost than the linker's map. Row ids far apart
// (beyond 2^28) keep the map alone.
void NewestRowsReader::mark_main_rows_in_graph() {
  long long top = -1;
  bool near = true;
  linker_->for_each_main_row([&](long long id) {
    near = near && id >= 0 && id < (1LL << 28);
    top = std::max(top, id);
  });
  if (!near) return;
  main_bits_.assign(static_cast<size_t>(top / 64 + 1), 0);
  linker_->for_each_main_row([&](long long id) {
    main_bits_[static_cast<size_t>(id / 64)] |= uint64_t{1} << (id % 64);
  });
  main_marked_ = true;
}

bool NewestRowsReader::may_be_in_graph(int tier, long long id) const {
  if (tier != kMain || !main_marked_) return true;
  const size_t word = static_cast<size_t>(id / 64);
  return id >= 0 && word < main_bits_.size() && (main_bits_[word] >> (id % 64) & 1);
}

// The main rows holding a non-NULL key of the rule that another main row
// holds too, grouped as SQLite groups them (under the columns' collations,
// the rule's index serving), their key columns only, into the graph.
bool NewestRowsReader::link_repeated_main_keys(const UniqueRule& rule) {
  std::string columns, not_null;
  for (size_t c = 0; c < rule.columns.size(); ++c) {
    std::string name;
    if (!append_identifier(name, rule.columns[c].get())) return false;
    columns += (c ? "," : "") + name;
    not_null += " AND " + name + " IS NOT NULL";
  }
  // Whether any key repeats at all: SQLite tells the distinct keys by
  // comparing neighbours in the rule's index, at a fraction of what the
  // grouping below costs, and a table a merge left holds no repeats. The
  // first column is asked first: when its values never repeat, no key does,
  // and one pass over fewer values tells it; whole keys are compared only
  // when first values repeat.
  long long repeats = 0;
  auto values_repeat = [&](const std::string& listed, const std::string& not_null_condition) {
    const std::string keyed = " FROM " + table_->main() + " WHERE " + not_null_condition;
    return call_.fetch_integers("SELECT (SELECT count(*)" + keyed +
                                    ") > (SELECT count(*) FROM (SELECT DISTINCT " + listed +
                                    keyed + "))",
                                {&repeats});
  };
  std::string first;
  if (!append_identifier(first, rule.columns[0].get()) ||
      !values_repeat(first, first + " IS NOT NULL"))
    return false;
  if (repeats && rule.columns.size() > 1 && !values_repeat(columns, not_null.substr(5)))
    return false;
  if (!repeats) return true;
  std::string sql = "SELECT ";
  if (!append_key_columns(sql, "m.")) return false;
  sql += " FROM " + table_->main() + " AS m JOIN (SELECT " + columns + " FROM " +
         table_->main() + " GROUP BY " + columns + " HAVING count(*) > 1" + not_null +
         ") AS k ON ";
  return append_rule_join(sql, rule, "k") && link_main_rows(sql);
}

bool NewestRowsReader::open_phase(Phase phase) {
  phase_ = phase;
  chunk_ = Ref();
  at_ = 0;
  std::string sql;
  PyObject* params = params_.get();
  const std::string where = condition_.empty() ? "" : " WHERE " + condition_;
  switch (phase) {
    case Phase::kStaged:
    case Phase::kMain: {
      const std::string& tier = phase == Phase::kStaged ? table_->staging() : table_->main();
      return cursor_.open(call_, RowsRead{"SELECT " + full_row_ + " FROM " + tier, condition_,
                                          per_request_},
                          params);
    }
    case Phase::kBoth:
      // The tier and the row id travel with each row; the caller's order
      // names the columns of the combined rows.
      // The tier and the row id travel with each row, and break ties, so
      // that a window read again continues where the last one ended.
      sql = "SELECT * FROM (SELECT 1 AS tablora_tier," + full_row_ + " FROM " +
            table_->staging() + where + " UNION ALL SELECT 0," + full_row_ + " FROM " +
            table_->main() + where + ") ORDER BY " + order_by_ +
            "\n, tablora_tier DESC, rowid";
      if (limit_ != kNoLimit) {
        // Settled, every row the verdict removes is in the graph; otherwise
        // the rows are read a window at a time, each larger than the last.
        const long long wanted = limit_ + std::max(offset_, 0LL);
        window_ = settled_ ? wanted + static_cast<long long>(linker_->graph().nodes())
                           : std::max(window_ * 4, 2 * wanted + kLeastLazyBatch);
        sql += " LIMIT " + std::to_string(window_) + " OFFSET " + std::to_string(sorted_read_);
        window_start_ = sorted_read_;
      }
      params = params_twice_.get();
      break;
    case Phase::kDone:
      return close(true);
  }
  Ref text = str(sql);
  return text && cursor_.open(call_, text.get(), params);
}

bool NewestRowsReader::is_whole_row() const {
  if (static_cast<Py_ssize_t>(shown_.size()) != PyList_GET_SIZE(cols_.get())) return false;
  for (size_t i = 0; i < shown_.size(); ++i)
    if (shown_[i] != static_cast<Py_ssize_t>(i)) return false;
  return true;
}

// A returned row: skipped while the offset asks, else made into the tuple of
// the selected values. Once the limit is reached the read ends.
bool NewestRowsReader::hand_out(PyObject* row, Py_ssize_t first_value) {
  if (offset_ != kNoLimit && skipped_ < offset_) {
    ++skipped_;
    return true;
  }
  Ref values = made_row(row, first_value);
  if (!values) return false;
  untrack_plain_row(values.get());
  ready_.push_back(std::move(values));
  if (limit_ != kNoLimit && ++handed_ >= limit_) return close(true);
  return true;
}

// Made as the caller's row type at once (a tuple subclass is filled as a
// tuple is), which spares a tuple and a call per row.
Ref NewestRowsReader::made_row(PyObject* row, Py_ssize_t first_value) const {
  if (whole_row_ && row_type_ == &PyTuple_Type) return values_from(row, first_value);
  const Py_ssize_t size = static_cast<Py_ssize_t>(shown_.size());
  Ref made(row_type_ == &PyTuple_Type ? PyTuple_New(size) : row_type_->tp_alloc(row_type_, size));
  for (Py_ssize_t i = 0; made && i < size; ++i) {
    Value value(row, first_value + shown_[static_cast<size_t>(i)]);
    if (value.get() == nullptr) return Ref();
    PyTuple_SET_ITEM(made.get(), i, Py_NewRef(value.get()));
  }
  return made;
}

// Judges the next rows of the current chunk (fetching one when needed) and
// hands out the returned ones; moves to the next phase at a statement's end.
bool NewestRowsReader::judge_next_rows() {
  if (!chunk_ || at_ >= PySequence_Fast_GET_SIZE(chunk_.get())) {
    chunk_ = cursor_.next_chunk();
    at_ = 0;
    if (!chunk_) return false;
    if (phase_ == Phase::kBoth) sorted_read_ += PySequence_Fast_GET_SIZE(chunk_.get());
    if (PySequence_Fast_GET_SIZE(chunk_.get()) == 0) {
      if (!cursor_.close()) return false;
      // A window read to its end may have left rows behind it.
      const bool more = phase_ == Phase::kBoth && limit_ != kNoLimit && !settled_ &&
                        sorted_read_ - window_start_ == window_;
      if (more) return open_phase(Phase::kBoth);
      return open_phase(phase_ == Phase::kStaged ? Phase::kMain : Phase::kDone);
    }
  }
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(chunk_.get());
  Py_ssize_t end = size;
  const bool lazy = linker_ && !settled_;
  if (lazy && limit_ != kNoLimit) {  // as many candidates as the limit may still need
    const long long wanted = limit_ - handed_ + std::max(offset_, 0LL) - skipped_;
    end = std::min<Py_ssize_t>(size, at_ + std::max<long long>(wanted, kLeastLazyBatch));
  }
  PyObject** rows = PySequence_Fast_ITEMS(chunk_.get());
  std::vector<int> nodes;
  if (lazy) {
    // Past a few candidates, reading every staged key once costs less than
    // a statement on the staging table for each batch.
    lazy_rows_ += end - at_;
    if (lazy_rows_ > kMostStagedLookupRows && !link_staged_keys()) return false;
    for (Py_ssize_t i = at_; i < end; ++i) {
      int tier;
      long long id;
      if (!reference_of(rows[i], &tier, &id) ||
          !add_to_graph(rows[i], first_value(), tier, id, nodes))
        return false;
    }
    if (!linker_->complete(nodes)) return false;
    // Many candidates after all: settling costs less from here on than a
    // lookup for each, and the graph stops growing with them.
    if (phase_ == Phase::kMain && lazy_rows_ > kMostLazyRows && !settle()) return false;
  }
  for (Py_ssize_t i = at_; i < end && !closed_; ++i) {
    PyObject* row = rows[i];
    if (linker_) {
      int n;
      if (lazy) {
        n = nodes[static_cast<size_t>(i - at_)];
      } else {
        int tier;
        long long id;
        if (!reference_of(row, &tier, &id)) return false;
        n = may_be_in_graph(tier, id) ? linker_->node_of(tier, id) : -1;
      }
      // Outside the graph a row links to nothing: it is the newest of its own.
      if (n >= 0 && !linker_->graph().returns(n)) continue;
    }
    if (!hand_out(row, first_value())) return false;
  }
  at_ = end;
  return true;
}

bool NewestRowsReader::reference_of(PyObject* row, int* tier, long long* id) const {
  *tier = phase_ == Phase::kStaged ? kStaged : kMain;
  if (phase_ == Phase::kBoth) {
    Value marked(row, 0);
    if (marked.get() == nullptr) return false;
    *tier = PyObject_IsTrue(marked.get());
    if (*tier < 0) return false;
  }
  Value id_value(row, first_value() - 1);
  if (id_value.get() == nullptr) return false;
  *id = PyLong_AsLongLong(id_value.get());
  return !(*id == -1 && PyErr_Occurred());
}

Ref NewestRowsReader::next() {
  while (ready_.empty()) {
    if (closed_) return Ref();
    if (!judge_next_rows()) {
      close(false);
      return Ref();
    }
  }
  Ref row = std::move(ready_.front());
  ready_.pop_front();
  return row;
}

bool NewestRowsReader::close(bool ok) {
  if (closed_) return ok;
  closed_ = true;
  chunk_ = Ref();
  if (ok) {
    ok = cursor_.close();
  } else {
    SavedError failure;
    if (!cursor_.close()) PyErr_Clear();  // the first failure is the one raised
    failure.restore();
  }
  linker_.reset();
  std::vector<Ref>().swap(kept_);
  return snapshot_.close(ok);
}

// ---- the iterator ------------------------------------------------------------------

struct RowsObject {
  PyObject_HEAD
  NewestRowsReader* reader;
};

PyObject* rows_next(PyObject* self) {
  NewestRowsReader* reader = reinterpret_cast<RowsObject*>(self)->reader;
  return reader ? reader->next().release() : nullptr;
}

PyObject* rows_close(PyObject* self, PyObject*) {
  NewestRowsReader* reader = reinterpret_cast<RowsObject*>(self)->reader;
  return none_unless_failed(!reader || reader->stop());
}

// An iterator let go while open releases its snapshot here; a failure can
// only be reported, not raised.
void rows_finalize(PyObject* self) {
  NewestRowsReader* reader = reinterpret_cast<RowsObject*>(self)->reader;
  if (reader == nullptr || reader->closed()) return;
  SavedError pending;
  if (!reader->close(true)) PyErr_WriteUnraisable(self);
  pending.restore();
}

void rows_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<RowsObject*>(self)->reader;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* rows_make_as(PyObject* self, PyObject* row_type) {
  NewestRowsReader* reader = reinterpret_cast<RowsObject*>(self)->reader;
  if (reader && !reader->set_row_type(row_type)) return nullptr;
  return Py_NewRef(self);
}

PyMethodDef rows_methods[] = {
    {"make_as", rows_make_as, METH_O,
     "Make the rows from the next one on as instances of the given subclass of tuple;\n"
     "return the iterator."},
    {"close", rows_close, METH_NOARGS,
     "Release the read snapshot now; the iterator then yields nothing more."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rows_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(rows_next)},
    {Py_tp_finalize, reinterpret_cast<void*>(rows_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rows_dealloc)},
    {Py_tp_methods, rows_methods},
    {Py_tp_doc, const_cast<char*>("The rows of one newest_rows call, read from one snapshot.")},
    {0, nullptr},
};


PyObject* newest_rows(PyObject* module, const Arguments<8>& args) {
  const auto [conn, table, select, where, params, order_by, limit, offset] = args;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state_of(module).rows_type.get());
  Ref made(type->tp_alloc(type, 0));
  if (!made) return nullptr;
  auto* rows = reinterpret_cast<RowsObject*>(made.get());
  rows->reader = new NewestRowsReader(module, conn);
  if (!rows->reader->start(table, select, where, params, order_by, limit, offset)) {
    rows->reader->close(false);
    return nullptr;
  }
  return made.release();
}

}  // namespace

PyType_Spec kNewestRowsSpec = {"tablora._read.NewestRows", sizeof(RowsObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, rows_slots};

const Declaration kReadModuleFunctions[1] = {
    {"newest_rows",
     {"conn", "table", "select=None", "where=None", "params=()", "order_by=None", "limit=None",
      "offset=None"},
     newest_rows,
     "Iterate over the rows find returns for the table, as tuples, streamed.\n\n"
     "select: None (every column, in table order) or a list of column positions.\n"
     "where: an SQL condition without WHERE, with params bound to its ? or :name marks.\n"
     "order_by: SQL ORDER BY text without the keywords; limit and offset then apply to\n"
     "the combined, newest-wins rows. Without it, staged rows come first, then main rows.\n"
     "The rows come from one read snapshot, held while the iterator is open: it is\n"
     "released when the rows are exhausted, on an error, on close() and when the\n"
     "iterator is let go. Do not write on the connection while the iterator is open."},
};

}  // namespace tablora
