// The staging merge, temp_to_main: staged rows move into the main table, and
// of rows with equal values under a unique rule the newest survives.
//
// SQLite decides which staged rows survive (the newest row of every group of
// equal values, under every rule) and which main rows they replace. With the
// library's own row and index functions in place, the writes run inside the
// database too: one DELETE per rule, one INSERT … SELECT, a fixed number of
// statements whatever the size, and no row crosses to the client. When a
// caller has replaced one of those functions, the merge calls each of them
// by its module-level name, a bounded chunk at a time. Small batches keep the main table's indexes and
// let SQLite maintain them; large ones drop them and build them once
// afterwards. The whole merge is one transaction or savepoint: a failure
// leaves nothing of it.
//
// A row with a NULL in any column of a rule links to no other row under
// that rule, as SQLite's own UNIQUE has it: NULL-keyed staged rows neither
// repeat each other nor replace main rows there.
//
// Row ids the merge read go back into its statements as integer literals,
// never as parameters: some drivers send integer parameters as REAL, which
// would round ids beyond 2^53 onto their neighbours.
//
// The package's own code reaches the merge through tablora._merge.merge,
// which also merges a prefix of the staging table, chooses the index
// strategy, reports its phases and returns what it read and wrote;
// temp_to_main is the same merge with those left at their defaults.
#include <optional>
#include <string>
#include <vector>

#include "tables/merge.hpp"

#include "sql/catalogue.hpp"
#include "sql/columns.hpp"
#include "sql/driver.hpp"
#include "sql/fetch_stream.hpp"
#include "sql/indexes.hpp"
#include "sql/row.hpp"
#include "sql/text.hpp"
#include "sql/transactions.hpp"
#include "sql/unique_rules.hpp"
#include "tables/index_registry.hpp"
#include "tables/row_id_set.hpp"
#include "tables/rows.hpp"

namespace tablora {

namespace {

// Keep the indexes when the main table has at least this many rows per
// staged row. Measured on a 1M-row main table with three indexes: keeping
// them wins at 100k staged rows (1.6 s against 2.3 s), rebuilding wins at
// 300k (3.2 s against 4.2 s) and at 1M (7.3 s against 12.3 s).
constexpr long long kKeepIndexesRatio = 5;

// The functions a merge's writes go through; when all are the library's
// own, the merge may do their work in SQL.
const Declaration* const kWriteFunctions[] = {&kDropTableIndex, &kDeleteRowMain, &kInsertMain,
                                              &kActiveTableIndex};

// A rule position must name a column of the staged rows too.
bool check_staged_width(const std::vector<UniqueRule>& rules, Py_ssize_t staged_width) {
  for (const UniqueRule& rule : rules)
    for (Py_ssize_t at : rule.positions)
      if (at >= staged_width) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
      }
  return true;
}

bool append_column_list(std::string& sql, const std::vector<Ref>& columns) {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) sql += ",";
    if (!append_identifier(sql, columns[i].get())) return false;
  }
  return true;
}

// How a merge is asked to run; the defaults are temp_to_main's.
struct MergeRequest {
  std::optional<long long> through_row_id;  // merge only the staged rows up to this row id
  std::optional<bool> keep_indexes;  // unset: decided by the batch's size
  PyObject* progress = nullptr;      // called with the name of each phase as it starts
  // The statements' counts are read from the cursor's rowcount; temp_to_main
  // reads none, so a caller's cursor object needs no rowcount.
  bool counted = false;
};

// What the merge itself read and wrote.
struct MergeCounts {
  long long staged = 0;    // staged rows read
  long long inserted = 0;  // rows inserted into the main table
  long long replaced = 0;  // main rows deleted
};

// Announces a phase of the merge to the request's progress callable.
bool announce(const MergeRequest& request, const char* phase) {
  if (request.progress == nullptr) return true;
  Ref name = str(phase);
  return name && Ref(PyObject_CallOneArg(request.progress, name.get()));
}

// What the reads decide before anything is written.
struct MergePlan {
  long long staged = 0;  // staged rows up to `newest`
  std::string newest;    // the highest staging row id read, as a literal: the merge
                         // removes no row it did not see
  bool bounded = false;  // later staged rows stay, by request
  std::vector<UniqueRule> rules;
  bool keep_indexes = false;
  bool in_transaction = false;  // the merge's own transaction or savepoint holds it

