#pragma once

#include <cstddef>
#include <vector>

#include "graph/pareto_front.hpp"
#include "graph/route_record.hpp"

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

// Whether another entry has the same least key as a chosen one, so that the
// choice rests on the order of the front.
bool choice_depends_on_order(const ParetoFront& solutions);

// Reduces a non-empty solution front to the shortest, safest and balanced
// routes, in that order, leaving out a route whose node path was already
// emitted.
std::vector<RouteRecord> select_routes(const ParetoFront& solutions);

}  // namespace norvel
