// The database handle DB: registers a name, prepares the catalogue, hands out
// connections. Built as a plain class whose two methods are C functions that
// bind like Python functions (instancemethod), so inspect sees them as such.
#include "common.hpp"

namespace tablora {

namespace {

bool module_alive() {
  if (the_module() != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "the tablora module has been unloaded");
  return false;
}

Ref connect(PyObject* address) {
  State& st = state_of(the_module());
  Ref driver(PyObject_GetAttr(the_module(), st.s_sqlite3.get()));
  if (!driver) return driver;
  PyObject* argv[] = {driver.get(), address};
  return Ref(PyObject_VectorcallMethod(st.s_connect.get(), argv,
                                       2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyObject* db_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!parse_args({"DB.__init__", {"self", "name", "address"}, 3}, args, nargs, kwnames, a))
    return nullptr;
  if (!module_alive()) return nullptr;
  PyObject *self = a[0], *name = a[1], *address = a[2];
  State& st = state_of(the_module());

  Ref state_module(PyObject_GetAttr(the_module(), st.s_tablora_state.get()));
  if (!state_module) return nullptr;
  Ref registry(PyObject_GetAttr(state_module.get(), st.s_db_dict.get()));
  if (!registry) return nullptr;
  const int known = PySequence_Contains(registry.get(), name);
  if (known < 0) return nullptr;
  if (known) {
    Ref line = compose({"DB ", name, " exists!"});
    if (!line) return nullptr;
    PyObject* argv[] = {line.get()};
    Ref printed(PyObject_Vectorcall(st.print.get(), argv, 1, nullptr));
    if (!printed) return nullptr;
    Py_RETURN_NONE;
  }
  if (PyObject_SetAttr(self, st.s_name.get(), name) < 0 ||
      PyObject_SetAttr(self, st.s_address.get(), address) < 0)
    return nullptr;
  if (PyObject_SetItem(registry.get(), name, self) < 0) return nullptr;

  Ref prc = connect(address);
  if (!prc) return nullptr;
  Ref cursor = open_cursor(prc.get());
  if (!cursor) return nullptr;
  for (const char* sql : {"PRAGMA journal_mode=JOURNAL;", kCreateIndexTable, kCreateUniqueTable}) {
    Ref text = str(sql);
    if (!text || !execute(cursor.get(), text.get())) return nullptr;
  }
  PyObject* argv[] = {prc.get()};
  if (!Ref(PyObject_VectorcallMethod(st.s_commit.get(), argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr)) ||
      !Ref(PyObject_VectorcallMethod(st.s_close.get(), argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr)))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* db_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* self = nullptr;
  if (!parse_args({"DB.connection", {"self"}, 1}, args, nargs, kwnames, &self)) return nullptr;
  if (!module_alive()) return nullptr;
  Ref address(PyObject_GetAttr(self, state_of(the_module()).s_address.get()));
  if (!address) return nullptr;
  return connect(address.get()).release();
}

PyMethodDef init_def = {"__init__", as_method(db_init),
                        METH_FASTCALL | METH_KEYWORDS, "__init__(self, name, address)\n--\n\n"};
PyMethodDef connection_def = {"connection", as_method(db_connection),
                              METH_FASTCALL | METH_KEYWORDS, "connection(self)\n--\n\n"};

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
  for (PyMethodDef* def : {&init_def, &connection_def}) {
    Ref function(PyCFunction_NewEx(def, nullptr, name.get()));
    if (!function) return Ref();
    Ref method(PyInstanceMethod_New(function.get()));
    if (!method || PyObject_SetAttrString(cls.get(), def->ml_name, method.get()) < 0)
      return Ref();
  }
  return cls;
}

}  // namespace tablora
