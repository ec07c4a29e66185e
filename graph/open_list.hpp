#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace norvel {

// A double mapped to an unsigned key whose integer order is the IEEE 754
// totalOrder (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN).
inline std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Priorities compare as ordinary numbers (so -0.0 equals +0.0) except that
// every NaN is equal to every other NaN and after all numbers.
inline std::uint64_t priority_key(double priority) {
  if (std::isnan(priority)) return UINT64_MAX;
  if (priority == 0.0) return total_order_key(0.0);
  return total_order_key(priority);
}

// A label's place in the open list: the search order is the lexicographic
// order of (priority, distance, risk); `label` locates the label itself.
struct OpenKey {
  std::uint64_t priority;
  std::uint64_t distance;
  std::uint64_t risk;
  std::uint32_t label;
};

inline OpenKey make_open_key(double priority, double distance_m, double risk, std::uint32_t label) {
  return OpenKey{priority_key(priority), total_order_key(distance_m), total_order_key(risk), label};
}

inline bool comes_before(const OpenKey& x, const OpenKey& y) {
  if (x.priority != y.priority) return x.priority < y.priority;
  if (x.distance != y.distance) return x.distance < y.distance;
  return x.risk < y.risk;
}

// Binary heap with children of slot i at 2i+1 and 2i+2. Tied labels leave in
// an order fixed by exactly these moves, so they must not be "improved".
inline void sift_up(std::vector<OpenKey>& heap, std::size_t hole, OpenKey moving) {
  while (hole > 0) {
    std::size_t parent = (hole - 1) / 2;
    if (!comes_before(moving, heap[parent])) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = moving;
}

inline void open_list_push(std::vector<OpenKey>& heap, OpenKey key) {
  heap.push_back(key);
  sift_up(heap, heap.size() - 1, key);
}

// Precondition: the heap is not empty.
inline OpenKey open_list_pop(std::vector<OpenKey>& heap) {
  OpenKey last = heap.back();
  heap.pop_back();
  if (heap.empty()) return last;
  OpenKey first = heap[0];
  const std::size_t length = heap.size();
  std::size_t hole = 0;
  std::size_t child = 1;
  // Walk the hole down to a leaf, always taking the right child unless the
  // left one comes strictly first; then let the old last element rise.
  while (child + 1 < length) {
    if (!comes_before(heap[child], heap[child + 1])) ++child;
    heap[hole] = heap[child];
    hole = child;
    child = 2 * hole + 1;
  }
  if (child == length - 1) {
    heap[hole] = heap[child];
    hole = child;
  }
  sift_up(heap, hole, last);
  return first;
}

}  // namespace norvel
