// Owned references: Ref owns one strong reference, SavedError owns the
// raised exception while clean-up runs, for_each_item owns each item of an
// iteration while it is visited. Borrowed references stay plain pointers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tablora {

// Move-only owner of one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Holds the raised exception aside while clean-up statements run, then
// raises it again.
class SavedError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() : error_(PyErr_GetRaisedException()) {}
  void restore() { PyErr_SetRaisedException(error_.release()); }
#else
  SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  void restore() {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
  }
#endif
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
#if PY_VERSION_HEX < 0x030C0000
  ~SavedError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
#endif

 private:
#if PY_VERSION_HEX >= 0x030C0000
  Ref error_;
#else
  PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
#endif
};

// Calls visit(item) for every item of an iterable, in order, until visit
// returns false; false when iteration or a visit failed (error set).
template <class Visit>
bool for_each_item(PyObject* iterable, Visit&& visit) {
  Ref iterator(PyObject_GetIter(iterable));
  if (!iterator) return false;
  while (Ref item{PyIter_Next(iterator.get())})
    if (!visit(item.get())) return false;
  return !PyErr_Occurred();
}

}  // namespace tablora
