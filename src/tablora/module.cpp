// The module entry: multi-phase initialisation, the function table and DB.
#include "common.hpp"

namespace tablora {

namespace {

// The module lives in one interpreter per process and is initialised once.
int64_t owner_interpreter = -1;
PyObject* module_object = nullptr;  // borrowed; cleared when the module goes

int exec_module(PyObject* module);
int traverse_module(PyObject* module, visitproc visit, void* arg);
int clear_module(PyObject* module);
void free_module(void* module);

#define SIG(fn, params) #fn "($module, /, " params ")\n--\n\n"

PyMethodDef functions[] = {
    {"insert_index", as_method(insert_index), METH_FASTCALL | METH_KEYWORDS,
     SIG(insert_index, "conn, index, comm=True")
     "Insert index for fast search.\n\n"
     "index = {'table': 'homes', 'name': 'index_0', 'cols': 'name,type,address'}\n"
     "Creates the SQL index homes_index_0 on homes (name,type,address) and records\n"
     "it in index_table, replacing an earlier index of the same name."},
    {"drop_index", as_method(drop_index), METH_FASTCALL | METH_KEYWORDS,
     SIG(drop_index, "conn, table, name, comm=True")
     "Drop one index of table.\n\nRemoves its row from index_table and the SQL index."},
    {"active_table_index", as_method(active_table_index),
     METH_FASTCALL | METH_KEYWORDS,
     SIG(active_table_index, "conn, table, comm=True")
     "Activate indexes of table after drooping them for fast insertion.\n\n"
     "Re-creates every index that index_table records for the table."},
    {"drop_table_index", as_method(drop_table_index),
     METH_FASTCALL | METH_KEYWORDS,
     SIG(drop_table_index, "conn, table, comm=True")
     "Drop index of table for fast insert rows.\n\n"
     "Drops every index of the main table; the catalogue rows stay, so\n"
     "active_table_index can build the registered ones again."},
    {"insert_unique", as_method(insert_unique), METH_FASTCALL | METH_KEYWORDS,
     SIG(insert_unique, "conn, table, name, cols, cols_num, comm=True")
     "Insert uniques of table, the last one with unique features replaces old ones.\n\n"
     "insert_unique(conn, 'homes', 'unique_0', 'name,address', '0,2')\n"
     "Records the rule in unique_table and registers its supporting index."},
    {"drop_unique", as_method(drop_unique), METH_FASTCALL | METH_KEYWORDS,
     SIG(drop_unique, "conn, table, name, comm=True")
     "Delete one unique of table.\n\nThe supporting index stays registered."},
    {"create_table", as_method(create_table), METH_FASTCALL | METH_KEYWORDS,
     SIG(create_table, "conn, name, cols, index, unique, comm=True")
     "Create table with indexes and uniques.\n\n"
     "create_table(conn, 'homes', ['name', 'type', 'address', 'age'],\n"
     "             [{'name': 'index_0', 'cols': 'name,type,address'},\n"
     "              {'name': 'index_1', 'cols': 'age'}],\n"
     "             [{'name': 'unique_0', 'cols': [0, 1]},\n"
     "              {'name': 'unique_1', 'cols': [2]}])\n"
     "Any former table of the name is removed first."},
    {"insert_temp", as_method(insert_temp), METH_FASTCALL | METH_KEYWORDS,
     SIG(insert_temp, "conn, table, rows, comm=True")
     "Fast temp_table insertion.\n\nAppends the rows, in column order, to temp_<table>."},
    {"delete_row_main", as_method(delete_row_main),
     METH_FASTCALL | METH_KEYWORDS,
     SIG(delete_row_main, "conn, table, ids, comm=True")
     "Fast delete selcted rows from main_table.\n\n"
     "Each item is a row id, or several row ids joined by ','."},
    {"temp_to_main", as_method(temp_to_main), METH_FASTCALL | METH_KEYWORDS,
     SIG(temp_to_main, "conn, table, comm=True")
     "Fast temp to main insertion.\n\n"
     "Merges the staged rows into the main table; of rows with equal values\n"
     "under a unique rule the newest survives."},
    {"_insert_main", as_method(insert_main), METH_FASTCALL | METH_KEYWORDS,
     SIG(_insert_main, "conn, table, rows, comm=True")},
    {"drop_table", as_method(drop_table), METH_FASTCALL | METH_KEYWORDS,
     SIG(drop_table, "conn, table, comm=True")
     "Drop table with indexes and uniques.\n\n"
     "Removes the main table, temp_<table> and their catalogue rows."},
    {"find", as_method(find), METH_FASTCALL | METH_KEYWORDS,
     SIG(find, "conn, select, table, conditions")
     "Find rows from temp and main tables.\n\n"
     "select: '*' or 'name,age'\n"
     "table: 'persons'\n"
     "conditions: '''where (id, city) = (1093, 'Tehran')\n"
     "               order by age desc'''\n"
     "Staged rows come first; a row is returned only when no row linked to it\n"
     "by equal values under a unique rule is newer."},
    {"_check_newest_unique", as_method(check_newest_unique),
     METH_FASTCALL | METH_KEYWORDS,
     SIG(_check_newest_unique,
         "conn, table, rowid, row, uniques, cols, total_select, eqivalent_set")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tablora",
    nullptr,
    sizeof(State),
    nullptr,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

bool intern(Ref& slot, const char* text) {
  slot = Ref(PyUnicode_InternFromString(text));
  return static_cast<bool>(slot);
}

bool import_as(PyObject* module, const char* import_name, const char* attribute) {
  Ref imported(PyImport_ImportModule(import_name));
  return imported && PyModule_AddObjectRef(module, attribute, imported.get()) == 0;
}

int exec_module(PyObject* module) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner_interpreter != -1 && owner_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  if (owner_interpreter != -1) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tablora' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  owner_interpreter = interpreter;
  module_object = module;

  State* st = new (PyModule_GetState(module)) State();
  Ref builtins(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  st->print = Ref(PyObject_GetAttrString(builtins.get(), "print"));
  if (!st->print) return -1;
  st->empty_format = Ref(PyUnicode_FromString(""));
  st->false_none = Ref(PyTuple_Pack(2, Py_False, Py_None));
  if (!st->empty_format || !st->false_none) return -1;
  if (!intern(st->s_cursor, "cursor") || !intern(st->s_execute, "execute") ||
      !intern(st->s_executemany, "executemany") || !intern(st->s_fetchall, "fetchall") ||
      !intern(st->s_commit, "commit") || !intern(st->s_close, "close") ||
      !intern(st->s_connect, "connect") || !intern(st->s_db_dict, "DB_dict") ||
      !intern(st->s_sqlite3, "sqlite3") || !intern(st->s_tablora_state, "tablora_state") ||
      !intern(st->s_name, "name") || !intern(st->s_address, "address") ||
      !intern(st->s_autoindex_prefix, "sqlite_autoindex_") || !intern(st->s_table, "table") ||
      !intern(st->s_cols, "cols"))
    return -1;

  if (!import_as(module, "tablora.tablora_state", "tablora_state")) return -1;
  if (!import_as(module, "sqlite3", "sqlite3")) return -1;
  st->db_type = make_db_class(module);
  if (!st->db_type || PyModule_AddObjectRef(module, "DB", st->db_type.get()) < 0) return -1;
  return PyModule_AddFunctions(module, functions);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  State* st = static_cast<State*>(PyModule_GetState(module));
  if (st != nullptr) {
    Py_VISIT(st->print.get());
    Py_VISIT(st->db_type.get());
  }
  return 0;
}

int clear_module(PyObject* module) {
  State* st = static_cast<State*>(PyModule_GetState(module));
  if (st != nullptr) st->clear();
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
  if (module == module_object) module_object = nullptr;
}

}  // namespace

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

PyObject* the_module() { return module_object; }

}  // namespace tablora

PyMODINIT_FUNC PyInit_tablora(void) { return PyModuleDef_Init(&tablora::module_def); }
