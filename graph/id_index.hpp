#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/graph_array.hpp"

#include "graph/node_id.hpp"

namespace norvel {

// Open-addressing map from NodeId to a dense 32-bit index. Built once while a
// graph is assembled, then only probed, so it never needs deletion. Its one
// table is flat, so a snapshot file holds it as it is and a mapped graph
// probes the file's pages (`from_slots`).
class IdIndex {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  struct Slot {
    NodeId id;
    std::uint32_t index;  // kAbsent marks an empty slot
  };

  // A table as `slots()` gave it: a power of two of slots, `size` of them
  // taken and at least one empty (the caller has checked all three, and
  // that every taken slot's index is a dense index).
  static IdIndex from_slots(GraphArray<Slot> slots, std::size_t size) {
    IdIndex index;
    index.mask_ = slots.empty() ? 0 : slots.size() - 1;
    index.slots_ = std::move(slots);
    index.size_ = size;
    return index;
  }
  std::span<const Slot> slots() const { return slots_.span(); }

  // Returns the index stored for `id`, inserting `next` when absent.
  std::uint32_t find_or_insert(NodeId id, std::uint32_t next) { return find_or_insert(id, hash(id), next); }

  // The same with `hash(id)` already at hand, as a bulk build has it from
  // prefetching: the hash is computed once per lookup.
  std::uint32_t find_or_insert(NodeId id, std::uint64_t id_hash, std::uint32_t next) {
    if ((size_ + 1) * 2 > slots_.size()) grow((size_ + 1) * 2);
    std::size_t at = id_hash & mask_;
    while (slots_[at].index != kAbsent) {
      if (slots_[at].id == id) return slots_[at].index;
      at = (at + 1) & mask_;
    }
    slots_[at] = Slot{id, next};
    ++size_;
    return next;
  }

  std::uint32_t find(NodeId id) const {
    if (slots_.empty()) return kAbsent;
    std::size_t at = mix(id) & mask_;
    while (slots_[at].index != kAbsent) {
      if (slots_[at].id == id) return slots_[at].index;
      at = (at + 1) & mask_;
    }
    return kAbsent;
  }

  static std::uint64_t hash(NodeId id) { return mix(id); }

  // A hint that the id of `id_hash` is looked up soon: a bulk build issues
  // it some lookups ahead, so that many cache misses on the table are in
  // flight at once instead of one after the other.
  void prefetch(std::uint64_t id_hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[id_hash & mask_]);
  }

  std::size_t size() const { return size_; }
  void reserve(std::size_t count);

 private:
  static std::uint64_t mix(NodeId id) {
    // Murmur3 finaliser: OSM ids are dense runs, so spread them over the table.
    id ^= id >> 33;
    id *= 0xff51afd7ed558ccdULL;
    id ^= id >> 33;
    id *= 0xc4ceb9fe1a85ec53ULL;
    id ^= id >> 33;
    return id;
  }
  void grow(std::size_t min_capacity);

  GraphArray<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace norvel
