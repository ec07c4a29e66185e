#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "graph/node_id.hpp"

namespace norvel {

// Open-addressing map from NodeId to a dense 32-bit index. Built once while a
// graph is assembled, then only probed, so it never needs deletion.
class IdIndex {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  // Returns the index stored for `id`, inserting `next` when absent.
  std::uint32_t find_or_insert(NodeId id, std::uint32_t next);
  std::uint32_t find(NodeId id) const;
  std::size_t size() const { return size_; }
  void reserve(std::size_t count);

 private:
  struct Slot {
    NodeId id;
    std::uint32_t index;  // kAbsent marks an empty slot
  };

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

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace norvel