  // Whether any main row can be replaced: staged rows and a rule with columns.
  bool looks_up() const {
    if (staged == 0) return false;
    for (const UniqueRule& rule : rules)
      if (!rule.columns.empty()) return true;
    return false;
  }
};

bool plan_merge(Call& call, const TableNames& table, const MergeRequest& request,
                MergePlan& plan) {
  Ref cols = read_columns(call, table.main(), table.given());
  if (!cols) return false;
  Ref positions = read_rule_positions(call, table);
  if (!positions) return false;
  plan.bounded = request.through_row_id.has_value();
  long long newest = 0;
  std::string count = "SELECT count(*), max(rowid) FROM " + table.staging();
  if (plan.bounded) count += " WHERE rowid <= " + std::to_string(*request.through_row_id);
  if (!call.fetch_integers(count, {&plan.staged, &newest})) return false;
  plan.keep_indexes = request.keep_indexes.value_or(true);
  if (plan.staged == 0) return true;
  plan.newest = std::to_string(newest);
  Ref staged_cols = read_columns(call, table.staging());
  if (!staged_cols || !unique_rules_from(positions.get(), cols.get(), plan.rules) ||
      !check_staged_width(plan.rules, PyList_GET_SIZE(staged_cols.get())))
    return false;
  if (request.keep_indexes) return true;
  long long main_rows = 0;
  if (!call.fetch_integers("SELECT max(rowid) FROM " + table.main(), {&main_rows})) return false;
  plan.keep_indexes = plan.staged * kKeepIndexesRatio <= main_rows;
  return true;
}

// ---- the statements ----------------------------------------------------------------

// The main rows equal to some staged row under `rule`, by SQL equality (a
// NULL matches nothing): "SELECT m.rowid FROM t AS m JOIN temp_t AS s ON
// m.a = s.a AND … WHERE s.rowid <= newest". The rule's supporting index
// serves the join while it exists.
bool append_replaced_ids(std::string& sql, const TableNames& table, const MergePlan& plan,
                         const UniqueRule& rule) {
  sql += "SELECT m.rowid FROM " + table.main() + " AS m JOIN " + table.staging() + " AS s ON ";
  for (size_t i = 0; i < rule.columns.size(); ++i) {
    sql += i ? " AND m." : "m.";
    if (!append_identifier(sql, rule.columns[i].get())) return false;
    sql += " = s.";
    if (!append_identifier(sql, rule.columns[i].get())) return false;
  }
  sql += " WHERE s.rowid <= " + plan.newest;
  return true;
}

// The condition a staged row survives by: under every rule, it holds a NULL
// in one of the rule's columns (and so links to no row there) or it is the
// newest row of its group of equal values, 1 grouped with 1.0. Rows staged
// after the merge read the newest row id (possible only where it does not
// hold the write lock, or beyond the requested bound) are left for a later
// merge.
bool append_survivor_condition(std::string& sql, const TableNames& table, const MergePlan& plan) {
  sql += "rowid <= " + plan.newest;
  for (const UniqueRule& rule : plan.rules) {
    if (rule.columns.empty()) continue;
    sql += " AND (";
    for (const Ref& column : rule.columns) {
      if (!append_identifier(sql, column.get())) return false;
      sql += " IS NULL OR ";
    }
    sql += "rowid IN (SELECT max(rowid) FROM " + table.staging() + " WHERE rowid <= " +
           plan.newest + " GROUP BY ";
    if (!append_column_list(sql, rule.columns)) return false;
    sql += "))";
  }
  return true;
}

// Removes the staged rows the merge read. When its own transaction has held
// the write lock since the reads and every staged row was asked for, that is
// the whole staging table, which SQLite clears by dropping its pages instead
// of deleting row by row.
bool clear_merged_staging(Call& call, const TableNames& table, const MergePlan& plan) {
  if (plan.in_transaction && !plan.bounded)
    return call.execute("DELETE From " + table.staging());
  return call.execute("DELETE From " + table.staging() + " WHERE rowid <= " + plan.newest);
}

