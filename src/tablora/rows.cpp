// Row storage: staging and main inserts, deletes by row id, and the merge of
// the staging table into the main table under the unique rules.
#include "common.hpp"

#include <vector>

namespace tablora {

namespace {

// "?" and ",?" for every further value of the first row.
Ref placeholders_for(PyObject* rows) {
  Ref first(PySequence_GetItem(rows, 0));
  if (!first) return Ref();
  const Py_ssize_t width = PyObject_Size(first.get());
  if (width < 0) return Ref();
  std::string marks = "?";
  for (Py_ssize_t k = 1; k < width; ++k) marks += ",?";
  return str(marks);
}

// One execution per row of "INSERT INTO <target> Values (<marks>)".
bool insert_rows(PyObject* cursor, PyObject* target, PyObject* marks, PyObject* rows) {
  Ref sql = compose({"INSERT INTO ", target, " Values (", marks, ")"});
  return sql && execute_many(cursor, sql.get(), rows);
}

// A row-id item in text form: numeric literals joined by ",", blanks around
// each allowed. Anything else would be SQL of the caller's making.
bool is_row_id_list(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  const size_t n = text.size();
  while (true) {
    while (i < n && blank(text[i])) ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    while (i < n && digit(text[i])) ++i, ++digits;
    if (i < n && text[i] == '.') {
      ++i;
      while (i < n && digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
      ++i;
      if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
      size_t exponent = 0;
      while (i < n && digit(text[i])) ++i, ++exponent;
      if (exponent == 0) return false;
    }
    while (i < n && blank(text[i])) ++i;
    if (i == n) return true;
    if (text[i] != ',') return false;
    ++i;
  }
}

// True when the item is an int that the driver binds as it is.
bool bindable_row_id(PyObject* item) {
  if (!PyLong_CheckExact(item)) return false;
  int overflow = 0;
  PyLong_AsLongLongAndOverflow(item, &overflow);
  return overflow == 0;
}

PyObject* single_parameter(PyObject* id) { return PyTuple_Pack(1, id); }

bool delete_one(PyObject* cursor, PyObject* table, PyObject* by_parameter, PyObject* item) {
  if (bindable_row_id(item)) {
    Ref params = tuple_of({item});
    return params && execute(cursor, by_parameter, params.get());
  }
  Ref text = PyBool_Check(item) ? Ref() : text_form(item);
  if (!text && PyErr_Occurred()) return false;
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (text && utf8 == nullptr) return false;
  if (utf8 == nullptr || !is_row_id_list(std::string_view(utf8, static_cast<size_t>(size)))) {
    PyErr_Format(PyExc_ValueError, "delete_row_main: %R is not a row id or row ids joined by ','",
                 item);
    return false;
  }
  Ref sql = compose({"DELETE From ", table, " Where rowid in (", text.get(), ")"});
  return sql && execute(cursor, sql.get());
}

}  // namespace

PyObject* insert_temp(PyObject*, const Arguments<4>& args) {
  const auto [conn, table, rows, comm] = args;

  const Py_ssize_t count = PyObject_Size(rows);
  if (count < 0) return nullptr;
  if (count == 0) Py_RETURN_NONE;
  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  Ref marks = placeholders_for(rows);
  if (!marks) return nullptr;
  Ref target = compose({"temp_", table});
  if (!target || !insert_rows(cursor.get(), target.get(), marks.get(), rows) ||
      !commit_if_asked(conn, comm))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* insert_main(PyObject*, const Arguments<4>& args) {
  const auto [conn, table, rows, comm] = args;

  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  const Py_ssize_t count = PyObject_Size(rows);
  if (count < 0) return nullptr;
  if (count == 0) Py_RETURN_NONE;
  Ref marks = placeholders_for(rows);
  if (!marks) return nullptr;
  // The name is joined as text, not formatted: anything else is refused.
  if (!PyUnicode_Check(table)) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                 Py_TYPE(table)->tp_name);
    return nullptr;
  }
  if (!insert_rows(cursor.get(), table, marks.get(), rows) || !commit_if_asked(conn, comm))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* delete_row_main(PyObject*, const Arguments<4>& args) {
  const auto [conn, table, ids, comm] = args;

  Ref cursor = open_cursor(conn);
  if (!cursor) return nullptr;
  Ref by_parameter = compose({"DELETE From ", table, " Where rowid in (?)"});
  if (!by_parameter) return nullptr;
  // A collection of plain row ids goes through one prepared statement.
  const bool reiterable = PyAnySet_CheckExact(ids) || PyList_CheckExact(ids) ||
                          PyTuple_CheckExact(ids);
  if (reiterable && PyObject_Size(ids) == 0) {
    // nothing to delete: no statement, not even the driver's BEGIN
  } else if (reiterable && for_each_item(ids, bindable_row_id)) {
    if (!execute_many(cursor.get(), by_parameter.get(), ids, single_parameter)) return nullptr;
  } else {
    const bool deleted = !PyErr_Occurred() && for_each_item(ids, [&](PyObject* item) {
      return delete_one(cursor.get(), table, by_parameter.get(), item);
    });
    if (!deleted) return nullptr;
  }
  if (!commit_if_asked(conn, comm)) return nullptr;
  Py_RETURN_NONE;
}

namespace {

// A unique rule as the merge uses it: its column names, and the tuples
// claimed so far, grouped by their positions within a staged row (after the
// row id).
struct MergeRule {
  std::vector<Ref> columns;
  TupleIndex claimed;
};

bool prepare_rules(PyObject* uniques, PyObject* cols, Py_ssize_t width,
                   std::vector<MergeRule>& rules) {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(uniques, &pos, &key, &value)) {
    std::vector<Py_ssize_t> positions;
    std::vector<Ref> columns;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
      PyObject* number = PyList_GET_ITEM(value, i);
      Ref column(PyObject_GetItem(cols, number));
      if (!column) return false;
      Py_ssize_t p = PyNumber_AsSsize_t(number, PyExc_IndexError);
      if (p == -1 && PyErr_Occurred()) return false;
      if (p < 0) p += width;
      if (p < 0 || p >= width) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
      }
      positions.push_back(p + 1);
      columns.push_back(std::move(column));
    }
    rules.push_back({std::move(columns), TupleIndex(std::move(positions))});
  }
  return true;
}

