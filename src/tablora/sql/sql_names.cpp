// How SQLite reads names; see sql_names.hpp.
#include "sql/sql_names.hpp"

#include <algorithm>
#include <array>

namespace tablora {

namespace {

// SQLite's keywords, upper case and sorted: the 147 that SQLite 3.40 lists
// (sqlite3_keyword_name). A later release may add some: take its list whole,
// since quoting a name that an older SQLite reads as plain costs nothing.
constexpr std::array<std::string_view, 147> kKeywords = {
    "ABORT", "ACTION", "ADD", "AFTER", "ALL", "ALTER", "ALWAYS", "ANALYZE", "AND", "AS", "ASC",
    "ATTACH", "AUTOINCREMENT", "BEFORE", "BEGIN", "BETWEEN", "BY", "CASCADE", "CASE", "CAST",
    "CHECK", "COLLATE", "COLUMN", "COMMIT", "CONFLICT", "CONSTRAINT", "CREATE", "CROSS", "CURRENT",
    "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "DATABASE", "DEFAULT", "DEFERRABLE",
    "DEFERRED", "DELETE", "DESC", "DETACH", "DISTINCT", "DO", "DROP", "EACH", "ELSE", "END",
    "ESCAPE", "EXCEPT", "EXCLUDE", "EXCLUSIVE", "EXISTS", "EXPLAIN", "FAIL", "FILTER", "FIRST",
    "FOLLOWING", "FOR", "FOREIGN", "FROM", "FULL", "GENERATED", "GLOB", "GROUP", "GROUPS",
    "HAVING", "IF", "IGNORE", "IMMEDIATE", "IN", "INDEX", "INDEXED", "INITIALLY", "INNER",
    "INSERT", "INSTEAD", "INTERSECT", "INTO", "IS", "ISNULL", "JOIN", "KEY", "LAST", "LEFT",
    "LIKE", "LIMIT", "MATCH", "MATERIALIZED", "NATURAL", "NO", "NOT", "NOTHING", "NOTNULL", "NULL",
    "NULLS", "OF", "OFFSET", "ON", "OR", "ORDER", "OTHERS", "OUTER", "OVER", "PARTITION", "PLAN",
    "PRAGMA", "PRECEDING", "PRIMARY", "QUERY", "RAISE", "RANGE", "RECURSIVE", "REFERENCES",
    "REGEXP", "REINDEX", "RELEASE", "RENAME", "REPLACE", "RESTRICT", "RETURNING", "RIGHT",
    "ROLLBACK", "ROW", "ROWS", "SAVEPOINT", "SELECT", "SET", "TABLE", "TEMP", "TEMPORARY", "THEN",
    "TIES", "TO", "TRANSACTION", "TRIGGER", "UNBOUNDED", "UNION", "UNIQUE", "UPDATE", "USING",
    "VACUUM", "VALUES", "VIEW", "VIRTUAL", "WHEN", "WHERE", "WINDOW", "WITH", "WITHOUT",
};
static_assert(std::is_sorted(kKeywords.begin(), kKeywords.end()));

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// SQLite's identifier characters: letters, digits, "_", "$" and every byte of
// a character beyond ASCII.
bool identifier_byte(char c) {
  return ascii_letter(c) || ascii_digit(c) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// The closing character of a quote that `open` opens, else 0.
char closing_quote(char open) {
  switch (open) {
    case '"':
    case '\'':
    case '`':
      return open;
    case '[':
      return ']';
    default:
      return 0;
  }
}

// Past the quoted token at `at`, its text unquoted into `name` when given (a
// doubled closing quote stands for one). An unterminated quote runs to the end.
size_t read_quoted(std::string_view text, size_t at, std::string* name) {
  const char close = closing_quote(text[at]);
  for (size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] != close) {
      if (name) *name += text[i];
    } else if (close != ']' && i + 1 < text.size() && text[i + 1] == close) {
      if (name) *name += close;
      ++i;
    } else {
      return i + 1;
    }
  }
  return text.size();
}

// Past the blanks and comments at `at`.
size_t skip_blanks(std::string_view text, size_t at) {
  while (at < text.size()) {
    const std::string_view rest = text.substr(at);
    if (rest[0] == ' ' || rest[0] == '\t' || rest[0] == '\n' || rest[0] == '\r' ||
        rest[0] == '\f' || rest[0] == '\v') {
      ++at;
    } else if (rest.starts_with("--")) {
      at = std::min(text.size(), text.find('\n', at));
    } else if (rest.starts_with("/*")) {
      const size_t end = text.find("*/", at + 2);
      at = end == std::string_view::npos ? text.size() : end + 2;
    } else {
      break;
    }
  }
  return at;
}

// Past the name at `at`, quoted or plain, read into `name` as SQLite reads it.
size_t read_name(std::string_view text, size_t at, std::string& name) {
  if (at < text.size() && closing_quote(text[at])) return read_quoted(text, at, &name);
  while (at < text.size() && identifier_byte(text[at])) name += text[at++];
  return at;
}

// Past the rest of a definition: up to its comma outside parentheses and
// quotes. The name after a COLLATE outside parentheses, which is the
// column's collation (the last one counts, as in SQLite), goes to
// `collation`; inside parentheses (a CHECK, a generated column) a COLLATE
// belongs to an expression.
size_t skip_definition(std::string_view text, size_t at, std::string& collation) {
  int depth = 0;
  while (at < text.size() && !(depth == 0 && text[at] == ',')) {
    const size_t after = skip_blanks(text, at);
    if (after != at) {
      at = after;
    } else if (closing_quote(text[at])) {
      at = read_quoted(text, at, nullptr);
    } else if (identifier_byte(text[at])) {
      std::string word;
      at = read_name(text, at, word);
      if (depth == 0 && same_sql_name(word, "COLLATE")) {
        collation.clear();
        at = read_name(text, skip_blanks(text, at), collation);
      }
    } else {
      depth += text[at] == '(' ? 1 : text[at] == ')' ? -1 : 0;
      ++at;
    }
  }
  return at;
}

// A definition that starts with one of these words constrains the table
// and declares no column.
bool starts_table_constraint(std::string_view word) {
  for (std::string_view constraint : {"CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK", "FOREIGN"})
    if (same_sql_name(word, constraint)) return true;
  return false;
}

}  // namespace

