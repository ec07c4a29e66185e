#pragma once

#include "python/python_api.hpp"

#include <expected>
#include <string>

namespace norvel::python {

// A Python exception that has not been raised yet. The layer below the entry
// points passes failures around as values; only the entry guard turns one
// into the interpreter's current exception.
struct PyFailure {
  PyObject* type = nullptr;  // exception class; nullptr stands for PanicException
  OwnedRef value;            // a ready exception instance, or the message as a str
  std::string text;          // UTF-8 message, used when `value` is empty
};

template <class T>
using PyExpected = std::expected<T, PyFailure>;
using PyResult = PyExpected<OwnedRef>;

// Takes the exception the interpreter has pending.
PyFailure fetch_pending_failure();
PyFailure failure_with_text(PyObject* type, std::string text);
PyFailure failure_with_message(PyObject* type, OwnedRef message);
PyFailure panic_failure(std::string text);

// Wraps an object the interpreter was asked to create for a result: a NULL
// there can only mean the interpreter itself is failing, which is reported
// as an internal fault after printing what the interpreter said.
PyResult api_result(PyObject* created);

// Makes the failure the interpreter's current exception.
void raise_failure(PyFailure&& failure) noexcept;

}  // namespace norvel::python
