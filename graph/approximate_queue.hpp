#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "graph/search_order.hpp"

namespace norvel {

// The queue of the approximate search (graph/approximate_routes.cpp): labels
// by a lower bound of the priority at the target of every path they lead to,
// and paths that have reached the target by their exact priority.

// The key of a label is a lower bound of the priority at the target of every
// path it leads to: the weighted bound's margin and the two roundings of the
// priority are covered by 2^-15.
inline constexpr double kKeyMargin = 1.0 - 0x1p-15;

// A label on the queue, or a path that has reached the target (its key is
// then its exact priority).
struct Queued {
  double key;
  double distance_m;
  double risk;
  std::uint32_t parent;  // recorded label it extends
  std::uint32_t place;
  bool arrived;
  std::uint32_t steps;  // the kept points when its key was taken; kRetest after a new key
};
inline constexpr std::uint32_t kRetest = UINT32_MAX;

// Heap order: the least key first; on equal keys a label before an arrival,
// so that an arrival is taken only when every label left has a greater key,
// and arrivals in the search order. A lambda rather than a function, so
// that the heap algorithms inline it.
inline constexpr auto later = [](const Queued& x, const Queued& y) {
  if (x.key != y.key) return x.key > y.key;
  if (x.arrived != y.arrived) return x.arrived;
  // Arrivals of one key, which is their priority: the search order.
  return x.arrived && comes_before(0, y.distance_m, y.risk, 0, x.distance_m, x.risk);
};

// The keys taken never fall: the level is the greatest taken so far.
//
// Nearly half the labels queued on long requests have the very key last
// taken: they skip the heap. The heap is taken from only once the stack is
// empty, so all that waits then has a key at least the one taken; a label's
// children get keys at least their parent's, and a label queued again gets
// one above the next key; a path at the target below the level is covered
// (every point of the front below the level is kept by then) and is never
// queued. So a label whose key is the level comes next in any case, and
// labels of equal keys may be taken in any order, all before a path at the
// target of that key.
//
// A push and a take come with every label: both are forced inline into the
// search loop, where they were before the queue was a class of its own.
class KeyQueue {
 public:
  [[gnu::always_inline]] void push(const Queued& item) {
    ++pushed_;
    if (!item.arrived && item.key <= level_) {
      ready_.push_back(item);
      return;
    }
    heap_.push_back(item);
    std::push_heap(heap_.begin(), heap_.end(), later);
  }

  bool empty() const { return ready_.empty() && heap_.empty(); }

  // Takes the next item and raises the level to its key. Precondition: not
  // empty.
  [[gnu::always_inline]] Queued take() {
    ++popped_;
    Queued item;
    if (!ready_.empty()) {
      item = ready_.back();
      ready_.pop_back();
    } else {
      std::pop_heap(heap_.begin(), heap_.end(), later);
      item = heap_.back();
      heap_.pop_back();
    }
    level_ = std::max(level_, item.key);
    return item;
  }

  // The key of the item that comes next. Precondition: not empty.
  double next_key() const { return ready_.empty() ? heap_.front().key : level_; }

  // The greatest key taken so far: no point still to be found has a
  // priority below it.
  double level() const { return level_; }
  std::uint64_t pushed() const { return pushed_; }
  std::uint64_t popped() const { return popped_; }

 private:
  std::vector<Queued> heap_;
  std::vector<Queued> ready_;  // labels whose key is the level
  double level_ = 0.0;
  std::uint64_t pushed_ = 0;
  std::uint64_t popped_ = 0;
};

}  // namespace norvel
