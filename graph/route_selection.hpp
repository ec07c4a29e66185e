#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "graph/pareto_front.hpp"
#include "graph/route_record.hpp"
#include "graph/search_order.hpp"

namespace norvel {

inline constexpr double kWalkingSpeedMPerMin = 66.67;
inline constexpr double kComfortRiskFactor = -2.0;
inline constexpr double kNormalisationFloor = 1.0;

// Positions in the front of the shortest, the safest and the balanced
// solution, in that order (a position may repeat).
struct RouteChoice {
  std::size_t of_type[3];
};
RouteChoice choose_routes(const ParetoFront& solutions);
// The normalisers of the balanced score of a front.
struct BalanceWeights {
  double norm_distance;
  double norm_risk;
};
BalanceWeights balance_weights(const ParetoFront& solutions);
// The balanced choice's key: two divisions, then their sum.
inline double balance_score(const PathCosts& costs, const BalanceWeights& weights) {
  return costs.distance_m / weights.norm_distance + costs.risk / weights.norm_risk;
}

// The balanced choice among `items`: the first whose score is least in
// totalOrder, and whether a later one has that very score. Precondition:
// not empty.
struct BalancedChoice {
  std::size_t at;
  bool shared;
};
template <class Item, class CostsOf>
BalancedChoice choose_balanced(std::span<const Item> items, const BalanceWeights& weights, CostsOf costs_of) {
  BalancedChoice choice{0, false};
  std::uint64_t least = total_order_key(balance_score(costs_of(items[0]), weights));
  for (std::size_t i = 1; i < items.size(); ++i) {
    const std::uint64_t key = total_order_key(balance_score(costs_of(items[i]), weights));
    if (key < least) {
      choice = BalancedChoice{i, false};
      least = key;
    } else if (key == least) {
      choice.shared = true;
    }
  }
  return choice;
}

// Reduces a non-empty solution front to the shortest, safest and balanced
// routes, in that order, leaving out a route whose node path was already
// emitted.
std::vector<RouteRecord> select_routes(const ParetoFront& solutions);

// Every point of a solution front as a route, by distance ascending (then
// risk, both in totalOrder): of the entries with the very same distance and
// risk, the first in front order, the one `select_routes` would choose. A
// point is typed "shortest", "safest" or "balanced" where `select_routes`
// chooses it (the first of these that does), "front" otherwise.
std::vector<RouteRecord> front_routes(const ParetoFront& solutions);

// Every point of `points` (a front by distance ascending, one entry per
// point) as a route, in that order, typed as `front_routes` types it by the
// choices of `chosen`, a front of the same points whose chosen entries'
// paths are the searches' own (`PathsNeeded::chosen_routes`): a point that
// `select_routes` would choose from `chosen` is that entry of `chosen`,
// path and sums, every other point its entry in `points`.
std::vector<RouteRecord> front_routes(const ParetoFront& points, const ParetoFront& chosen);

// One entry of a front as a route of the given type (static text).
RouteRecord route_record(const FrontEntry& entry, std::string_view route_type);

}  // namespace norvel