// ---- indexes kept in place ---------------------------------------------------------

// Drops what drop_table_index followed by active_table_index would not bring
// back as it is: every index of the table that is not registered, or whose
// definition differs from its catalogue row.
bool drop_unregistered_indexes(Call& call, const TableNames& table) {
  Ref params = table.parameters();
  if (!params) return false;
  Ref registered = call.fetch_all(kSelectIndexRows, params.get());
  if (!registered) return false;
  Ref expected(PyDict_New());  // SQL name -> the CREATE INDEX text SQLite keeps
  if (!expected) return false;
  const bool listed = for_each_item(registered.get(), [&](PyObject* row) {
    std::string sql_name;
    Ref create = registered_index_statement(row, true, &sql_name);
    Ref key = create ? str(sql_name) : Ref();
    return key && PyDict_SetItem(expected.get(), key.get(), create.get()) == 0;
  });
  std::vector<ListedIndex> present;
  if (!listed || !list_indexes(call, table.text(), present)) return false;
  for (const ListedIndex& index : present) {
    if (made_by_sqlite(index)) continue;
    PyObject* wanted = PyDict_GetItemWithError(expected.get(), index.name.get());
    if (wanted == nullptr && PyErr_Occurred()) return false;
    const int same = wanted ? PyObject_RichCompareBool(wanted, index.sql.get(), Py_EQ) : 0;
    if (same < 0) return false;
    if (same) continue;
    std::string drop;
    if (!drop_listed_index_statement(index.name.get(), drop) ||
        !call.begin_before_schema_change() || !call.execute(drop))
      return false;
  }
  return true;
}

bool suspend_indexes(Call& call, const TableNames& table, const MergePlan& plan,
                     const MergeRequest& request) {
  if (plan.keep_indexes) return drop_unregistered_indexes(call, table);
  return announce(request, "dropping indexes") &&
         call.call_sibling(kDropTableIndex, {{"table", table.given()}});
}

bool restore_indexes(Call& call, const TableNames& table, const MergePlan& plan,
                     const MergeRequest& request) {
  return (plan.keep_indexes || announce(request, "rebuilding indexes")) &&
         call.call_sibling(kActiveTableIndex, {{"table", table.given()}});
}

// ---- writes inside the database ----------------------------------------------------

// Deletes through each rule's supporting index, so before the indexes are
// suspended; then one INSERT … SELECT of the survivors, newest first, which
// gives them the row ids _insert_main would. The counts are the statements'
// own: a main row matched by two rules is deleted, and counted, once.
bool write_in_database(Call& call, const TableNames& table, const MergePlan& plan,
                       const MergeRequest& request, MergeCounts& counts) {
  if (plan.looks_up()) {
    if (!announce(request, "deleting")) return false;
    for (const UniqueRule& rule : plan.rules) {
      if (rule.columns.empty()) continue;
      std::string sql = "DELETE FROM " + table.main() + " WHERE rowid IN (";
      if (!append_replaced_ids(sql, table, plan, rule)) return false;
      sql += ")";
      long long deleted = 0;
      if (!call.execute(sql) || (request.counted && !call.rows_changed(&deleted))) return false;
      counts.replaced += deleted;
    }
  }
  if (!suspend_indexes(call, table, plan, request)) return false;
  if (plan.staged > 0) {
    std::string sql =
        "INSERT INTO " + table.main() + " SELECT * FROM " + table.staging() + " WHERE ";
    if (!append_survivor_condition(sql, table, plan)) return false;
    sql += " ORDER BY rowid DESC";
    if (!announce(request, "inserting") || !call.execute(sql) ||
        (request.counted && !call.rows_changed(&counts.inserted)) ||
        !clear_merged_staging(call, table, plan))
      return false;
  }
  return restore_indexes(call, table, plan, request);
}

// ---- writes through the module-level functions ---------------------------------------

// Reads the ids a statement returns into `ids`; the whole result is read
// before anything is written, as some drivers require.
bool read_ids(const Call& call, const std::string& sql, RowIdSet& ids) {
  Ref text = str(sql);
  return text && for_each_fetched(call, text.get(), nullptr, [&](PyObject* row) {
           long long id = 0;
           if (!row_id_of(row, &id)) return false;
           ids.add(id);
           return true;
         });
}

