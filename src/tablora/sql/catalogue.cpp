// The catalogue tables and the readers of a table's columns and unique rules.
#include "sql/catalogue.hpp"

#include "sql/sql_names.hpp"
#include "sql/text.hpp"

namespace tablora {

const char kCreateIndexTable[] =
    "CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)";
const char kCreateUniqueTable[] =
    "CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)";

bool prepare_catalogue(Call& call) {
  return call.execute(kCreateIndexTable) && call.execute(kCreateUniqueTable) &&
         Ref(PyObject_CallMethodNoArgs(call.conn(), state_of(call.module()).s_commit.get()));
}

const char kSelectIndexRows[] = "SELECT * FROM index_table WHERE " TABLORA_SAME_TABLE;
const char kSelectRuleRows[] = "SELECT * FROM unique_table WHERE " TABLORA_SAME_TABLE;
const char kDeleteIndexRow[] =
    "DELETE FROM index_table where " TABLORA_SAME_TABLE " AND index_name = ?";
const char kDeleteRuleRow[] =
    "DELETE FROM unique_table where " TABLORA_SAME_TABLE " AND unique_name = ?";
const char kDeleteTableIndexRows[] = "DELETE FROM index_table Where " TABLORA_SAME_TABLE;
const char kDeleteTableRuleRows[] = "DELETE FROM unique_table Where " TABLORA_SAME_TABLE;
const char kInsertIndexRow[] = "INSERT INTO index_table Values (?,?,?)";
const char kInsertRuleRow[] = "INSERT INTO unique_table Values (?,?,?,?)";

Ref registered_index_statement(PyObject* row, bool as_stored, std::string* sql_name) {
  Ref table(PySequence_GetItem(row, 0));
  Ref name(table ? PySequence_GetItem(row, 1) : nullptr);
  Ref columns(name ? PySequence_GetItem(row, 2) : nullptr);
  if (!columns) return Ref();
  const std::optional<TableNames> names = TableNames::of(table.get());
  std::string index;
  if (!names || !names->index(name.get(), index)) return Ref();
  if (sql_name) *sql_name = index;
  return create_index_statement(*names, index, columns.get(), as_stored);
}

bool refuse_rowid_column(PyObject* table, const std::vector<std::string>& columns) {
  for (const std::string& column : columns) {
    if (!same_sql_name(column, "rowid")) continue;
    Ref name = str(column);
    if (name)
      PyErr_Format(PyExc_ValueError,
                   "table %R cannot have a column named %R: the library addresses rows by rowid",
                   table, name.get());
    return false;
  }
  return true;
}

Ref read_columns(Call& call, std::string_view table, PyObject* shown) {
  Ref rows = call.fetch_all("PRAGMA table_info(" + std::string(table) + ")");
  if (!rows) return Ref();
  Ref names(PyList_New(0));
  if (!names) return Ref();
  std::vector<std::string> texts;
  const bool read = for_each_item(rows.get(), [&](PyObject* row) {
    Ref column(PySequence_GetItem(row, 1));
    if (!column || PyList_Append(names.get(), column.get()) < 0) return false;
    if (!PyUnicode_Check(column.get())) return true;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(column.get(), &size);
    if (utf8 == nullptr) return false;
    texts.emplace_back(utf8, static_cast<size_t>(size));
    return true;
  });
  if (!read) return Ref();
  Ref name = shown ? Ref::borrow(shown) : str(table);
  return name && refuse_rowid_column(name.get(), texts) ? std::move(names) : Ref();
}

Ref read_rule_positions(Call& call, const TableNames& table) {
  Ref params = table.parameters();
  if (!params) return Ref();
  Ref rows = call.fetch_all(kSelectRuleRows, params.get());
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

bool read_column_collations(Call& call, const TableNames& table, PyObject* cols,
                            std::vector<Collation>& out) {
  out.assign(static_cast<size_t>(PyList_GET_SIZE(cols)), Collation());
  Ref params = table.parameters();
  if (!params) return false;
  // Names match as SQLite matches them, ASCII letters in either case.
  Ref rows = call.fetch_all(
      "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE",
      params.get());
  if (!rows) return false;
  if (PyList_GET_SIZE(rows.get()) == 0) return true;
  Ref sql(PySequence_GetItem(PyList_GET_ITEM(rows.get(), 0), 0));
  if (!sql) return false;
  if (!PyUnicode_Check(sql.get())) return true;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(sql.get(), &size);
  if (utf8 == nullptr) return false;
  const std::vector<DeclaredColumn> declared =
      declared_columns(table_definitions(std::string_view(utf8, static_cast<size_t>(size))));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
    PyObject* name = PyList_GET_ITEM(cols, i);
    if (!PyUnicode_Check(name)) continue;
    const char* column = PyUnicode_AsUTF8AndSize(name, &size);
    if (column == nullptr) return false;
    for (const DeclaredColumn& d : declared)
      if (same_sql_name(d.name, std::string_view(column, static_cast<size_t>(size))))
        out[static_cast<size_t>(i)] = Collation::named(d.collation);
  }
  return true;
}

bool unique_rules_from(PyObject* positions_by_rule, PyObject* columns,
                       std::vector<UniqueRule>& rules,
                       const std::vector<Collation>* column_collations) {
  const Py_ssize_t width = PyObject_Size(columns);
  if (width < 0) return false;
  Ref items(PyMapping_Items(positions_by_rule));
  if (!items) return false;
  return for_each_item(items.get(), [&](PyObject* item) {
    UniqueRule rule;
    rule.name = Ref(PySequence_GetItem(item, 0));
    if (!rule.name) return false;
    Ref positions(PySequence_GetItem(item, 1));
    if (!positions) return false;
    const bool read = for_each_item(positions.get(), [&](PyObject* number) {
      Py_ssize_t at = PyNumber_AsSsize_t(number, PyExc_IndexError);
      if (at == -1 && PyErr_Occurred()) return false;
      if (at < 0) at += width;
      if (at < 0 || at >= width) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
      }
      Ref column(PySequence_GetItem(columns, at));
      if (!column) return false;
      rule.positions.push_back(at);
      rule.columns.push_back(std::move(column));
      if (column_collations && static_cast<size_t>(at) < column_collations->size())
        rule.collations.push_back((*column_collations)[static_cast<size_t>(at)]);
      return true;
    });
    if (!read) return false;
    rules.push_back(std::move(rule));
    return true;
  });
}

