// Unique rules: insert_unique records a rule with its supporting index,
// drop_unique deletes the rule's row.
#include "common.hpp"

namespace tablora {

namespace {

// Ensures unique_table, then deletes the rule's row (names bound as text).
bool replace_prelude(PyObject* conn, PyObject* cursor, PyObject* table, PyObject* name) {
  if (!begin_before_schema_change(conn, cursor)) return false;
  Ref create = str(kCreateUniqueTable);
  if (!create || !execute(cursor, create.get())) return false;
  Ref table_text = text_form(table);
  if (!table_text) return false;
  Ref name_text = text_form(name);
  if (!name_text) return false;
  Ref params = tuple_of({table_text.get(), name_text.get()});
  if (!params) return false;
  Ref sql = str("DELETE FROM unique_table where table_name = ? AND unique_name = ?");
  return sql && execute(cursor, sql.get(), params.get());
}

}  // namespace

TABLORA_FN(insert_unique) {
  PyObject* a[6];
  if (!parse_args({"insert_unique", {"conn", "table", "name", "cols", "cols_num", "comm"}, 5}, args,
                  nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *table = a[1], *name = a[2], *cols = a[3], *cols_num = a[4];
  PyObject* comm = a[5] ? a[5] : Py_True;

  Ref cursor = open_cursor(conn);
  if (!cursor || !replace_prelude(conn, cursor.get(), table, name)) return nullptr;
  Ref row = tuple_of({table, name, cols, cols_num});
  if (!row) return nullptr;
  Ref insert = str("INSERT INTO unique_table Values (?,?,?,?)");
  if (!insert || !execute(cursor.get(), insert.get(), row.get())) return nullptr;
  Ref index(PyDict_New());
  if (!index || PyDict_SetItemString(index.get(), "table", table) < 0 ||
      PyDict_SetItemString(index.get(), "name", name) < 0 ||
      PyDict_SetItemString(index.get(), "cols", cols) < 0)
    return nullptr;
  if (!call_sibling(module, "insert_index",
                    {{"conn", conn}, {"index", index.get()}, {"comm", Py_False}}) ||
      !commit_if_asked(conn, comm))
    return nullptr;
  Py_RETURN_NONE;
}

TABLORA_FN(drop_unique) {
  PyObject* a[4];
  if (!parse_args({"drop_unique", {"conn", "table", "name", "comm"}, 3}, args, nargs, kwnames, a))
    return nullptr;
  PyObject *conn = a[0], *table = a[1], *name = a[2], *comm = a[3] ? a[3] : Py_True;
  (void)module;

  Ref cursor = open_cursor(conn);
  if (!cursor || !replace_prelude(conn, cursor.get(), table, name) || !commit_if_asked(conn, comm))
    return nullptr;
  Py_RETURN_NONE;
}

}  // namespace tablora