// Newest first: a row survives when none of its rule tuples was claimed by a
// newer staged row; every tuple is claimed by the first row presenting it.
Ref surviving_rows(PyObject* staged, std::vector<MergeRule>& rules) {
  Ref docs(PyList_New(0));
  if (!docs) return docs;
  for (MergeRule& rule : rules) rule.claimed.reserve(PyList_GET_SIZE(staged));
  for (Py_ssize_t r = 0; r < PyList_GET_SIZE(staged); ++r) {
    if (r % 4096 == 4095 && PyErr_CheckSignals() < 0) return Ref();
    PyObject* row = PyList_GET_ITEM(staged, r);
    bool repeats = false;
    for (MergeRule& rule : rules) {
      bool fresh = false, has_null = false;
      if (rule.claimed.group_of(row, &fresh, &has_null) < 0) return Ref();
      repeats = repeats || !fresh;
    }
    if (repeats) continue;
    const Py_ssize_t width = PyObject_Size(row);
    if (width < 0) return Ref();
    Ref values(PySequence_GetSlice(row, 1, width));
    if (!values || PyList_Append(docs.get(), values.get()) < 0) return Ref();
  }
  return docs;
}

// Main rows equal to some staged row read (row id <= newest) under the rule:
// one join through the rule's supporting index.
bool collect_replaced(PyObject* cursor, PyObject* table, const MergeRule& rule,
                      PyObject* newest_params, PyObject* replaced) {
  std::string on;
  for (size_t i = 0; i < rule.columns.size(); ++i) {
    on += i ? " AND m." : "m.";
    if (!append_identifier(on, rule.columns[i].get())) return false;
    on += " = s.";
    if (!append_identifier(on, rule.columns[i].get())) return false;
  }
  Ref sql = compose({"SELECT m.rowid FROM ", table, " AS m JOIN temp_", table, " AS s ON ", on,
                     " WHERE s.rowid <= ?"});
  if (!sql) return false;
  Ref found = fetch_all(cursor, sql.get(), newest_params);
  if (!found) return false;
  return for_each_item(found.get(), [&](PyObject* row) {
    Ref id(PySequence_GetItem(row, 0));
    return id && PySet_Add(replaced, id.get()) == 0;
  });
}

}  // namespace

