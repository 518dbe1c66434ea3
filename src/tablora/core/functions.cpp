// Every module-level function, declared once: its name, its parameters (in
// functions.hpp, beside the body) and its docstring. The method table, each
// __text_signature__ and the argument binding follow from these lines; the
// order is the binding order.
#include "core/functions.hpp"

#include "base/declaration.hpp"

#include <cstring>

namespace tablora {

namespace {

const Declaration kFunctions[] = {
    {"insert_index", signature::insert_index, insert_index,
     "Insert index for fast search.\n\n"
     "index = {'table': 'homes', 'name': 'index_0', 'cols': 'name,type,address'}\n"
     "Creates the SQL index homes_index_0 on homes (name,type,address) and records\n"
     "it in index_table, replacing an earlier index of the same name."},
    {"drop_index", signature::drop_index, drop_index,
     "Drop one index of table.\n\nRemoves its row from index_table and the SQL index."},
    {"active_table_index", signature::active_table_index, active_table_index,
     "Activate indexes of table after drooping them for fast insertion.\n\n"
     "Re-creates every index that index_table records for the table."},
    {"drop_table_index", signature::drop_table_index, drop_table_index,
     "Drop index of table for fast insert rows.\n\n"
     "Drops every index of the main table; the catalogue rows stay, so\n"
     "active_table_index can build the registered ones again."},
    {"insert_unique", signature::insert_unique, insert_unique,
     "Insert uniques of table, the last one with unique features replaces old ones.\n\n"
     "insert_unique(conn, 'homes', 'unique_0', 'name,address', '0,2')\n"
     "Records the rule in unique_table and registers its supporting index."},
    {"drop_unique", signature::drop_unique, drop_unique,
     "Delete one unique of table.\n\nThe supporting index stays registered."},
    {"create_table", signature::create_table, create_table,
     "Create table with indexes and uniques.\n\n"
     "create_table(conn, 'homes', ['name', 'type', 'address', 'age'],\n"
     "             [{'name': 'index_0', 'cols': 'name,type,address'},\n"
     "              {'name': 'index_1', 'cols': 'age'}],\n"
     "             [{'name': 'unique_0', 'cols': [0, 1]},\n"
     "              {'name': 'unique_1', 'cols': [2]}])\n"
     "Any former table of the name is removed first."},
    {"insert_temp", signature::insert_temp, insert_temp,
     "Fast temp_table insertion.\n\nAppends the rows, in column order, to temp_<table>."},
    {"delete_row_main", signature::delete_row_main, delete_row_main,
     "Fast delete selcted rows from main_table.\n\n"
     "Each item is a row id, or several row ids joined by ','."},
    {"temp_to_main", signature::temp_to_main, temp_to_main,
     "Fast temp to main insertion.\n\n"
     "Merges the staged rows into the main table; of rows with equal values\n"
     "under a unique rule the newest survives."},
    {"_insert_main", signature::insert_main, insert_main},
    {"drop_table", signature::drop_table, drop_table,
     "Drop table with indexes and uniques.\n\n"
     "Removes the main table, temp_<table> and their catalogue rows."},
    {"find", signature::find, find,
     "Find rows from temp and main tables.\n\n"
     "select: '*' or 'name,age'\n"
     "table: 'persons'\n"
     "conditions: '''where (id, city) = (1093, 'Tehran')\n"
     "               order by age desc'''\n"
     "Staged rows come first; a row is returned only when no row linked to it\n"
     "by equal values under a unique rule is newer."},
    {"_check_newest_unique", signature::check_newest_unique, check_newest_unique},
};

}  // namespace

PyMethodDef* module_functions() { return method_table<kFunctions>(); }

int is_library_function(PyObject* module, const char* name) {
  Ref function(PyObject_GetAttrString(module, name));
  if (!function) return -1;
  if (!PyCFunction_Check(function.get()) || PyCFunction_GET_SELF(function.get()) != module)
    return 0;
  const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function.get())->m_ml;
  for (const PyMethodDef* own = module_functions(); own->ml_name != nullptr; ++own)
    if (own == def) return std::strcmp(def->ml_name, name) == 0;
  return 0;
}

}  // namespace tablora
