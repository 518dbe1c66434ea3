// Text forms of values and statement texts.
#include "sql/text.hpp"

#include "sql/sql_names.hpp"

namespace tablora {

Ref str(std::string_view utf8) {
  return Ref(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref text_form(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  // A null format string is the empty one: format(value, "").
  return Ref(PyObject_Format(value, nullptr));
}

bool append_text(std::string& out, PyObject* value) {
  Ref text = text_form(value);
  if (!text) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return false;
  out.append(utf8, static_cast<size_t>(size));
  return true;
}

Ref compose(std::initializer_list<Piece> pieces) {
  std::string sql;
  for (const Piece& piece : pieces) {
    if (piece.value != nullptr) {
      if (!append_text(sql, piece.value)) return Ref();
    } else {
      sql.append(piece.literal);
    }
  }
  return str(sql);
}

bool append_identifier(std::string& out, PyObject* name) {
  std::string text;
  if (!append_text(text, name)) return false;
  if (is_plain_identifier(text)) {
    out += text;
    return true;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return true;
}

}  // namespace tablora
