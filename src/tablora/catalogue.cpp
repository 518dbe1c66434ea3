// The catalogue tables, the SQL name of a registered index, and the readers
// of a table's columns and unique rules.
#include "catalogue.hpp"

#include "text.hpp"

namespace tablora {

const char kCreateIndexTable[] =
    "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)";
const char kCreateUniqueTable[] =
    "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)";

Ref sql_index_name(PyObject* table, PyObject* name) { return compose({table, "_", name}); }

Ref create_index_statement(PyObject* sql_name, PyObject* table, PyObject* columns) {
  return compose({"CREATE INDEX if not exists ", sql_name, " ON ", table, " (", columns, ")"});
}

Ref read_columns(Call& call, PyObject* table) {
  Ref sql = compose({"PRAGMA table_info(", table, ")"});
  if (!sql) return Ref();
  Ref rows = call.fetch_all(sql.get());
  if (!rows) return Ref();
  Ref names(PyList_New(0));
  if (!names) return Ref();
  const bool read = for_each_item(rows.get(), [&](PyObject* row) {
    Ref column(PySequence_GetItem(row, 1));
    return column && PyList_Append(names.get(), column.get()) == 0;
  });
  return read ? std::move(names) : Ref();
}

Ref read_rule_positions(Call& call, PyObject* table) {
  Ref name = text_form(table);
  if (!name) return Ref();
  Ref params = tuple_of({name.get()});
  if (!params) return Ref();
  Ref rows = call.fetch_all("SELECT * FROM unique_table WHERE table_name = ?", params.get());
  if (!rows) return Ref();
  Ref rules(PyDict_New());
  if (!rules) return Ref();
  Ref comma(PyUnicode_FromString(","));
  if (!comma) return Ref();
  const bool read = for_each_item(rows.get(), [&](PyObject* row) {
    Ref rule_name(PySequence_GetItem(row, 1));
    if (!rule_name) return false;
    Ref col_num(PySequence_GetItem(row, 3));
    if (!col_num) return false;
    // col_num.split(",") and int() of every piece, as the host does them.
    Ref pieces(PyObject_CallMethod(col_num.get(), "split", "O", comma.get()));
    if (!pieces) return false;
    Ref positions(PySequence_List(pieces.get()));
    if (!positions) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions.get()); ++i) {
      PyObject* number = PyNumber_Long(PyList_GET_ITEM(positions.get(), i));
      if (number == nullptr) return false;
      PyList_SetItem(positions.get(), i, number);
    }
    return PyDict_SetItem(rules.get(), rule_name.get(), positions.get()) == 0;
  });
  return read ? std::move(rules) : Ref();
}

}  // namespace tablora