bool same_sql_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return upper(x) == upper(y); });
}

int same_sql_name(PyObject* a, PyObject* b) {
  if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) return PyObject_RichCompareBool(a, b, Py_EQ);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (PyUnicode_GET_LENGTH(b) != n) return 0;
  auto fold = [](Py_UCS4 c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
  for (Py_ssize_t i = 0; i < n; ++i)
    if (fold(PyUnicode_READ_CHAR(a, i)) != fold(PyUnicode_READ_CHAR(b, i))) return 0;
  return 1;
}

bool is_sql_keyword(std::string_view word) {
  constexpr size_t kLongest = std::string_view("CURRENT_TIMESTAMP").size();
  if (word.size() > kLongest) return false;
  char key[kLongest];
  std::transform(word.begin(), word.end(), key, upper);
  return std::binary_search(kKeywords.begin(), kKeywords.end(), std::string_view(key, word.size()));
}

bool is_plain_identifier(std::string_view name) {
  if (name.empty() || !(ascii_letter(name[0]) || name[0] == '_')) return false;
  for (char c : name)
    if (!(ascii_letter(c) || ascii_digit(c) || c == '_')) return false;
  return !is_sql_keyword(name);
}

std::vector<DeclaredColumn> declared_columns(std::string_view definitions) {
  std::vector<DeclaredColumn> columns;
  size_t at = 0;
  for (;;) {
    at = skip_blanks(definitions, at);
    DeclaredColumn column;
    const bool quoted = at < definitions.size() && closing_quote(definitions[at]);
    at = read_name(definitions, at, column.name);
    at = skip_definition(definitions, at, column.collation);
    if (quoted || !starts_table_constraint(column.name)) columns.push_back(std::move(column));
    if (at >= definitions.size()) return columns;
    ++at;  // the comma
  }
}

std::vector<std::string> declared_column_names(std::string_view definitions) {
  std::vector<std::string> names;
  for (DeclaredColumn& column : declared_columns(definitions))
    names.push_back(std::move(column.name));
  return names;
}

std::string_view table_definitions(std::string_view create_table) {
  size_t at = 0;
  while (at < create_table.size() && create_table[at] != '(') {
    const size_t after = skip_blanks(create_table, at);
    if (after != at) {
      at = after;
    } else if (closing_quote(create_table[at])) {
      at = read_quoted(create_table, at, nullptr);
    } else if (identifier_byte(create_table[at])) {
      std::string word;
      at = read_name(create_table, at, word);
      if (same_sql_name(word, "AS")) return {};  // CREATE TABLE ... AS SELECT
    } else {
      ++at;
    }
  }
  const size_t open = at;
  int depth = 0;
  while (at < create_table.size()) {
    const size_t after = skip_blanks(create_table, at);
    if (after != at) {
      at = after;
    } else if (closing_quote(create_table[at])) {
      at = read_quoted(create_table, at, nullptr);
    } else {
      depth += create_table[at] == '(' ? 1 : create_table[at] == ')' ? -1 : 0;
      if (depth == 0) return create_table.substr(open + 1, at - open - 1);
      ++at;
    }
  }
  return open < create_table.size() ? create_table.substr(open + 1) : std::string_view();
}

}  // namespace tablora
