#pragma once

#include <cstdint>
#include <vector>

#include "graph/road_graph.hpp"
#include "graph/search_places.hpp"

namespace norvel {

// What a backward search sums per edge: its distance, its risk, or a
// weighted sum of both. Each has its own slot in `Place`.
struct Objective {
  unsigned slot;
  double distance_weight;
  double risk_weight;

  double of(const IncomingEdge& edge) const { return distance_weight * edge.distance_m + risk_weight * edge.risk_score; }
};
inline constexpr Objective kDistance{0, 1.0, 0.0};
inline constexpr Objective kRisk{1, 0.0, 1.0};
inline Objective weighted(double distance_weight, double risk_weight) { return {2, distance_weight, risk_weight}; }

// The least cost of one objective still needed from a node to the target,
// found by a Dijkstra search backwards over the incoming edges that runs only
// as far as it is asked to. A node not yet settled is at least as far as the
// search's radius, the least cost on its heap; once the heap has run empty,
// an unsettled node cannot reach the target at all.
//
// Costs are summed in floating point in the backward direction, while a
// forward search sums the same edges the other way round; callers leave a
// margin for the difference (see `kBoundMargin` in the search).
// Precondition: the graph's costs are bounded below (`costs_bounded_below`).
class RemainingCost {
 public:
  RemainingCost(const RoadGraph& graph, Places& places, Objective objective, std::uint32_t target_place);

  double lower_bound(const Place& place) const {
    if (place.settled & bit_) return place.to_target[objective_.slot];
    return heap_.empty() ? kUnreachable : heap_.front().cost;
  }

  // Settles nodes until `place` is settled or the radius exceeds `enough`.
  void settle_until(std::uint32_t place, double enough) {
    while (!(places_[place].settled & bit_) && !heap_.empty() && heap_.front().cost <= enough) settle_next();
  }

  std::uint64_t settled_count() const { return settled_count_; }
  const Objective& objective() const { return objective_; }

  static constexpr double kUnreachable = __builtin_inf();

 private:
  struct Entry {
    double cost;
    std::uint32_t place;
  };

  void settle_next();

  const RoadGraph& graph_;
  Places& places_;
  const Objective objective_;
  const std::uint8_t bit_;
  std::vector<Entry> heap_;
  std::uint64_t settled_count_ = 0;
};

}  // namespace norvel
