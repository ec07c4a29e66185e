#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace norvel {

// A monotone priority queue on a pair of non-negative doubles, popped in
// lexicographic order (first, then second; entries of equal pairs by their
// `place`, the lowest first): a radix heap over the 128 bits of the pair.
//
// Why it fits. A label search that expands the label it pops adds
// non-negative costs, so each pair it pushes is at least the pair it popped
// last: the first cost only grows, and where it stays the same the second
// does not fall (rounding to nearest is monotone, x + c >= x for c >= 0).
// The bits of a non-negative double, read as an unsigned integer, order
// like the double itself (-0.0 is read as +0.0), so the pair's 128 bits,
// first cost high, order like the pair. An entry waits in the bucket of the
// highest bit where it differs from the last pair popped; every entry of a
// bucket agrees with that pair above its bit, so the lowest non-empty bucket
// holds the least entries, and once its least becomes the last pair popped
// its other entries fall to lower buckets. An entry moves at most 128
// times, in practice a few: against a binary heap's log n comparisons with
// cache misses over a large open list, a search of a million labels mostly
// appends to and scans short runs of memory.
template <class Entry>
class RadixQueue {
 public:
  // An entry's pair: its `distance_m` and its `risk`.
  static std::uint64_t bits(double cost) { return cost == 0.0 ? 0 : std::bit_cast<std::uint64_t>(cost); }

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  // `entry`'s pair must be at least the last one popped.
  void push(const Entry& entry) {
    put(entry);
    ++size_;
  }

  // The least entry; the queue must not be empty.
  Entry pop() {
    if (buckets_[0].empty()) refill();
    std::vector<Entry>& equal = buckets_[0];  // entries of the pair popped last
    std::size_t least = equal.size() - 1;
    for (std::size_t at = least; at-- > 0;) {
      if (equal[at].place < equal[least].place) least = at;
    }
    std::swap(equal[least], equal.back());
    const Entry top = equal.back();
    equal.pop_back();
    if (buckets_[0].empty()) filled_[0] &= ~std::uint64_t{1};
    --size_;
    return top;
  }

 private:
  struct Key {
    std::uint64_t high;
    std::uint64_t low;
  };
  static Key key_of(const Entry& entry) { return Key{bits(entry.distance_m), bits(entry.risk)}; }
  static bool less(const Key& a, const Key& b) { return a.high < b.high || (a.high == b.high && a.low < b.low); }

  std::size_t bucket_of(const Key& key) const {
    if (key.high != last_.high) return 64 + static_cast<std::size_t>(std::bit_width(key.high ^ last_.high));
    return static_cast<std::size_t>(std::bit_width(key.low ^ last_.low));
  }

  void put(const Entry& entry) {
    const std::size_t at = bucket_of(key_of(entry));
    buckets_[at].push_back(entry);
    filled_[at / 64] |= std::uint64_t{1} << (at % 64);
  }

  // Moves the least entries into bucket 0 (which is empty).
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
    for (const Entry& entry : from) put(entry);
    from.clear();
  }

  std::array<std::vector<Entry>, 129> buckets_;
  std::array<std::uint64_t, 3> filled_{};  // which buckets hold entries, bit by bit
  Key last_{0, 0};
  std::size_t size_ = 0;
};

}  // namespace norvel
