#pragma once

// Python.h must come before any standard header (it may set feature macros).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace norvel::python {

// One strong reference to a Python object, dropped when the handle goes.
// Every object the module creates or takes travels in one of these, so that
// no return path, errors included, can forget a decrement or do it twice.
class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  static OwnedRef new_reference(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = object_;
      object_ = other.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace norvel::python
