// Text forms of values and the statement texts made from them. Names and
// conditions are spliced as format(value, "") gives them; row values never
// are (they travel as parameters).
#pragma once

#include "base/ref.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

namespace tablora {

// A str object of UTF-8 text.
Ref str(std::string_view utf8);
// format(value, "") as a str object.
Ref text_form(PyObject* value);
// Appends format(value, "") as UTF-8; false with the error set.
bool append_text(std::string& out, PyObject* value);

// A SQL statement text made of literal fragments and text forms of values.
struct Piece {
  Piece(const char* s) : literal(s) {}
  Piece(const std::string& s) : literal(s) {}
  Piece(PyObject* v) : value(v) {}
  std::string_view literal;
  PyObject* value = nullptr;
};
Ref compose(std::initializer_list<Piece> pieces);

// Appends format(name, "") as an SQL identifier: as it stands when it is a
// plain identifier ([A-Za-z_][A-Za-z0-9_]*, not a keyword), else in double
// quotes with inner quotes doubled. For names read back from the database,
// which the caller never wrote into a statement.
bool append_identifier(std::string& out, PyObject* name);

}  // namespace tablora
