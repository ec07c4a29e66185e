#pragma once

#include "python/python_api.hpp"

#include <atomic>

namespace norvel::python {

// A process-wide slot filled at most once with a strong reference that is
// never given back (module, class objects, interned names). Values are built
// under the interpreter lock; should two builders ever race, the first value
// stored wins and the loser's object is released, so every caller sees one.
class ObjectCell {
 public:
  PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

  // Stores `candidate` unless the cell is already filled; returns the kept
  // value as a borrowed reference.
  PyObject* keep_first(OwnedRef candidate) noexcept {
    PyObject* expected = nullptr;
    if (value_.compare_exchange_strong(expected, candidate.get(), std::memory_order_acq_rel)) {
      return candidate.release();
    }
    return expected;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace norvel::python
