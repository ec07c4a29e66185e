#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/quad_heap.hpp"
#include "graph/search_order.hpp"

namespace norvel {

// A 4-ary min-heap (`quad_heap.hpp`) of small entries (the priority key
// and a slot) over a pool of labels, for a search that does not depend on
// how the heap orders exactly tied labels. Moving 16 bytes per level of a
// shallower heap costs far less memory traffic than moving whole labels
// down a binary one.
// `Label` has `priority` (a priority_key), `distance_m` and `risk`.
template <class Label>
class PooledHeap {
 public:
  bool empty() const { return heap_.empty(); }

  void push(const Label& label) {
    std::uint32_t slot;
    if (free_.empty()) {
      slot = static_cast<std::uint32_t>(pool_.size());
      pool_.push_back(label);
    } else {
      slot = free_.back();
      free_.pop_back();
      pool_[slot] = label;
    }
    quad_heap_push(heap_, Entry{label.priority, slot}, order());
  }

  // Precondition: not empty.
  Label pop() {
    const std::uint32_t slot = quad_heap_pop(heap_, order()).slot;
    free_.push_back(slot);
    return pool_[slot];
  }

  // Calls `visit(label)` for the labels tied with `label` (same priority,
  // distance and risk), which sit in a subtree at the top of the heap, until
  // one call returns false. Returns whether every call returned true.
  template <class Visit>
  bool all_tied(const Label& label, Visit visit) {
    auto tied_at = [&](std::size_t at) { return !before(label, at) && !after(label, at); };
    if (heap_.empty() || !tied_at(0)) return true;
    stack_.assign(1, 0);
    while (!stack_.empty()) {
      const std::size_t at = stack_.back();
      stack_.pop_back();
      if (!visit(pool_[heap_[at].slot])) return false;
      for (std::size_t child = 4 * at + 1; child <= 4 * at + 4 && child < heap_.size(); ++child) {
        if (tied_at(child)) stack_.push_back(child);
      }
    }
    return true;
  }

 private:
  struct Entry {
    std::uint64_t priority;
    std::uint32_t slot;
  };

  bool less(const Entry& x, const Entry& y) const {
    if (x.priority != y.priority) return x.priority < y.priority;
    const Label& a = pool_[x.slot];
    const Label& b = pool_[y.slot];
    return comes_before(x.priority, a.distance_m, a.risk, y.priority, b.distance_m, b.risk);
  }
  bool before(const Label& label, std::size_t at) const {
    const Label& other = pool_[heap_[at].slot];
    return comes_before(label.priority, label.distance_m, label.risk, other.priority, other.distance_m, other.risk);
  }
  bool after(const Label& label, std::size_t at) const {
    const Label& other = pool_[heap_[at].slot];
    return comes_before(other.priority, other.distance_m, other.risk, label.priority, label.distance_m, label.risk);
  }

  auto order() const {
    return [this](const Entry& x, const Entry& y) { return less(x, y); };
  }

  std::vector<Entry> heap_;
  std::vector<Label> pool_;
  std::vector<std::uint32_t> free_;
  std::vector<std::size_t> stack_;
};

}  // namespace norvel
