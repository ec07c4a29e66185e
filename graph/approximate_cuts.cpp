#include "graph/approximate_cuts.hpp"

#include <cmath>
#include <optional>

#include "graph/heuristic.hpp"
#include "graph/search_places.hpp"

namespace norvel {

void BoxCuts::set_up(const KeptStaircase& staircase) {
  const int rounds = set_up_++ == 0 ? 0 : kHullRounds;
  const RoadGraph& graph = ws_.graph;
  // A box that even the least path by its own cost misses is empty.
  const KeptStaircase::Step& leftmost = staircase.shortest();
  std::optional<PathCosts> shortest =
      follow_least_path(graph, ws_.places, ws_.distance_to_go, ws_.source_place, ws_.target_dense);
  if (shortest && shortest->distance_m < leftmost.alpha) {
    const double slope = hull_slope(*shortest, {leftmost.distance_m, leftmost.risk, 0.0}, leftmost.alpha, true, rounds);
    set_cut(shorter_, slope, Objective{1.0 + slope, kRiskWeight});
  }
  const KeptStaircase::Step& rightmost = staircase.safest();
  std::optional<PathCosts> safest =
      follow_least_path(graph, ws_.places, ws_.risk_to_go, ws_.source_place, ws_.target_dense);
  if (safest && safest->risk < rightmost.beta) {
    const double slope =
        hull_slope(*safest, {rightmost.distance_m, rightmost.risk, 0.0}, rightmost.beta, false, rounds);
    set_cut(safer_, slope, Objective{1.0, kRiskWeight + slope});
  }
}

std::uint64_t BoxCuts::settled_count() const {
  std::uint64_t settled = settled_for_hulls_;
  for (const Cut* cut : {&shorter_, &safer_}) {
    if (cut->to_go) settled += cut->to_go->settled_count();
  }
  return settled;
}

// Puts the cut of this multiplier and weighing in place of the cut's earlier
// one. A multiplier of 0 cuts nothing: the earlier cut, if any, stays, since
// the bound of a cut holds only with its own multiplier.
void BoxCuts::set_cut(Cut& cut, double multiplier, const Objective& weights) {
  if (!(multiplier > 0.0)) return;
  if (cut.to_go) settled_for_hulls_ += cut.to_go->settled_count();
  cut.multiplier = multiplier;
  cut.to_go.emplace(ws_.graph, ws_.risk, ws_.places, weights, ws_.target_place, &ws_.stop, ws_.places[ws_.source_place].dense);
}

// `inside` lies in the open box (below `limit` in distance, or in risk),
// `outside` beyond it. The multiplier that weighs both alike; 0 if none.
double BoxCuts::hull_slope(PathCosts inside, PathCosts outside, double limit, bool by_distance, int rounds) {
  auto slope_between = [&](const PathCosts& in, const PathCosts& out) {
    return by_distance ? kRiskWeight * (in.risk - out.risk) / (out.distance_m - in.distance_m) - 1.0
                       : (in.distance_m - out.distance_m) / (out.risk - in.risk) - kRiskWeight;
  };
  auto beyond = [&](const PathCosts& p) { return by_distance ? p.distance_m >= limit : p.risk >= limit; };
  const std::uint32_t source_dense = ws_.places[ws_.source_place].dense;
  double slope = slope_between(inside, outside);
  for (int round = 0; round < rounds && slope > 0.0 && std::isfinite(slope); ++round) {
    Places scratch;
    const std::uint32_t target = scratch.place_of(ws_.target_dense);
    const std::uint32_t source = scratch.place_of(source_dense);
    const Objective weights = by_distance ? Objective{1.0 + slope, kRiskWeight} : Objective{1.0, kRiskWeight + slope};
    RemainingCost to_go(ws_.graph, ws_.risk, scratch, weights, target, &ws_.stop, source_dense);
    const std::optional<PathCosts> least = follow_least_path(ws_.graph, scratch, to_go, source, ws_.target_dense);
    settled_for_hulls_ += to_go.settled_count();
    if (!least) break;
    const double weigh_least = weights.of(least->distance_m, least->risk);
    const double weigh_inside = weights.of(inside.distance_m, inside.risk);
    if (!(weigh_least < weigh_inside * (1.0 - 0x1p-20))) break;  // the two lie on the hull already
    if (beyond(*least)) {
      outside = *least;
    } else {
      inside = *least;
    }
    slope = slope_between(inside, outside);
  }
  return slope > 0.0 && std::isfinite(slope) ? slope : 0.0;
}

}  // namespace norvel
