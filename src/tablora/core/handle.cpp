// The database handle DB: registers a name, prepares the catalogue, hands out
// connections. Built as a plain class whose two methods are C functions that
// bind like Python functions (instancemethod), so inspect sees them as such;
// each receives the module as its `self`.
#include "core/handle.hpp"

#include "base/declaration.hpp"
#include "sql/catalogue.hpp"
#include "sql/driver.hpp"
#include "sql/text.hpp"

namespace tablora {

namespace {

// sqlite3.connect(address), through the module's own name for the driver.
Ref connect(PyObject* module, PyObject* address) {
  const State& st = state_of(module);
  Ref driver(PyObject_GetAttr(module, st.s_sqlite3.get()));
  if (!driver) return driver;
  return Ref(PyObject_CallMethodOneArg(driver.get(), st.s_connect.get(), address));
}

// Prints "DB <name> exists!" with the print resolved at import.
bool report_known(const State& st, PyObject* name) {
  Ref line = compose({"DB ", name, " exists!"});
  return line && Ref(PyObject_CallOneArg(st.print.get(), line.get()));
}

// Sends the journal-mode statement and prepares the catalogue on a connection
// of its own, then closes it.
bool set_up_database(PyObject* module, PyObject* address) {
  Ref setup_connection = connect(module, address);
  if (!setup_connection) return false;
  Call call(module, setup_connection.get());
  if (!call.open_cursor()) return false;
  return call.execute("PRAGMA journal_mode=JOURNAL;") && prepare_catalogue(call) &&
         Ref(PyObject_CallMethodNoArgs(setup_connection.get(), state_of(module).s_close.get()));
}

PyObject* db_init(PyObject* module, const Arguments<3>& args) {
  const auto [self, name, address] = args;
  const State& st = state_of(module);
  if (!st.alive()) return nullptr;

  Ref state_module(PyObject_GetAttr(module, st.s_tablora_state.get()));
  if (!state_module) return nullptr;
  Ref registry(PyObject_GetAttr(state_module.get(), st.s_db_dict.get()));
  if (!registry) return nullptr;
  const int known = PySequence_Contains(registry.get(), name);
  if (known < 0) return nullptr;
  if (known) return report_known(st, name) ? Py_NewRef(Py_None) : nullptr;
  if (PyObject_SetAttr(self, st.s_name.get(), name) < 0 ||
      PyObject_SetAttr(self, st.s_address.get(), address) < 0)
    return nullptr;
  if (PyObject_SetItem(registry.get(), name, self) < 0) return nullptr;
  if (!set_up_database(module, address)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* db_connection(PyObject* module, const Arguments<1>& args) {
  const auto [self] = args;
  const State& st = state_of(module);
  if (!st.alive()) return nullptr;
  Ref address(PyObject_GetAttr(self, st.s_address.get()));
  if (!address) return nullptr;
  return connect(module, address.get()).release();
}

const Declaration kMethods[] = {
    Declaration::method("DB", "__init__", {"self", "name", "address"}, db_init),
    Declaration::method("DB", "connection", {"self"}, db_connection),
};

}  // namespace

Ref make_db_class(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return Ref();
  Ref namespace_(PyDict_New());
  if (!namespace_) return Ref();
  Ref bases(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!bases) return Ref();
  Ref qualname(PyUnicode_FromString("DB"));
  if (!qualname ||
      PyDict_SetItemString(namespace_.get(), "__module__", name.get()) < 0 ||
      PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0)
    return Ref();
  Ref cls(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "OOO", qualname.get(),
                                bases.get(), namespace_.get()));
  if (!cls) return cls;
  for (PyMethodDef* def = method_table<kMethods>(); def->ml_name != nullptr; ++def) {
    Ref function(PyCFunction_NewEx(def, module, name.get()));
    if (!function) return Ref();
    Ref method(PyInstanceMethod_New(function.get()));
    if (!method || PyObject_SetAttrString(cls.get(), def->ml_name, method.get()) < 0)
      return Ref();
  }
  return cls;
}

}  // namespace tablora
