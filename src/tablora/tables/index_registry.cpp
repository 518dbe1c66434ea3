// Registered indexes: insert_index, drop_index, and the bulk suspension pair
// drop_table_index / active_table_index.
#include "tables/index_registry.hpp"
#include "sql/catalogue.hpp"
#include "sql/driver.hpp"
#include "sql/indexes.hpp"
#include "sql/mutating_call.hpp"

#include <optional>
#include <string>
#include <vector>

namespace tablora {

namespace {

bool delete_index_row(Call& call, const TableNames& table, PyObject* name) {
  Ref params = text_parameters({table.text(), name});
  return params && call.execute(kDeleteIndexRow, params.get());
}

bool ensure_index_table(Call& call) {
  return call.begin_before_schema_change() && call.execute(kCreateIndexTable);
}

PyObject* insert_index(PyObject* module, const Arguments<3>& args) {
  const auto [conn, index, comm] = args;
  MutatingCall call(module, conn, comm);
  if (!call.open() || !ensure_index_table(call)) return nullptr;
  Ref table(PyMapping_GetItemString(index, "table"));
  if (!table) return nullptr;
  Ref name(PyMapping_GetItemString(index, "name"));
  if (!name) return nullptr;
  const std::optional<TableNames> names = TableNames::of(table.get());
  std::string sql_name;
  if (!names || !names->index(name.get(), sql_name) ||
      !delete_index_row(call, *names, name.get()) ||
      !call.execute(drop_index_statement(sql_name)))
    return nullptr;
  // The SQL index comes before its catalogue row: a failing CREATE INDEX then
  // leaves no row behind for later rebuilds to trip over.
  Ref columns(PyMapping_GetItemString(index, "cols"));
  if (!columns) return nullptr;
  Ref create = create_index_statement(*names, sql_name, columns.get());
  if (!create || !call.execute(create.get())) return nullptr;
  Ref params = tuple_of({table.get(), name.get(), columns.get()});
  return call.finish(params && call.execute(kInsertIndexRow, params.get()));
}

PyObject* drop_index(PyObject* module, const Arguments<4>& args) {
  const auto [conn, table, name, comm] = args;
  MutatingCall call(module, conn, comm);
  if (!call.open() || !ensure_index_table(call)) return nullptr;
  const std::optional<TableNames> names = TableNames::of(table);
  std::string sql_name;
  return call.finish(names && names->index(name, sql_name) &&
                     delete_index_row(call, *names, name) &&
                     call.execute(drop_index_statement(sql_name)));
}

PyObject* active_table_index(PyObject* module, const Arguments<3>& args) {
  const auto [conn, table, comm] = args;
  MutatingCall call(module, conn, comm);
  if (!call.open(table)) return nullptr;
  Ref params = call.table().parameters();
  if (!params) return nullptr;
  Ref rows = call.fetch_all(kSelectIndexRows, params.get());
  if (!rows) return nullptr;
  return call.finish(for_each_item(rows.get(), [&](PyObject* row) {
    Ref create = registered_index_statement(row);
    return create && call.begin_before_schema_change() && call.execute(create.get());
  }));
}

PyObject* drop_table_index(PyObject* module, const Arguments<3>& args) {
  const auto [conn, table, comm] = args;
  MutatingCall call(module, conn, comm);
  std::vector<ListedIndex> listed;
  if (!call.open() || !list_indexes(call, table, listed)) return nullptr;
  for (const ListedIndex& index : listed) {
    if (made_by_sqlite(index)) continue;
    std::string drop;
    if (!drop_listed_index_statement(index.name.get(), drop) ||
        !call.begin_before_schema_change() || !call.execute(drop))
      return nullptr;
  }
  return call.finish(true);
}

}  // namespace

const Declaration kInsertIndex{
    "insert_index", {"conn", "index", "comm=True"}, insert_index,
    "Insert index for fast search.\n\n"
    "index = {'table': 'homes', 'name': 'index_0', 'cols': 'name,type,address'}\n"
    "Creates the SQL index homes_index_0 on homes (name,type,address) and records\n"
    "it in index_table, replacing an earlier index of the same name."};

const Declaration kDropIndex{
    "drop_index", {"conn", "table", "name", "comm=True"}, drop_index,
    "Drop one index of table.\n\nRemoves its row from index_table and the SQL index."};

const Declaration kActiveTableIndex{
    "active_table_index", {"conn", "table", "comm=True"}, active_table_index,
    "Activate indexes of table after drooping them for fast insertion.\n\n"
    "Re-creates every index that index_table records for the table."};

const Declaration kDropTableIndex{
    "drop_table_index", {"conn", "table", "comm=True"}, drop_table_index,
    "Drop index of table for fast insert rows.\n\n"
    "Drops every index of the main table; the catalogue rows stay, so\n"
    "active_table_index can build the registered ones again."};

}  // namespace tablora
