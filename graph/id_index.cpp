#include "graph/id_index.hpp"

#include <bit>

#include "graph/resident_memory.hpp"

namespace norvel {

void IdIndex::reserve(std::size_t count) {
  // Keep the load factor at or below one half.
  if (count * 2 > slots_.size()) grow(count * 2);
}

void IdIndex::grow(std::size_t min_capacity) {
  std::size_t capacity = std::bit_ceil(min_capacity < 16 ? std::size_t{16} : min_capacity);
  GraphArray<Slot> old = std::move(slots_);
  slots_ = GraphArray<Slot>();
  reserve_resident(slots_, capacity);
  slots_.assign(capacity, Slot{0, kAbsent});
  mask_ = capacity - 1;
  for (const Slot& slot : old) {
    if (slot.index == kAbsent) continue;
    std::size_t at = mix(slot.id) & mask_;
    while (slots_[at].index != kAbsent) at = (at + 1) & mask_;
    slots_[at] = slot;
  }
}

}  // namespace norvel
