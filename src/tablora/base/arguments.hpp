// Parameters of the library's functions and the binding of a call's
// arguments to them, reported with the interpreter's own wording.
#pragma once

#include "base/ref.hpp"

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tablora {

// The defaults a parameter can have: the module's functions know only
// comm=True; the private entries of the everyday layer take None and ().
enum class Default { kNone, kTrue, kNoneValue, kEmptyTuple };

// One parameter as a declaration writes it: "conn", "comm=True",
// "limit=None" or "params=()". Checked while compiling.
struct Parameter {
  consteval Parameter(const char* written) : written(written), name(written) {
    const size_t equals = this->written.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view value = this->written.substr(equals + 1);
    if (value == "True") {
      fallback = Default::kTrue;
    } else if (value == "None") {
      fallback = Default::kNoneValue;
    } else if (value == "()") {
      fallback = Default::kEmptyTuple;
    } else {
      throw "a default is True, None or ()";
    }
    name = this->written.substr(0, equals);
    optional = true;
  }
  std::string_view written;  // as the text signature shows it
  std::string_view name;     // as keywords and errors name it
  bool optional = false;     // bound to its default when not given
  Default fallback = Default::kNone;
};

// The arguments a body receives: one borrowed reference per parameter, in
// the declaration's order, defaults filled in.
template <size_t N>
using Arguments = std::array<PyObject*, N>;

// Positional-or-keyword parameters, the optional ones last.
class Parameters {
 public:
  // `function` as argument errors name it: "find", "DB.__init__".
  Parameters(std::string function, const Parameter* first, size_t count);

  // "conn, table, comm=True"
  std::string text() const;
  // Binds a fast call's arguments into out[0..size()); false with the
  // interpreter's TypeError set.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

 private:
  // The parameter a keyword names, or -1.
  Py_ssize_t position_of(PyObject* keyword) const;
  void report_missing(const std::vector<std::string_view>& missing) const;

  std::string function_;
  std::vector<Parameter> list_;
  Py_ssize_t required_ = 0;
};

}  // namespace tablora
