#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "graph/radix_buckets.hpp"

namespace norvel {

// A monotone priority queue on a pair of non-negative doubles, popped in
// lexicographic order (first, then second; entries of equal pairs by their
// `place`, the lowest first): a radix heap over the 128 bits of the pair
// (radix_buckets.hpp).
//
// Why it fits. A label search that expands the label it pops adds
// non-negative costs, so each pair it pushes is at least the pair it popped
// last: the first cost only grows, and where it stays the same the second
// does not fall (rounding to nearest is monotone, x + c >= x for c >= 0).
// So every pair pushed is at least the buckets' last pair, as they need:
// against a binary heap's log n comparisons with cache misses over a large
// open list, a search of a million labels mostly appends to and scans short
// runs of memory.
template <class Entry>
class RadixQueue {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  // `entry`'s pair must be at least the last one popped.
  void push(const Entry& entry) {
    buckets_.put(entry, KeyOf{}(entry));
    ++size_;
  }

  // The least entry; the queue must not be empty.
  Entry pop() {
    if (buckets_.buckets[0].empty()) buckets_.refill();
    auto& equal = buckets_.buckets[0];  // entries of the pair popped last
    std::size_t least = equal.size() - 1;
    for (std::size_t at = least; at-- > 0;) {
      if (equal[at].place < equal[least].place) least = at;
    }
    std::swap(equal[least], equal.back());
    const Entry top = equal.back();
    equal.pop_back();
    if (equal.empty()) buckets_.emptied(0);
    --size_;
    return top;
  }

 private:
  // An entry's pair: its `distance_m` and its `risk`.
  struct KeyOf {
    RadixKey operator()(const Entry& entry) const { return radix_key(entry.distance_m, entry.risk); }
  };

  RadixBuckets<Entry, KeyOf> buckets_;
  std::size_t size_ = 0;
};

}  // namespace norvel
