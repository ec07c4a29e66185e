#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "graph/quad_heap.hpp"
#include "graph/radix_buckets.hpp"

namespace norvel {

// The front search's open list: entries by a pair of non-negative doubles
// (`key_distance`, then `key_risk`), entries of an equal pair by `Before`,
// a strict total order that agrees with the pair. A radix heap over the 128
// bits of the pair, with a heap on the side for the few entries that come
// in below the pair last taken.
//
// Why it fits. A label search pushes the extensions of the label it has
// just taken, and with keys of sums plus exact costs to go an extension's
// key is at least its parent's, but for rounding: the costs to go were
// summed the other way round, so a key may come out below its parent's by
// a unit in the last place. The buckets (radix_buckets.hpp) take pairs at
// least the last one they gave out (`last`); an entry whose pair is below
// it is below every entry of the buckets, and goes to the side heap, which
// is emptied first. Bucket 0 is kept as a heap by `Before` itself, since
// its entries tie on the pair. So the entries come out exactly in the order
// of pair then `Before`, whatever the buckets.
template <class Entry, class Before>
class FrontQueue {
 public:
  bool empty() const { return size_ == 0; }

  void push(const Entry& entry) {
    ++size_;
    const RadixKey key = KeyOf{}(entry);
    if (radix_less(key, buckets_.last)) {
      quad_heap_push(late_, entry, Before{});
      return;
    }
    if (buckets_.put(entry, key) == 0) std::push_heap(buckets_.buckets[0].begin(), buckets_.buckets[0].end(), after);
  }

  // The first entry; the queue must not be empty.
  Entry pop() {
    --size_;
    if (!late_.empty()) return quad_heap_pop(late_, Before{});
    auto& equal = buckets_.buckets[0];
    if (equal.empty()) {
      buckets_.refill();
      std::make_heap(equal.begin(), equal.end(), after);
    }
    std::pop_heap(equal.begin(), equal.end(), after);
    const Entry first = equal.back();
    equal.pop_back();
    if (equal.empty()) buckets_.emptied(0);
    return first;
  }

 private:
  struct KeyOf {
    RadixKey operator()(const Entry& entry) const { return radix_key(entry.key_distance, entry.key_risk); }
  };
  // A max-heap by this is a min-heap by `Before`.
  static constexpr auto after = [](const Entry& x, const Entry& y) { return Before{}(y, x); };

  RadixBuckets<Entry, KeyOf> buckets_;
  std::vector<Entry> late_;  // entries below the buckets' last pair, a 4-ary heap by `Before`
  std::size_t size_ = 0;
};

}  // namespace norvel
