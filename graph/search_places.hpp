#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "graph/id_index.hpp"
#include "graph/staircase.hpp"

namespace norvel {

// What one search keeps per node it touches, found through a hash of the
// dense index so that a request costs what it touches, never the graph's
// size.
struct Place {
  std::uint32_t dense;
  bool has_heuristic = false;
  std::uint8_t settled = 0;  // one bit per objective of the backward searches
  bool on_path = false;      // on the path that a path count walks now
  double heuristic_m = 0.0;
  // Per objective: the cost to the target once settled, before that the
  // best found so far by the backward search.
  double to_target[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::infinity()};
  Staircase front;  // the labels recorded here
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
  // kNone when the search has not touched the node.
  std::uint32_t find(std::uint32_t dense) const {
    const std::uint32_t place = index_.find(dense);
    return place == IdIndex::kAbsent ? kNone : place;
  }

  // References stay valid only until the next new place.
  Place& operator[](std::uint32_t place) { return places_[place]; }
  const Place& operator[](std::uint32_t place) const { return places_[place]; }
  std::size_t size() const { return places_.size(); }

 private:
  IdIndex index_;
  std::vector<Place> places_;
};

}  // namespace norvel
