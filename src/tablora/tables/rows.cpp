// Row storage: staging and main inserts, and deletes by row id.
#include "tables/rows.hpp"
#include "sql/driver.hpp"
#include "sql/mutating_call.hpp"
#include "sql/table_names.hpp"
#include "sql/text.hpp"

#include <optional>
#include <string>
#include <vector>

namespace tablora {

namespace {

// A mapping given as a row would bind its keys, a plainly wrong result.
bool is_mapping(PyObject* row) {
  if (PyTuple_CheckExact(row) || PyList_CheckExact(row)) return false;
  return PyDict_Check(row) || PyObject_HasAttrString(row, "keys");
}

// Sets the TypeError of a mapping given as a row.
void refuse_mapping(PyObject* row) {
  PyErr_Format(PyExc_TypeError,
               "rows are sequences of column values in table order, not mappings (got %.200s)",
               Py_TYPE(row)->tp_name);
}

// row_parameters for a row that may be a mapping.
PyObject* values_of_row(PyObject* row) {
  if (!is_mapping(row)) return row_parameters(row);
  refuse_mapping(row);
  return nullptr;
}

// The rows of one insert. A list or tuple is sent as it is; any other
// iterable is read one chunk ahead, so that its first row gives the width
// and an empty one sends nothing, and the rest streams after that chunk.
struct Rows {
  Ref head;  // the rows sent first
  Ref rest;  // the iterator of the rows after head, when there may be more

  // False with the error set.
  bool read(PyObject* rows) {
    if (PyList_Check(rows) || PyTuple_Check(rows)) {
      head = Ref::borrow(rows);
      return true;
    }
    Ref iterator(PyObject_GetIter(rows));
    head = Ref(PyList_New(0));
    if (!iterator || !head) return false;
    while (PyList_GET_SIZE(head.get()) < kChunkRows) {
      Ref row(PyIter_Next(iterator.get()));
      if (!row) return !PyErr_Occurred();
      if (PyList_Append(head.get(), row.get()) < 0) return false;
    }
    rest = std::move(iterator);
    return true;
  }

  bool empty() const { return PySequence_Fast_GET_SIZE(head.get()) == 0; }

  // "?" and ",?" for every further value of the first row. The row is held,
  // and the rows read again: looking at a row may run code that changes them.
  Ref placeholders() const {
    Ref first(PySequence_GetItem(head.get(), 0));
    if (!first) return Ref();
    if (is_mapping(first.get())) {
      refuse_mapping(first.get());
      return Ref();
    }
    const Py_ssize_t width = PyObject_Size(first.get());
    if (width < 0) return Ref();
    std::string marks = "?";
    for (Py_ssize_t k = 1; k < width; ++k) marks += ",?";
    return str(marks);
  }

  // The driver binds plain rows without a copy; a mapping among them is
  // refused at its place, after the rows before it were sent.
  bool insert(Call& call, PyObject* sql) const {
    const bool plain = !holds_a_mapping(head.get());
    return call.execute_many(sql, head.get(), plain ? row_parameters : values_of_row) &&
           (!rest || call.execute_many(sql, rest.get(), values_of_row));
  }

  static bool holds_a_mapping(PyObject* rows) {
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows); ++i) {
      Ref row = Ref::borrow(PySequence_Fast_GET_ITEM(rows, i));
      if (is_mapping(row.get())) return true;
    }
    return false;
  }
};

// "INSERT INTO <target> Values (<marks>)" once per row.
bool insert_rows(Call& call, PyObject* target, const Rows& rows) {
  Ref marks = rows.placeholders();
  if (!marks) return false;
  Ref sql = compose({"INSERT INTO ", target, " Values (", marks.get(), ")"});
  return sql && rows.insert(call, sql.get());
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

// Some drivers send integer parameters as REAL, so only ids a double holds
// exactly are bound; larger ones are spliced as their digits.
constexpr long long kExactInDouble = 1LL << 53;

// True when the item is an int that every driver binds as it is.

bool bindable_row_id(PyObject* item) {
  if (!PyLong_CheckExact(item)) return false;
  int overflow = 0;
  const long long id = PyLong_AsLongLongAndOverflow(item, &overflow);
  return overflow == 0 && id >= -kExactInDouble && id <= kExactInDouble;
}

PyObject* single_parameter(PyObject* id) { return PyTuple_Pack(1, id); }

bool delete_one(Call& call, PyObject* table, PyObject* by_parameter, PyObject* item) {
  if (bindable_row_id(item)) {
    Ref params = tuple_of({item});
    return params && call.execute(by_parameter, params.get());
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
  return sql && call.execute(sql.get());
}


PyObject* insert_temp(PyObject* module, const Arguments<4>& args) {
  const auto [conn, table, rows, comm] = args;

  Rows given;
  if (!given.read(rows)) return nullptr;
  if (given.empty()) Py_RETURN_NONE;
  MutatingCall call(module, conn, comm);
  if (!call.open(table)) return nullptr;
  Ref target = str(call.table().staging());
  return call.finish(target && insert_rows(call, target.get(), given));
}

PyObject* insert_main(PyObject* module, const Arguments<4>& args) {
  const auto [conn, table, rows, comm] = args;

  MutatingCall call(module, conn, comm);
  if (!call.open()) return nullptr;
  Rows given;
  if (!given.read(rows)) return nullptr;
  if (given.empty()) Py_RETURN_NONE;
  // The name is joined as text, not formatted: anything else is refused.
  if (!PyUnicode_Check(table)) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                 Py_TYPE(table)->tp_name);
    return nullptr;
  }
  return call.finish(insert_rows(call, table, given));
}

PyObject* delete_row_main(PyObject* module, const Arguments<4>& args) {
  const auto [conn, table, ids, comm] = args;

  MutatingCall call(module, conn, comm);
  if (!call.open()) return nullptr;
  Ref by_parameter = compose({"DELETE From ", table, " Where rowid in (?)"});
  if (!by_parameter) return nullptr;
  // A collection of plain row ids goes through one prepared statement.
  const bool reiterable = PyAnySet_CheckExact(ids) || PyList_CheckExact(ids) ||
                          PyTuple_CheckExact(ids);
  if (reiterable && PyObject_Size(ids) == 0) {
    // nothing to delete: no statement, not even the driver's BEGIN
  } else if (reiterable && for_each_item(ids, bindable_row_id)) {
    if (!call.execute_many(by_parameter.get(), ids, single_parameter)) return nullptr;
  } else {
    const bool deleted = !PyErr_Occurred() && for_each_item(ids, [&](PyObject* item) {
      return delete_one(call, table, by_parameter.get(), item);
    });
    if (!deleted) return nullptr;
  }
  return call.finish(true);
}

}  // namespace

const Declaration kInsertTemp{
    "insert_temp", {"conn", "table", "rows", "comm=True"}, insert_temp,
    "Fast temp_table insertion.\n\nAppends the rows, in column order, to temp_<table>."};

const Declaration kDeleteRowMain{
    "delete_row_main", {"conn", "table", "ids", "comm=True"}, delete_row_main,
    "Fast delete selcted rows from main_table.\n\n"
    "Each item is a row id, or several row ids joined by ','."};

const Declaration kInsertMain{
    "_insert_main", {"conn", "table", "rows", "comm=True"}, insert_main};

}  // namespace tablora
