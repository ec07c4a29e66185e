#include "graph/approximate_checks.hpp"

#include <cmath>
#include <limits>
#include <span>

#include "graph/approximate_queue.hpp"
#include "graph/heuristic.hpp"
#include "graph/path_walk.hpp"
#include "graph/search_order.hpp"
#include "graph/search_places.hpp"

namespace norvel {

// Sums only grow along the path, so comparing priorities is enough.
bool OutcomeChecks::arrives_in_order(const LabelArena& labels, std::uint32_t parent, const PathCosts& costs) {
  const std::uint64_t at_target = priority_key(label_priority(costs.distance_m, costs.risk, 0.0, 0.0));
  for (std::uint32_t at = parent; at != kNoParent && labels[at].parent != kNoParent; at = labels[at].parent) {
    const RecordedLabel& label = labels[at];
    const double priority = label_priority(label.distance_m, label.risk, 0.0, ws_.heuristic_of(label.place));
    if (priority_key(priority) > at_target) return false;
  }
  return true;
}

// The search's solution for the point is a path without a repeated node, so
// where it is the only one, it is the one found here.
//
// A prefix goes on only where the bounds allow it to end at the point, and
// where no label recorded at its node is better by more than rounding can
// make up for: a path of fewer than 2^32 edges, each sum at most the
// point's, loses less than 2^-20 of the point's cost to rounding, so such a
// label's continuation would end strictly below the point in that cost and
// no higher in the other, and no path's point strictly dominates a kept
// point (see the top of graph/approximate_routes.cpp).
bool OutcomeChecks::only_path(const PathCosts& point) {
  int paths = 0;
  const double distance_gap = point.distance_m * 0x1p-18;
  const double risk_gap = point.risk * 0x1p-18;
  // Strictly below, so that a label of the very same costs is no reason.
  auto below = [](double value) { return std::nextafter(value, -std::numeric_limits<double>::infinity()); };
  const double point_weighted = kPriorityWeighing.of(point.distance_m, point.risk);
  Places& places = ws_.places;
  RemainingCost& distance_to_go = ws_.distance_to_go;
  RemainingCost& risk_to_go = ws_.risk_to_go;
  // The tests that settle nothing come first. The search by distance is
  // not grown at all: the label search took it as far as its boxes need,
  // and past that the other bounds and the fronts prune the walk as well,
  // while settling it out to the safest entry's detour would cost more
  // than the whole walk.
  auto keep = [&](std::uint32_t place, const PathCosts& costs) {
    if ((kPriorityWeighing.of(costs.distance_m, costs.risk) + weighted_to_go_.lower_bound(place)) * kKeyMargin >
            point_weighted ||
        (costs.distance_m + distance_to_go.lower_bound(place)) * kBoundMargin > point.distance_m) {
      return false;
    }
    const Place& at = places[place];
    if (at.front.covers(below(costs.distance_m - distance_gap), costs.risk) ||
        at.front.covers(costs.distance_m, below(costs.risk - risk_gap))) {
      return false;
    }
    risk_to_go.settle_until(place, point.risk - costs.risk);
    if ((costs.risk + risk_to_go.lower_bound(place)) * kBoundMargin > point.risk) return false;
    for (Cut* cut : {&cuts_.shorter(), &cuts_.safer()}) {
      if (!cut->to_go) continue;
      const Objective& weights = cut->to_go->objective();
      const double so_far = weights.of(costs.distance_m, costs.risk);
      const double at_point = weights.of(point.distance_m, point.risk);
      cut->to_go->settle_until(place, at_point - so_far);
      if ((so_far + cut->to_go->lower_bound(place)) * kWeightedMargin > at_point) return false;
    }
    return true;
  };
  auto reach = [&](const PathCosts& costs, std::span<const std::uint32_t>) {
    if (costs.distance_m == point.distance_m && costs.risk == point.risk) ++paths;
  };
  if (!walk_paths(ws_.graph, ws_.risk, places, ws_.source_place, ws_.target_dense, walk_budget_, ws_.stop, keep, reach)) {
    return false;
  }
  return paths == 1;
}

}  // namespace norvel
