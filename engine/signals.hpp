#pragma once

// Ctrl-C while the engine works without the interpreter lock: only the main
// thread runs Python's signal handlers, so only a call made on it looks.

#include <chrono>

#include <nanobind/nanobind.h>

namespace norvel::engine {

namespace nb = nanobind;

// Remembers the main thread; called once, when the module loads.
void remember_main_thread();

// Whether the calling thread is the main thread (the lock held or not).
bool on_main_thread();

// Runs the pending signal handlers at most every few milliseconds, taking
// the interpreter lock for that moment; what a handler raised, owned, or
// null. Call without the lock, on the main thread.
class SignalWatch {
 public:
  PyObject* raised_now();

 private:
  std::chrono::steady_clock::time_point checked_ = std::chrono::steady_clock::now();
};

}  // namespace norvel::engine
