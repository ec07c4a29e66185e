#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/quad_heap.hpp"

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
// a unit in the last place. The bits of a non-negative double, read as an
// unsigned integer, order like the double (-0.0 read as +0.0), so the
// pair's 128 bits, the first double high, order like the pair. An entry
// waits in the bucket of the highest bit where its pair differs from the
// last pair the buckets gave out (`last_`, every entry of bucket 0 has it);
// every entry of a bucket agrees with that pair above its bit, so the
// lowest non-empty bucket holds the least pairs, and once its least pair
// becomes `last_` its other entries fall to lower buckets. An entry moves
// down at most 128 times, a few in practice: over millions of labels that
// is far less memory traffic than sifting through a heap as large. An entry
// whose pair is below `last_` is below every entry of the buckets, and goes
// to the side heap, which is emptied first. Bucket 0 is kept as a heap by
// `Before` itself, since its entries tie on the pair. So the entries come
// out exactly in the order of pair then `Before`, whatever the buckets.
template <class Entry, class Before>
class FrontQueue {
 public:
  bool empty() const { return size_ == 0; }

  void push(const Entry& entry) {
    ++size_;
    const Key key = key_of(entry);
    if (less(key, last_)) {
      quad_heap_push(late_, entry, Before{});
      return;
    }
    put(entry, key);
  }

  // The first entry; the queue must not be empty.
  Entry pop() {
    --size_;
    if (!late_.empty()) return quad_heap_pop(late_, Before{});
    if (buckets_[0].empty()) refill();
    std::vector<Entry>& equal = buckets_[0];
    std::pop_heap(equal.begin(), equal.end(), after);
    const Entry first = equal.back();
    equal.pop_back();
    if (equal.empty()) filled_[0] &= ~std::uint64_t{1};
    return first;
  }

 private:
  struct Key {
    std::uint64_t high;
    std::uint64_t low;
  };
  static std::uint64_t bits(double cost) { return cost == 0.0 ? 0 : std::bit_cast<std::uint64_t>(cost); }
  static Key key_of(const Entry& entry) { return Key{bits(entry.key_distance), bits(entry.key_risk)}; }
  static bool less(const Key& a, const Key& b) { return a.high < b.high || (a.high == b.high && a.low < b.low); }
  // A max-heap by this is a min-heap by `Before`.
  static constexpr auto after = [](const Entry& x, const Entry& y) { return Before{}(y, x); };

  std::size_t bucket_of(const Key& key) const {
    if (key.high != last_.high) return 64 + static_cast<std::size_t>(std::bit_width(key.high ^ last_.high));
    return static_cast<std::size_t>(std::bit_width(key.low ^ last_.low));
  }

  void put(const Entry& entry, const Key& key) {
    const std::size_t at = bucket_of(key);
    buckets_[at].push_back(entry);
    if (at == 0) std::push_heap(buckets_[0].begin(), buckets_[0].end(), after);
    filled_[at / 64] |= std::uint64_t{1} << (at % 64);
  }

  // Moves the least pairs into bucket 0, which is empty.
  void refill() {
    std::size_t at = 0;
    for (std::size_t word = 0; word < filled_.size(); ++word) {
      if (filled_[word] != 0) {
        at = word * 64 + static_cast<std::size_t>(std::countr_zero(filled_[word]));
        break;
      }
    }
    filled_[at / 64] &= ~(std::uint64_t{1} << (at % 64));
    std::vector<Entry>& from = buckets_[at];
    Key least = key_of(from.front());
    for (const Entry& entry : from) {
      const Key key = key_of(entry);
      if (less(key, least)) least = key;
    }
    last_ = least;
    for (const Entry& entry : from) {
      const Key key = key_of(entry);
      const std::size_t to = bucket_of(key);
      buckets_[to].push_back(entry);
      filled_[to / 64] |= std::uint64_t{1} << (to % 64);
    }
    from.clear();
    std::make_heap(buckets_[0].begin(), buckets_[0].end(), after);
  }

  std::array<std::vector<Entry>, 129> buckets_;
  std::array<std::uint64_t, 3> filled_{};  // which buckets hold entries, bit by bit
  Key last_{0, 0};
  std::vector<Entry> late_;  // entries below `last_`, a 4-ary heap by `Before`
  std::size_t size_ = 0;
};

}  // namespace norvel
