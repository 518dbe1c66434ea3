// The module's functions: the parameters of each, written once, and the
// bodies each unit defines for them. The method table (functions.cpp), every
// __text_signature__, the argument binding and the size of the arguments a
// body receives all follow from these lists.
#pragma once

#include "base/arguments.hpp"

#include <iterator>

namespace tablora {

// The parameters of every module-level function, in the order Python binds
// them; a trailing "comm=True" is the one default.
namespace signature {
inline constexpr Parameter insert_index[] = {"conn", "index", "comm=True"};
inline constexpr Parameter drop_index[] = {"conn", "table", "name", "comm=True"};
inline constexpr Parameter active_table_index[] = {"conn", "table", "comm=True"};
inline constexpr Parameter drop_table_index[] = {"conn", "table", "comm=True"};
inline constexpr Parameter insert_unique[] = {
    "conn", "table", "name", "cols", "cols_num", "comm=True"};
inline constexpr Parameter drop_unique[] = {"conn", "table", "name", "comm=True"};
inline constexpr Parameter create_table[] = {
    "conn", "name", "cols", "index", "unique", "comm=True"};
inline constexpr Parameter drop_table[] = {"conn", "table", "comm=True"};
inline constexpr Parameter insert_temp[] = {"conn", "table", "rows", "comm=True"};
inline constexpr Parameter delete_row_main[] = {"conn", "table", "ids", "comm=True"};
inline constexpr Parameter insert_main[] = {"conn", "table", "rows", "comm=True"};
inline constexpr Parameter temp_to_main[] = {"conn", "table", "comm=True"};
inline constexpr Parameter find[] = {"conn", "select", "table", "conditions"};
inline constexpr Parameter check_newest_unique[] = {
    "conn", "table", "rowid", "row", "uniques", "cols", "total_select", "eqivalent_set"};
}  // namespace signature

// The arguments of a body whose parameters are `List`.
template <const auto& List>
using ArgumentsOf = Arguments<std::size(List)>;

// index_registry.cpp
PyObject* insert_index(PyObject* module, const ArgumentsOf<signature::insert_index>& args);
PyObject* drop_index(PyObject* module, const ArgumentsOf<signature::drop_index>& args);
PyObject* active_table_index(PyObject* module,
                             const ArgumentsOf<signature::active_table_index>& args);
PyObject* drop_table_index(PyObject* module, const ArgumentsOf<signature::drop_table_index>& args);
// unique_registry.cpp
PyObject* insert_unique(PyObject* module, const ArgumentsOf<signature::insert_unique>& args);
PyObject* drop_unique(PyObject* module, const ArgumentsOf<signature::drop_unique>& args);
// schema.cpp
PyObject* create_table(PyObject* module, const ArgumentsOf<signature::create_table>& args);
PyObject* drop_table(PyObject* module, const ArgumentsOf<signature::drop_table>& args);
// rows.cpp
PyObject* insert_temp(PyObject* module, const ArgumentsOf<signature::insert_temp>& args);
PyObject* delete_row_main(PyObject* module, const ArgumentsOf<signature::delete_row_main>& args);
PyObject* insert_main(PyObject* module, const ArgumentsOf<signature::insert_main>& args);
// merge.cpp
PyObject* temp_to_main(PyObject* module, const ArgumentsOf<signature::temp_to_main>& args);
// Makes tablora._merge, the counted merge of the package's own code; false
// with the error set.
bool add_merge_module(PyObject* module);
// find.cpp
PyObject* find(PyObject* module, const ArgumentsOf<signature::find>& args);
// query.cpp
PyObject* check_newest_unique(PyObject* module,
                              const ArgumentsOf<signature::check_newest_unique>& args);

// Every function above, in binding order, for PyModule_AddFunctions.
PyMethodDef* module_functions();
// 1 when the module-level name `name` is still the library's own function,
// 0 when a caller has replaced it, -1 with the error set.
int is_library_function(PyObject* module, const char* name);

}  // namespace tablora