// Calls the function of `sibling` with `argument` bound to a chunk of at
// most kChunkRows items, made by `take` from consecutive ids of the set.
template <class Take>
bool call_in_chunks(Call& call, const TableNames& table, const RowIdSet& ids, bool descending,
                    const Declaration& sibling, const char* argument, Take&& take) {
  std::vector<long long> chunk;
  chunk.reserve(static_cast<size_t>(kChunkRows));
  auto flush = [&]() {
    Ref items = take(chunk);
    chunk.clear();
    return items && call.call_sibling(sibling, {{"table", table.given()}, {argument, items.get()}});
  };
  const bool walked = ids.for_each(descending, [&](long long id) {
    chunk.push_back(id);
    return static_cast<Py_ssize_t>(chunk.size()) < kChunkRows || flush();
  });
  return walked && (chunk.empty() || flush());
}

// The staged rows with the given ids (descending), without their row ids,
// newest first: one read of the row id range, to its end, keeping only
// those ids.
Ref read_staged_rows(Call& call, const TableNames& table, const std::vector<long long>& ids) {
  Ref rows(PyList_New(0));
  if (!rows) return rows;
  Ref sql = str("SELECT rowid, * FROM " + table.staging() + " WHERE rowid BETWEEN " +
                std::to_string(ids.back()) + " AND " + std::to_string(ids.front()) +
                " ORDER BY rowid DESC");
  if (!sql) return Ref();
  size_t next = 0;
  const bool read = for_each_fetched(call, sql.get(), nullptr, [&](PyObject* fetched) {
    long long id = 0;
    if (!row_id_of(fetched, &id)) return false;
    if (next == ids.size() || id != ids[next]) return true;  // not a survivor
    ++next;
    Ref row(PySequence_GetSlice(fetched, 1, PY_SSIZE_T_MAX));  // as fetched, without the id
    return row && PyList_Append(rows.get(), row.get()) == 0;
  });
  return read ? std::move(rows) : Ref();
}

bool write_through_functions(Call& call, const TableNames& table, const MergePlan& plan,
                             const MergeRequest& request, MergeCounts& counts) {
  // Every read that needs the indexes runs first, each to its end: the
  // replaced main rows, and the surviving staged rows, both as row ids.
  RowIdSet replaced, survivors;
  if (plan.staged > 0) {
    for (const UniqueRule& rule : plan.rules) {
      if (rule.columns.empty()) continue;
      std::string sql;
      if (!append_replaced_ids(sql, table, plan, rule) || !read_ids(call, sql, replaced))
        return false;
    }
    std::string sql = "SELECT rowid FROM " + table.staging() + " WHERE ";
    if (!append_survivor_condition(sql, table, plan) || !read_ids(call, sql, survivors))
      return false;
  }
  counts.replaced = replaced.size();
  counts.inserted = survivors.size();
  if (!suspend_indexes(call, table, plan, request)) return false;
  if (plan.looks_up() && !announce(request, "deleting")) return false;
  const bool deleted = call_in_chunks(
      call, table, replaced, false, kDeleteRowMain, "ids", [](const std::vector<long long>& ids) {
        Ref set(PySet_New(nullptr));
        for (long long id : ids) {
          Ref number(set ? PyLong_FromLongLong(id) : nullptr);
          if (!number || PySet_Add(set.get(), number.get()) < 0) return Ref();
        }
        return set;
      });
  if (!deleted || (plan.staged > 0 && !announce(request, "inserting"))) return false;
  // _insert_main is called at least once, with an empty list when no row survives.
  if (survivors.empty()) {
    Ref no_rows(PyList_New(0));
    if (!no_rows ||
        !call.call_sibling(kInsertMain, {{"table", table.given()}, {"rows", no_rows.get()}}))
      return false;
  } else {
    const bool inserted = call_in_chunks(
        call, table, survivors, true, kInsertMain, "rows",
        [&](const std::vector<long long>& ids) { return read_staged_rows(call, table, ids); });
    if (!inserted) return false;
  }
  // Replaced functions may stage rows of their own: only the rows read go.
  if (plan.staged > 0 && !clear_merged_staging(call, table, plan)) return false;
  return restore_indexes(call, table, plan, request);
}