namespace {

// What the merge writes, decided from reads alone.
struct MergePlan {
  Ref replaced;       // set of main row ids to delete
  Ref docs;           // surviving staged rows, newest first
  Ref newest_params;  // (highest staging row id read,), or empty: nothing staged
};

bool plan_merge(PyObject* cursor, PyObject* table, MergePlan& plan) {
  Ref cols = read_columns(cursor, table);
  if (!cols) return false;
  Ref uniques = read_unique_rules(cursor, table);
  if (!uniques) return false;
  Ref read_staged = compose({"SELECT rowid,* FROM temp_", table, " ORDER BY rowid DESC"});
  if (!read_staged) return false;
  Ref fetched = fetch_all(cursor, read_staged.get());
  if (!fetched) return false;
  Ref staged(PySequence_List(fetched.get()));
  if (!staged) return false;
  plan.replaced = Ref(PySet_New(nullptr));
  if (!plan.replaced) return false;
  plan.docs = Ref(PyList_New(0));
  if (!plan.docs) return false;
  if (PyList_GET_SIZE(staged.get()) == 0) return true;

  PyObject* newest = PyList_GET_ITEM(staged.get(), 0);
  const Py_ssize_t width = PyObject_Size(newest);
  if (width < 0) return false;
  std::vector<MergeRule> rules;
  if (!prepare_rules(uniques.get(), cols.get(), width - 1, rules)) return false;
  plan.docs = surviving_rows(staged.get(), rules);
  if (!plan.docs) return false;
  Ref newest_id(PySequence_GetItem(newest, 0));
  if (!newest_id) return false;
  // The highest staging row id read: the merge removes no row it did not see.
  plan.newest_params = tuple_of({newest_id.get()});
  if (!plan.newest_params) return false;
  for (const MergeRule& rule : rules)
    if (!collect_replaced(cursor, table, rule, plan.newest_params.get(), plan.replaced.get()))
      return false;
  return true;
}

}  // namespace

PyObject* temp_to_main(PyObject* module, const Arguments<3>& args) {
  const auto [conn, table, comm] = args;

  Ref cursor = open_cursor(conn);
  bool began = false;
  if (!cursor || !begin_write_transaction(conn, cursor.get(), &began)) return nullptr;
  MergePlan plan;
  if (!plan_merge(cursor.get(), table, plan)) {
    if (began) roll_back_keeping_error(conn);  // nothing written yet
    return nullptr;
  }
  if (!call_sibling(module, "drop_table_index",
                    {{"conn", conn}, {"table", table}, {"comm", Py_False}}) ||
      !call_sibling(module, "delete_row_main",
                    {{"conn", conn}, {"table", table}, {"ids", plan.replaced.get()},
                     {"comm", Py_False}}) ||
      !call_sibling(module, "_insert_main",
                    {{"conn", conn}, {"table", table}, {"rows", plan.docs.get()},
                     {"comm", Py_False}}))
    return nullptr;
  if (plan.newest_params) {
    Ref clear = compose({"DELETE From temp_", table, " WHERE rowid <= ?"});
    if (!clear || !execute(cursor.get(), clear.get(), plan.newest_params.get())) return nullptr;
  }
  if (!call_sibling(module, "active_table_index",
                    {{"conn", conn}, {"table", table}, {"comm", Py_False}}) ||
      !commit_if_asked(conn, comm))
    return nullptr;
  Py_RETURN_NONE;
}

}  // namespace tablora
