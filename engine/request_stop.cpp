#include "engine/request_stop.hpp"

namespace norvel::engine {

namespace {

// The thread that runs Python's signal handlers.
unsigned long main_thread = 0;

}  // namespace

RequestStop::RequestStop(std::optional<double> timeout_s)
    : deadline_(RequestDeadline::after(timeout_s)),
      watch_signals_(PyThread_get_thread_ident() == main_thread),
      signals_checked_(std::chrono::steady_clock::now()) {}

RequestStop::~RequestStop() { Py_XDECREF(raised_); }

void RequestStop::note_main_thread(nb::module_& module) {
  main_thread = nb::cast<unsigned long>(module.import_("threading").attr("main_thread")().attr("ident"));
}

bool RequestStop::should_stop(void* context) {
  RequestStop& state = *static_cast<RequestStop*>(context);
  if (state.deadline_.passed()) {
    state.timed_out_ = true;
    return true;
  }
  if (!state.watch_signals_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - state.signals_checked_ < std::chrono::milliseconds(5)) return false;
  state.signals_checked_ = now;
  nb::gil_scoped_acquire locked;
  if (PyErr_CheckSignals() == 0) return false;
  state.raised_ = PyErr_GetRaisedException();
  return true;
}

void RequestStop::rethrow() {
  if (raised_ == nullptr) return;
  PyErr_SetRaisedException(raised_);
  raised_ = nullptr;
  throw nb::python_error();
}

}  // namespace norvel::engine
