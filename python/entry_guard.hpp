#pragma once

#include "python/py_failure.hpp"

#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace norvel::python {

inline constexpr std::string_view kUnknownFaultText =
    "norvel_core: internal fault of unknown kind (a non-standard C++ exception)";

// The PanicException class, created at first need (borrowed reference), or
// nullptr with the interpreter's error pending when it cannot be created.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(text) as the current exception; a text that is not
// valid UTF-8 is decoded with replacement characters rather than lost.
void raise_panic(std::string_view text) noexcept;
void raise_panic_with(PyObject* message) noexcept;

// Native memory is gone: nothing sensible can be reported to Python anymore.
[[noreturn]] void end_process_out_of_memory() noexcept;

// A fault inside a deallocator has no caller to report to: it goes to the
// interpreter's unraisable hook, leaving any pending exception in place.
void report_unraisable_fault(std::string_view text) noexcept;

// Runs the body of an entry point called by the interpreter. Failures the
// body returns as values become the Python exception they describe; no C++
// exception ever unwinds into the interpreter's frames.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  try {
    PyResult result = std::forward<Body>(body)();
    if (result) {
      return result->release();
    }
    raise_failure(std::move(result.error()));
  } catch (const std::bad_alloc&) {
    end_process_out_of_memory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic(kUnknownFaultText);
  }
  return nullptr;
}

template <class Body>
void dealloc_guard(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    end_process_out_of_memory();
  } catch (const std::exception& fault) {
    report_unraisable_fault(fault.what());
  } catch (...) {
    report_unraisable_fault(kUnknownFaultText);
  }
}

}  // namespace norvel::python
