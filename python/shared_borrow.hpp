#pragma once

#include "python/py_failure.hpp"

#include <atomic>
#include <cstdint>

namespace norvel::python {

// A shared read borrow of one object's value, plus a strong reference that
// keeps the object alive for as long as the borrow lasts. The counter is -1
// only under an exclusive borrow, which nothing in this module takes, so in
// practice a shared borrow always succeeds.
class SharedBorrow {
 public:
  static PyExpected<SharedBorrow> take(PyObject* object, std::atomic<std::int64_t>& borrow_count);

  SharedBorrow(SharedBorrow&& other) noexcept;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow();

  PyObject* object() const noexcept { return object_.get(); }

 private:
  SharedBorrow(OwnedRef object, std::atomic<std::int64_t>* borrow_count) noexcept
      : object_(std::move(object)), borrow_count_(borrow_count) {}

  OwnedRef object_;
  std::atomic<std::int64_t>* borrow_count_;
};

}  // namespace norvel::python
