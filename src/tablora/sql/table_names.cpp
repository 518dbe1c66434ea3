// A managed table's names; see table_names.hpp.
#include "sql/table_names.hpp"

#include "sql/text.hpp"

namespace tablora {

std::optional<TableNames> TableNames::of(PyObject* table) {
  TableNames names;
  names.given_ = table;
  names.text_ = text_form(table);
  if (!names.text_) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(names.text_.get(), &size);
  if (utf8 == nullptr) return std::nullopt;
  names.main_.assign(utf8, static_cast<size_t>(size));
  names.staging_ = "temp_" + names.main_;
  return names;
}

bool TableNames::index(PyObject* name, std::string& out) const {
  out = main_ + "_";
  return append_text(out, name);
}

}  // namespace tablora
