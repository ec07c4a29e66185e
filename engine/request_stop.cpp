#include "engine/request_stop.hpp"

namespace norvel::engine {

RequestStop::RequestStop(std::optional<double> timeout_s) : deadline_(RequestDeadline::after(timeout_s)) {
  if (on_main_thread()) signals_.emplace();
}

RequestStop::~RequestStop() { Py_XDECREF(raised_); }

bool RequestStop::should_stop(void* context) {
  RequestStop& state = *static_cast<RequestStop*>(context);
  if (state.deadline_.passed()) return true;
  if (state.signals_) state.raised_ = state.signals_->raised_now();
  return state.raised_ != nullptr;
}

void RequestStop::rethrow() {
  if (raised_ == nullptr) return;
  PyErr_SetRaisedException(raised_);
  raised_ = nullptr;
  throw nb::python_error();
}

}  // namespace norvel::engine
