#include "python/entry_guard.hpp"

#include <cstdio>
#include <cstdlib>

#include "python/object_cell.hpp"

namespace norvel::python {
namespace {

ObjectCell panic_exception_cell;

constexpr const char* kPanicExceptionDoc =
    "Raised when the native code of norvel_core panics: an internal invariant "
    "broke, which is a bug in the module, never a fault of the caller.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so "
    "that handlers catching Exception let it through: it will typically "
    "propagate all the way up the stack and make the interpreter exit.";

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (PyObject* existing = panic_exception_cell.get()) {
    return existing;
  }
  OwnedRef created = OwnedRef::steal(PyErr_NewExceptionWithDoc(
      "norvel_core.PanicException", kPanicExceptionDoc, PyExc_BaseException, nullptr));
  if (!created) {
    return nullptr;
  }
  return panic_exception_cell.keep_first(std::move(created));
}

void raise_panic_with(PyObject* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type != nullptr) {
    PyErr_SetObject(type, message);
  }
}

void raise_panic(std::string_view text) noexcept {
  OwnedRef message = OwnedRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) {
    raise_panic_with(message.get());
  }
}

void end_process_out_of_memory() noexcept {
  std::fputs("norvel_core: native memory exhausted, aborting\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void report_unraisable_fault(std::string_view text) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  raise_panic(text);
  PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(pending);
}

}  // namespace norvel::python
