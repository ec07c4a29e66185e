#pragma once

#include <cstdint>
#include <vector>

#include <bit>
#include <cstddef>
#include "graph/staircase.hpp"

namespace norvel {

// What one request keeps per node it touches, found through a hash of the
// dense index so that a request costs what it touches, never the graph's
// size.
struct Place {
  std::uint32_t dense;
  bool has_heuristic = false;
  bool on_path = false;      // on the path that a walk follows now
  double heuristic_m = 0.0;
  Staircase front;  // the labels the running label search recorded here
};

// Open addressing from a dense index to a place. Dense indices are small
// integers, so a multiplicative hash spreads them well enough, and 8-byte
// slots keep eight to a cache line.
class PlaceIndex {
 public:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;  // no dense index is this large

  // The place stored for `dense`, or `next` after storing it.
  std::uint32_t find_or_insert(std::uint32_t dense, std::uint32_t next) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    for (std::size_t at = slot_of(dense);; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.dense == dense) return slot.place;
      if (slot.dense == kEmpty) {
        slot = Slot{dense, next};
        ++size_;
        return next;
      }
    }
  }

 private:
  struct Slot {
    std::uint32_t dense;
    std::uint32_t place;
  };

  std::size_t slot_of(std::uint32_t dense) const {
    return static_cast<std::size_t>((std::uint64_t{dense} * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  void grow() {
    const std::size_t capacity = slots_.empty() ? 256 : slots_.size() * 2;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{kEmpty, 0});
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    for (const Slot& slot : old) {
      if (slot.dense == kEmpty) continue;
      std::size_t at = slot_of(slot.dense);
      while (slots_[at].dense != kEmpty) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

class Places {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::uint32_t place_of(std::uint32_t dense) {
    const auto next = static_cast<std::uint32_t>(places_.size());
    const std::uint32_t place = index_.find_or_insert(dense, next);
    if (place == next) {
      places_.emplace_back();
      places_.back().dense = dense;
    }
    return place;
  }
  // References stay valid only until the next new place.
  Place& operator[](std::uint32_t place) { return places_[place]; }
  const Place& operator[](std::uint32_t place) const { return places_[place]; }
  std::size_t size() const { return places_.size(); }

  void clear_fronts() {
    for (Place& place : places_) place.front.clear();
  }

 private:
  PlaceIndex index_;
  std::vector<Place> places_;
};

}  // namespace norvel
