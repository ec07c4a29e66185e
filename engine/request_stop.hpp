#pragma once

#include <optional>

#include "engine/bindings.hpp"
#include "engine/request_deadline.hpp"
#include "engine/signals.hpp"
#include "graph/stop_poll.hpp"

namespace norvel::engine {

// Why a request should stop, asked by the search's poll on the thread that
// runs it, without the interpreter lock: its time limit, and on the main
// thread Ctrl-C too (see SignalWatch).
class RequestStop {
 public:
  explicit RequestStop(std::optional<double> timeout_s);
  RequestStop(const RequestStop&) = delete;
  RequestStop& operator=(const RequestStop&) = delete;
  ~RequestStop();

  // The poll to hand the search; valid while this object lives.
  StopPoll poll() { return StopPoll{.hook = &should_stop, .context = this}; }
  // Raises what a signal handler raised, if one did; call with the lock
  // held, after the search.
  void rethrow();

 private:
  static bool should_stop(void* context);

  RequestDeadline deadline_;
  std::optional<SignalWatch> signals_;
  PyObject* raised_ = nullptr;  // owned
};

}  // namespace norvel::engine
