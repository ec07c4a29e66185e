#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/large_page_allocator.hpp"

namespace norvel {

// The buckets of a radix heap over pairs of non-negative doubles, popped in
// lexicographic order of the pair (first, then second).
//
// The bits of a non-negative double, read as an unsigned integer, order
// like the double itself (-0.0 is read as +0.0), so the pair's 128 bits,
// the first double high, order like the pair. An entry waits in the bucket
// of the highest bit where its pair differs from the last pair the buckets
// gave out (`last`, which every entry of bucket 0 has); every entry of a
// bucket agrees with that pair above its bit, so the lowest non-empty
// bucket holds the least pairs, and once its least pair becomes `last` its
// other entries fall to lower buckets. An entry moves down at most 128
// times, a few in practice: over millions of labels far less memory
// traffic than sifting through a heap as large. The queues built on these
// say which pairs they may be given.
struct RadixKey {
  std::uint64_t high;
  std::uint64_t low;
};

// Without its sign bit: -0.0 reads as +0.0, and every other non-negative
// double is unchanged (a mask rather than a test, on every key made).
inline std::uint64_t radix_bits(double cost) {
  return std::bit_cast<std::uint64_t>(cost) & ~(std::uint64_t{1} << 63);
}
inline RadixKey radix_key(double first, double second) { return RadixKey{radix_bits(first), radix_bits(second)}; }
inline bool radix_less(const RadixKey& a, const RadixKey& b) {
  return a.high < b.high || (a.high == b.high && a.low < b.low);
}

// `KeyOf` gives an entry's RadixKey.
template <class Entry, class KeyOf>
struct RadixBuckets {
  std::array<std::vector<Entry, LargePageAllocator<Entry>>, 129> buckets;
  std::array<std::uint64_t, 3> filled{};  // which buckets hold entries, bit by bit
  RadixKey last{0, 0};

  // The bucket of a pair at least `last`.
  std::size_t bucket_of(const RadixKey& key) const {
    if (key.high != last.high) return 64 + static_cast<std::size_t>(std::bit_width(key.high ^ last.high));
    return static_cast<std::size_t>(std::bit_width(key.low ^ last.low));
  }

  // Puts an entry of a pair at least `last` in its bucket; which one.
  std::size_t put(const Entry& entry, const RadixKey& key) {
    const std::size_t at = bucket_of(key);
    buckets[at].push_back(entry);
    filled[at / 64] |= std::uint64_t{1} << (at % 64);
    return at;
  }

  void emptied(std::size_t at) { filled[at / 64] &= ~(std::uint64_t{1} << (at % 64)); }

  // Moves the least pairs into bucket 0, which must be empty, with at least
  // one entry left in the others: `last` becomes the least pair.
  void refill() {
    std::size_t at = 0;
    for (std::size_t word = 0; word < filled.size(); ++word) {
      if (filled[word] != 0) {
        at = word * 64 + static_cast<std::size_t>(std::countr_zero(filled[word]));
        break;
      }
    }
    emptied(at);
    auto& from = buckets[at];
    RadixKey least = KeyOf{}(from.front());
    for (const Entry& entry : from) {
      const RadixKey key = KeyOf{}(entry);
      if (radix_less(key, least)) least = key;
    }
    last = least;
    for (const Entry& entry : from) put(entry, KeyOf{}(entry));
    from.clear();
  }
};

}  // namespace norvel
