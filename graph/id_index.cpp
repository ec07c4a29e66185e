#include "graph/id_index.hpp"

#include <bit>

namespace norvel {

void IdIndex::reserve(std::size_t count) {
  // Keep the load factor at or below one half.
  if (count * 2 > slots_.size()) grow(count * 2);
}

void IdIndex::grow(std::size_t min_capacity) {
  std::size_t capacity = std::bit_ceil(min_capacity < 16 ? std::size_t{16} : min_capacity);
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, kAbsent});
  mask_ = capacity - 1;
  for (const Slot& slot : old) {
    if (slot.index == kAbsent) continue;
    std::size_t at = mix(slot.id) & mask_;
    while (slots_[at].index != kAbsent) at = (at + 1) & mask_;
    slots_[at] = slot;
  }
}

std::uint32_t IdIndex::find_or_insert(NodeId id, std::uint32_t next) {
  if ((size_ + 1) * 2 > slots_.size()) grow((size_ + 1) * 2);
  std::size_t at = mix(id) & mask_;
  while (slots_[at].index != kAbsent) {
    if (slots_[at].id == id) return slots_[at].index;
    at = (at + 1) & mask_;
  }
  slots_[at] = Slot{id, next};
  ++size_;
  return next;
}

std::uint32_t IdIndex::find(NodeId id) const {
  if (slots_.empty()) return kAbsent;
  std::size_t at = mix(id) & mask_;
  while (slots_[at].index != kAbsent) {
    if (slots_[at].id == id) return slots_[at].index;
    at = (at + 1) & mask_;
  }
  return kAbsent;
}

}  // namespace norvel
