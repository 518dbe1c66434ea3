// Reading a result a bounded chunk at a time: cursor.fetchmany(n) until it
// comes back empty, with pending signals checked between chunks. FetchCursor
// hands the chunks out on demand, to a reader that returns between them;
// for_each_fetched visits every row at once. A table's rows can be read in
// ranges of row ids, a statement each, for connections that ask for it.
#pragma once

#include <optional>
#include <string>

#include "sql/driver.hpp"
#include "sql/row.hpp"
#include "sql/text.hpp"

namespace tablora {

// Rows fetched per fetchmany call: a chunk of rows and their values stays
// in the cache while they are hashed and handed on (4,096 did not; 256 costs
// more in calls than it saves).
constexpr Py_ssize_t kFetchRows = 512;

// The most rows one statement of a read may return on `conn`: its
// `read_rows_per_request`, which a connection to a server that drops a
// stream while a long result is read, or refuses a large one, carries; 0
// when it has none (or None): every read is then one statement. False with
// the error set.
inline bool read_rows_per_request(PyObject* conn, long long* out) {
  *out = 0;
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(conn, "read_rows_per_request", &found) < 0) return false;
  Ref value(found);
  if (!value || value.get() == Py_None) return true;
  *out = PyLong_AsLongLong(value.get());
  if (*out == -1 && PyErr_Occurred()) return false;
  if (*out > 0) return true;
  PyErr_Format(PyExc_ValueError, "read_rows_per_request must be a positive integer, not %lld",
               *out);
  return false;
}

// A read of one table's rows, each led by its row id: `select` is
// "SELECT rowid,... FROM <table>" and `condition` a condition on its rows
// that stands alone after WHERE or AND (empty: every row). With
// `per_request` > 0 the rows come in row-id order, at most that many per
// statement, each range starting past the last row id read; inside one
// transaction the ranges read one snapshot. With 0 the read is one
// statement, in the order SQLite chooses.
struct RowsRead {
  std::string select;
  std::string condition;
  long long per_request = 0;

  // The statement of the range past row id `after` (nullopt: the first).
  // Row ids go as literals: a driver may send a large integer as REAL.
  std::string statement(std::optional<long long> after) const {
    if (per_request <= 0) return condition.empty() ? select : select + " WHERE " + condition;
    std::string sql = select;
    const char* joint = " WHERE ";
    if (after) {
      sql += " WHERE rowid > " + std::to_string(*after);
      joint = " AND ";
    }
    if (!condition.empty()) sql += joint + condition;
    return sql + " ORDER BY rowid LIMIT " + std::to_string(per_request);
  }
};

// A statement's result on a cursor of its own: some drivers return nothing
// more from a cursor once it has used fetchmany, and the caller's cursor
// stays free meanwhile.
class FetchCursor {
 public:
  // Runs sql (with params, when given); false with the error set.
  bool open(const Call& call, PyObject* sql, PyObject* params) {
    read_.reset();
    return run(call.module(), call.conn(), sql, params);
  }
  // Starts `read` (with params, when given): its first range, or all of it.
  bool open(const Call& call, const RowsRead& read, PyObject* params) {
    read_ = read;
    module_ = call.module();
    conn_ = call.conn();
    params_ = params ? Ref::borrow(params) : Ref();
    range_rows_ = 0;
    last_id_.reset();
    Ref sql = str(read.statement(std::nullopt));
    return sql && run(module_, conn_, sql.get(), params);
  }
  bool is_open() const { return static_cast<bool>(cursor_); }
  // The next chunk of rows as a fast sequence, empty at the end; empty with
  // the error set. A ranged read that filled its range goes on with the next.
  Ref next_chunk() {
    while (true) {
      Ref chunk = fetch();
      if (!chunk || !read_ || read_->per_request <= 0) return chunk;
      const Py_ssize_t count = PySequence_Fast_GET_SIZE(chunk.get());
      if (count > 0) {
        range_rows_ += count;
        long long id = 0;
        if (!row_id_of(PySequence_Fast_GET_ITEM(chunk.get(), count - 1), &id)) return Ref();
        last_id_ = id;
        return chunk;
      }
      if (range_rows_ < read_->per_request) return chunk;  // a short range is the last
      range_rows_ = 0;
      if (!close()) return Ref();
      Ref sql = str(read_->statement(last_id_));
      if (!sql || !run(module_, conn_, sql.get(), params_.get())) return Ref();
    }
  }
  // cursor.close(), which ends the statement's read before its result is
  // exhausted; false with the error set.
  bool close() {
    Ref cursor = std::move(cursor_);
    return !cursor || Ref(PyObject_CallMethod(cursor.get(), "close", nullptr));
  }

 private:
  bool run(PyObject* module, PyObject* conn, PyObject* sql, PyObject* params) {
    Call reader(module, conn);
    if (!reader.open_cursor() || !reader.execute(sql, params)) return false;
    cursor_ = Ref::borrow(reader.cursor());
    size_ = Ref(PyLong_FromSsize_t(kFetchRows));
    name_ = Ref(PyUnicode_InternFromString("fetchmany"));
    return size_ && name_;
  }
  Ref fetch() {
    PyObject* argv[] = {cursor_.get(), size_.get()};
    Ref chunk(PyObject_VectorcallMethod(name_.get(), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
    if (!chunk) return chunk;
    return Ref(PySequence_Fast(chunk.get(), "fetchmany() must return a sequence"));
  }

  Ref cursor_, size_, name_;
  // A ranged read: what it reads, on which connection, and how far it got.
  std::optional<RowsRead> read_;
  PyObject* module_ = nullptr;
  PyObject* conn_ = nullptr;
  Ref params_;
  long long range_rows_ = 0;
  std::optional<long long> last_id_;
};

// Calls visit(row) for every row of the cursor's result, in order, until
// visit returns false; false when a fetch, a signal or a visit failed
// (error set).
template <class Visit>
bool visit_fetched(FetchCursor& cursor, Visit&& visit) {
  while (true) {
    Ref rows = cursor.next_chunk();
    if (!rows) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows.get());
    if (count == 0) return true;
    for (Py_ssize_t i = 0; i < count; ++i)
      if (!visit(PySequence_Fast_GET_ITEM(rows.get(), i))) return false;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// Runs a statement (sql, or a RowsRead) with params, when given, on a cursor
// of its own and visits its rows as visit_fetched does; false when the
// statement failed too.
template <class Statement, class Visit>
bool for_each_fetched(const Call& call, const Statement& sql, PyObject* params, Visit&& visit) {
  FetchCursor cursor;
  return cursor.open(call, sql, params) && visit_fetched(cursor, visit);
}

}  // namespace tablora