// ---- the Python face ---------------------------------------------------------------

namespace {

PyObject* prepare(PyObject* module, const Arguments<1>& args) {
  Call call(module, args[0]);
  return none_unless_failed(call.open_cursor() && prepare_catalogue(call));
}

PyObject* rule_positions(PyObject* module, const Arguments<2>& args) {
  const auto [conn, table] = args;
  Call call(module, conn);
  const std::optional<TableNames> names = TableNames::of(table);
  return names && call.open_cursor() ? read_rule_positions(call, *names).release() : nullptr;
}

PyObject* staging_name(PyObject*, const Arguments<1>& args) {
  const std::optional<TableNames> names = TableNames::of(args[0]);
  return names ? str(names->staging()).release() : nullptr;
}

PyObject* index_name(PyObject*, const Arguments<2>& args) {
  const std::optional<TableNames> names = TableNames::of(args[0]);
  std::string sql_name;
  return names && names->index(args[1], sql_name) ? str(sql_name).release() : nullptr;
}

}  // namespace

const Declaration kCatalogueModuleFunctions[4] = {
    {"prepare", {"conn"}, prepare,
     "Create the catalogue tables when they are missing, and commit."},
    {"rule_positions", {"conn", "table"}, rule_positions,
     "The table's unique rules: rule name -> column positions, in catalogue order."},
    {"staging_name", {"table"}, staging_name, "The name of the table's staging twin."},
    {"index_name", {"table", "name"}, index_name, "The SQL name of a registered index."},
};

}  // namespace tablora
