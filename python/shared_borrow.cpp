#include "python/shared_borrow.hpp"

#include <utility>

namespace norvel::python {

PyExpected<SharedBorrow> SharedBorrow::take(PyObject* object, std::atomic<std::int64_t>& borrow_count) {
  std::int64_t seen = borrow_count.load(std::memory_order_relaxed);
  do {
    if (seen == -1) {
      return std::unexpected(failure_with_text(PyExc_RuntimeError, "Already mutably borrowed"));
    }
  } while (!borrow_count.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
  return SharedBorrow(OwnedRef::new_reference(object), &borrow_count);
}

SharedBorrow::SharedBorrow(SharedBorrow&& other) noexcept
    : object_(std::move(other.object_)), borrow_count_(std::exchange(other.borrow_count_, nullptr)) {}

SharedBorrow::~SharedBorrow() {
  // The counter lives inside the object: release the borrow before the
  // reference whose drop may free it.
  if (borrow_count_ != nullptr) {
    borrow_count_->fetch_sub(1, std::memory_order_release);
  }
}

}  // namespace norvel::python