bool merge(Call& call, PyObject* table_given, const MergeRequest& request, bool in_transaction,
           MergeCounts& counts) {
  const std::optional<TableNames> table = TableNames::of(table_given);
  if (!table) return false;
  MergePlan plan;
  plan.in_transaction = in_transaction;
  if (!announce(request, "reading") || !plan_merge(call, *table, request, plan)) return false;
  counts.staged = plan.staged;
  bool own = true;
  for (const Declaration* function : kWriteFunctions) {
    const int is_own = function->is_bound_in(call.module());
    if (is_own < 0) return false;
    own = own && is_own;
  }
  return own ? write_in_database(call, *table, plan, request, counts)
             : write_through_functions(call, *table, plan, request, counts);
}

// The merge in its transaction, ended as `comm` asks; false with the error set.
bool run_merge(PyObject* module, PyObject* conn, PyObject* table, const MergeRequest& request,
               PyObject* comm, MergeCounts& counts) {
  Call call(module, conn);
  WriteTransaction transaction(call);
  if (!call.open_cursor() || !transaction.open()) return false;
  const bool merged = merge(call, table, request, transaction.holds(), counts);
  return transaction.end(merged, comm);
}

// ---- tablora._merge ------------------------------------------------------------------

// The request of merge(...)'s options; false with the error set, before
// any statement.
bool read_request(PyObject* through_row_id, PyObject* keep_indexes, PyObject* progress,
                  MergeRequest& request) {
  if (through_row_id != Py_None) {
    if (!PyLong_Check(through_row_id) || PyBool_Check(through_row_id)) {
      PyErr_Format(PyExc_TypeError, "through_row_id must be an int or None, not %.200s",
                   Py_TYPE(through_row_id)->tp_name);
      return false;
    }
    const long long bound = PyLong_AsLongLong(through_row_id);
    if (bound == -1 && PyErr_Occurred()) return false;
    request.through_row_id = bound;
  }
  if (keep_indexes != Py_None) {
    const int keep = PyObject_IsTrue(keep_indexes);
    if (keep < 0) return false;
    request.keep_indexes = keep == 1;
  }
  if (progress != Py_None) {
    if (!PyCallable_Check(progress)) {
      PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %.200s",
                   Py_TYPE(progress)->tp_name);
      return false;
    }
    request.progress = progress;
  }
  return true;
}

constexpr Parameter kMergeParameters[] = {
    "conn", "table", "through_row_id=None", "keep_indexes=None", "progress=None", "comm=True"};

PyObject* counted_merge(PyObject* module, const Arguments<std::size(kMergeParameters)>& args) {
  const auto [conn, table, through_row_id, keep_indexes, progress, comm] = args;
  MergeRequest request;
  request.counted = true;
  MergeCounts counts;
  if (!read_request(through_row_id, keep_indexes, progress, request) ||
      !run_merge(module, conn, table, request, comm, counts))
    return nullptr;
  return Py_BuildValue("(LLL)", counts.staged, counts.inserted, counts.replaced);
}

PyObject* temp_to_main(PyObject* module, const Arguments<3>& args) {
  const auto [conn, table, comm] = args;
  MergeCounts dropped;
  return none_unless_failed(run_merge(module, conn, table, MergeRequest{}, comm, dropped));
}

}  // namespace

const Declaration kTempToMain{
    "temp_to_main", {"conn", "table", "comm=True"}, temp_to_main,
    "Fast temp to main insertion.\n\n"
    "Merges the staged rows into the main table; of rows with equal values\n"
    "under a unique rule the newest survives."};

const Declaration kMergeModuleFunctions[1] = {
    {"merge", kMergeParameters, counted_merge,
     "Merge the table's staged rows as temp_to_main does, up to the staging row id "
     "through_row_id, and return (staged, inserted, replaced): the staged rows read, the rows "
     "inserted into the main table and the main rows deleted."},
};

}  // namespace tablora
