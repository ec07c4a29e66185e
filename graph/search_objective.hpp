#pragma once

#include "graph/heuristic.hpp"

namespace norvel {

// Lower bounds on the costs still to go are summed backwards from the
// target, and a forward search sums the same edges the other way round and
// from another start, rounding at every step. Over a path of k edges with
// non-negative costs the forward sum is at least (x + H)(1 - u)^k / (1 + u)^k
// for a start x, a backward optimum H and u = 2^-53, which is more than
// (x + H)(1 - 2^-20) for every k below 2^32 (indices are 32-bit). Shrinking
// the rounded x + H by 2^-17 more than covers that and the two roundings of
// the bound itself, so a bound never exceeds what a forward sum can give.
inline constexpr double kBoundMargin = 1.0 - 0x1p-17;
// Likewise the forward sum along the path that gives H is at most
// H (1 + 2^-20), so H (1 + 2^-17) bounds the least forward sum from above.
inline constexpr double kUpperMargin = 1.0 + 0x1p-17;
// A weighted sum is rounded once more per product and per sum on top of the
// path's own sums: 2^-16 covers that with room to spare.
inline constexpr double kWeightedMargin = 1.0 - 0x1p-16;

// What a backward search sums per edge: its distance, its risk, or a
// weighted sum of both.
struct Objective {
  double distance_weight;
  double risk_weight;

  // Every weighted sum of the searches is this expression, evaluated as
  // written: the same weights give the same bits wherever it is computed.
  double of(double distance_m, double risk) const { return distance_weight * distance_m + risk_weight * risk; }
  bool operator==(const Objective&) const = default;
};
inline constexpr Objective kDistance{1.0, 0.0};
inline constexpr Objective kRisk{0.0, 1.0};
// The search's own weighing of distance and risk, familiarity aside: its
// products by 1 are exact, so it sums as distance + kRiskWeight * risk does.
inline constexpr Objective kPriorityWeighing{1.0, kRiskWeight};
inline Objective weighted(double distance_weight, double risk_weight) { return {distance_weight, risk_weight}; }

}  // namespace norvel
