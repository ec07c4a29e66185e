#include "engine/signals.hpp"

namespace norvel::engine {

namespace {

unsigned long main_thread = 0;

}  // namespace

void remember_main_thread() {
  main_thread = nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
}

bool on_main_thread() { return PyThread_get_thread_ident() == main_thread; }

PyObject* SignalWatch::raised_now() {
  const auto now = std::chrono::steady_clock::now();
  if (now - checked_ < std::chrono::milliseconds(5)) return nullptr;
  checked_ = now;
  nb::gil_scoped_acquire locked;
  if (PyErr_CheckSignals() == 0) return nullptr;
  return PyErr_GetRaisedException();
}

}  // namespace norvel::engine
