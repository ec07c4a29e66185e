#include "python/py_failure.hpp"

#include <utility>

#include "python/entry_guard.hpp"

namespace norvel::python {

PyFailure fetch_pending_failure() {
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) {
    return panic_failure("an interpreter call failed without setting an exception");
  }
  return PyFailure{reinterpret_cast<PyObject*>(Py_TYPE(exception)), OwnedRef::steal(exception), {}};
}

PyFailure failure_with_text(PyObject* type, std::string text) {
  return PyFailure{type, OwnedRef(), std::move(text)};
}

PyFailure failure_with_message(PyObject* type, OwnedRef message) {
  return PyFailure{type, std::move(message), {}};
}

PyFailure panic_failure(std::string text) {
  return PyFailure{nullptr, OwnedRef(), std::move(text)};
}

PyResult api_result(PyObject* created) {
  if (created == nullptr) {
    PyErr_Print();
    return std::unexpected(panic_failure("Python API call failed"));
  }
  return OwnedRef::steal(created);
}

void raise_failure(PyFailure&& failure) noexcept {
  if (failure.type == nullptr) {
    if (failure.value) {
      raise_panic_with(failure.value.get());
    } else {
      raise_panic(failure.text);
    }
    return;
  }
  if (failure.value) {
    if (PyExceptionInstance_Check(failure.value.get())) {
      PyErr_SetRaisedException(failure.value.release());
    } else {
      PyErr_SetObject(failure.type, failure.value.get());
    }
    return;
  }
  OwnedRef message = OwnedRef::steal(
      PyUnicode_FromStringAndSize(failure.text.data(), static_cast<Py_ssize_t>(failure.text.size())));
  if (!message) {
    PyErr_Print();
    raise_panic("Python API call failed");
    return;
  }
  PyErr_SetObject(failure.type, message.get());
}

}  // namespace norvel::python
